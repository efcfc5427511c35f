// The resampler's inner operations, shared by its worker and by the tests
// that check them on exact inputs.
#ifndef LUMETTA_SCALE_H
#define LUMETTA_SCALE_H

#include "worker.h"

struct ScaleColumn;

// One scale job in progress: the source and target cursors.
struct ScaleState {
    PixelBuffer* source;
    PixelBuffer* target;
    double ratioX;        // target pixels per canvas pixel
    double ratioY;
    double frameLeft;     // where the source lies on the target
    double frameRight;
    double frameTop;
    double frameBottom;
    LONG targetRows;      // target rows produced, all passes
    LONG sourceRows;      // source rows consumed, all passes
    ScaleColumn* columns; // per target column: footprint and running sums;
                          // null when it could not be had (slower, same result)
    RowPublisher output;  // the target's rows
};

// Sets up the state for a target that already has its final size.
void BeginScale(ScaleState* state, PixelBuffer* source, PixelBuffer* target, int32_t canvasWidth,
                int32_t canvasHeight);

// Wakes the target's consumers for the last rows and frees the state.
void EndScale(ScaleState* state);

// Called once per consumed source row, before sourceRows counts it: produces
// every target row whose footprint has now arrived.
void ScaleRows(ScaleState* state);

// One averaged pixel for the source rectangle [sx0, sx1) x [sy0, sy1), which
// must lie inside the source; background is the target pixel it replaces.
uint32_t AverageArea(const PixelBuffer* source, uint32_t background, double sx0, double sx1,
                     double sy0, double sy1);
uint32_t AverageAreaTransparent(const PixelBuffer* source, uint32_t background, double sx0,
                                double sx1, double sy0, double sy1);
uint32_t AverageAreaPreweighted(const PixelBuffer* source, uint32_t background, double sx0,
                                double sx1, double sy0, double sy1);

#endif
