// The resampler: every target pixel is the area-weighted average of the
// source pixels under its footprint, in double precision, with the source
// placed on a canvas and composited over what the target already holds.
// Target rows are produced as soon as the source rows they cover arrive.
#include "scale.h"
#include "worker.h"

#include <string.h>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define LUMETTA_SSE2 1
#else
#define LUMETTA_SSE2 0
#endif

namespace {

// The source columns (or rows) a footprint [s0, s1) touches: at most one
// partial one at each end and a run of whole ones between.  Whole ones are
// summed as integers, which is exact, so the doubles only carry the edges.
struct Span {
    int32_t partialFirst;   // -1 when none
    double firstWeight;
    int32_t fullBegin;      // whole ones are [fullBegin, fullEnd)
    int32_t fullEnd;
    int32_t partialLast;    // -1 when none
    double lastWeight;
};

void SplitSpan(double s0, double s1, int32_t limit, Span* span)
{
    int32_t i0 = (int32_t)s0, i1 = (int32_t)s1;
    span->partialFirst = span->partialLast = -1;
    span->firstWeight = span->lastWeight = 0;
    if (i1 == i0) {
        double w = s1 - s0;
        span->fullBegin = span->fullEnd = i0;
        if (w == 1)
            span->fullEnd = i0 + 1;
        else if (w > 0) {
            span->partialFirst = i0;
            span->firstWeight = w;
        }
    } else {
        double w = i0 + 1 - s0;
        if (w == 1) {
            span->fullBegin = i0;
        } else {
            span->partialFirst = i0;
            span->firstWeight = w;
            span->fullBegin = i0 + 1;
        }
        span->fullEnd = i1;
        double last = s1 - i1;
        if (last > 0) {
            span->partialLast = i1;
            span->lastWeight = last;
        }
    }
    // The callers clip to the source; this only guards against a footprint
    // that rounding pushed onto the edge.
    if (span->fullEnd > limit)
        span->fullEnd = limit;
    if (span->fullBegin > span->fullEnd)
        span->fullBegin = span->fullEnd;
    if (span->partialFirst >= limit)
        span->partialFirst = -1;
    if (span->partialLast >= limit)
        span->partialLast = -1;
}

// Per-pixel sums.  Opaque: blue, green, red, fourth byte.  Straight: colours
// times opacity (255 - t), opacity, transparency.  Preweighted: colours as
// they are, opacity, transparency.
enum SumKind { SumOpaque, SumStraight, SumPreweighted };
const int SumLanes = 5;

template <SumKind kind>
inline void AddPixel(uint32_t p, uint64_t* acc)
{
    uint32_t b = p & 0xFF, g = (p >> 8) & 0xFF, r = (p >> 16) & 0xFF, t = p >> 24;
    if (kind == SumOpaque) {
        acc[0] += b;
        acc[1] += g;
        acc[2] += r;
        acc[3] += t;
        return;
    }
    uint32_t o = 255 - t;
    if (kind == SumStraight) {
        b *= o;
        g *= o;
        r *= o;
    }
    acc[0] += b;
    acc[1] += g;
    acc[2] += r;
    acc[3] += o;
    acc[4] += t;
}

template <SumKind kind>
void AddRun(const uint32_t* p, int32_t n, uint64_t* acc)
{
    for (int32_t i = 0; i < n; i++)
        AddPixel<kind>(p[i], acc);
}

// Two channels per 32-bit lane: 256 pixels of 255 still fit in 16 bits.
template <>
void AddRun<SumOpaque>(const uint32_t* p, int32_t n, uint64_t* acc)
{
#if LUMETTA_SSE2
    const __m128i mask = _mm_set1_epi32(0x00FF00FF);
    while (n >= 4) {
        int32_t blocks = n / 4 < 256 ? n / 4 : 256;
        __m128i blueRed = _mm_setzero_si128(), greenFourth = _mm_setzero_si128();
        for (int32_t i = 0; i < blocks; i++) {
            __m128i v = _mm_loadu_si128((const __m128i*)(p + 4 * i));
            blueRed = _mm_add_epi32(blueRed, _mm_and_si128(v, mask));
            greenFourth = _mm_add_epi32(greenFourth, _mm_and_si128(_mm_srli_epi32(v, 8), mask));
        }
        uint32_t br[4], gf[4];
        _mm_storeu_si128((__m128i*)br, blueRed);
        _mm_storeu_si128((__m128i*)gf, greenFourth);
        for (int l = 0; l < 4; l++) {
            acc[0] += br[l] & 0xFFFF;
            acc[2] += br[l] >> 16;
            acc[1] += gf[l] & 0xFFFF;
            acc[3] += gf[l] >> 16;
        }
        p += 4 * blocks;
        n -= 4 * blocks;
    }
#endif
    while (n > 0) {
        int32_t chunk = n < 256 ? n : 256;
        uint32_t blueRed = 0, greenFourth = 0;
        for (int32_t i = 0; i < chunk; i++) {
            blueRed += p[i] & 0x00FF00FFu;
            greenFourth += (p[i] >> 8) & 0x00FF00FFu;
        }
        acc[0] += blueRed & 0xFFFF;
        acc[2] += blueRed >> 16;
        acc[1] += greenFourth & 0xFFFF;
        acc[3] += greenFourth >> 16;
        p += chunk;
        n -= chunk;
    }
}

// Integer sums of some rows across one footprint's columns: the whole
// columns, the partial first one, the partial last one.  Integers add up
// exactly in any order, so the sums may be gathered row by row or pixel by
// pixel with the same result.
struct ColumnSums {
    uint64_t whole[SumLanes];
    uint64_t first[SumLanes];
    uint64_t last[SumLanes];
};

template <SumKind kind>
inline void AddSegment(const uint32_t* row, const Span& cols, ColumnSums* sums)
{
    AddRun<kind>(row + cols.fullBegin, cols.fullEnd - cols.fullBegin, sums->whole);
    if (cols.partialFirst >= 0)
        AddPixel<kind>(row[cols.partialFirst], sums->first);
    if (cols.partialLast >= 0)
        AddPixel<kind>(row[cols.partialLast], sums->last);
}

void WeighColumns(const ColumnSums& sums, const Span& cols, double* out)
{
    for (int c = 0; c < SumLanes; c++)
        out[c] = (double)sums.whole[c] + cols.firstWeight * (double)sums.first[c] +
                 cols.lastWeight * (double)sums.last[c];
}

// Everything one footprint needs: the whole rows as integers, each partial
// row already weighed across its columns.
struct AreaSums {
    ColumnSums full;
    double rowFirst[SumLanes];
    double rowLast[SumLanes];
};

void ClearSums(AreaSums* sums)
{
    memset(sums, 0, sizeof *sums);
}

// The weighted sums over the footprint, each pixel counted by the share of
// it that the footprint covers.
void WeighArea(const AreaSums& area, const Span& cols, const Span& rows, double* sums)
{
    WeighColumns(area.full, cols, sums);
    if (rows.partialFirst >= 0)
        for (int c = 0; c < SumLanes; c++)
            sums[c] += rows.firstWeight * area.rowFirst[c];
    if (rows.partialLast >= 0)
        for (int c = 0; c < SumLanes; c++)
            sums[c] += rows.lastWeight * area.rowLast[c];
}

// Adds one source row y of the footprint to its sums.
template <SumKind kind>
void AddFootprintRow(const uint32_t* row, int32_t y, const Span& cols, const Span& rows,
                     AreaSums* sums)
{
    if (y == rows.partialFirst || y == rows.partialLast) {
        ColumnSums partial;
        memset(&partial, 0, sizeof partial);
        AddSegment<kind>(row, cols, &partial);
        WeighColumns(partial, cols, y == rows.partialFirst ? sums->rowFirst : sums->rowLast);
    } else {
        AddSegment<kind>(row, cols, &sums->full);
    }
}

// The source rows a footprint reads: [first, end).
void FootprintRows(const Span& rows, int32_t* first, int32_t* end)
{
    *first = rows.partialFirst >= 0 ? rows.partialFirst : rows.fullBegin;
    *end = rows.fullEnd;
    if (rows.partialFirst >= 0 && rows.partialFirst + 1 > *end)
        *end = rows.partialFirst + 1;
    if (rows.partialLast >= 0 && rows.partialLast + 1 > *end)
        *end = rows.partialLast + 1;
}

template <SumKind kind>
void SumArea(const PixelBuffer* source, double sx0, double sx1, double sy0, double sy1,
             double* sums)
{
    Span cols, rows;
    SplitSpan(sx0, sx1, source->width, &cols);
    SplitSpan(sy0, sy1, source->height, &rows);
    AreaSums area;
    ClearSums(&area);
    int32_t first, end;
    FootprintRows(rows, &first, &end);
    for (int32_t y = first; y < end; y++)
        AddFootprintRow<kind>(source->pixels + (size_t)y * source->width, y, cols, rows, &area);
    WeighArea(area, cols, rows, sums);
}

// A footprint of exactly one source pixel, or one lying inside a single
// source pixel (enlarging), needs no averaging.
bool SinglePixel(double sx0, double sx1, double sy0, double sy1)
{
    double w = sx1 - sx0, h = sy1 - sy0;
    if (w == 1 && h == 1)
        return true;
    if (!(w < 1 && h < 1))
        return false;
    bool oneColumn = (int32_t)sx1 == (int32_t)sx0 || sx1 == (double)(int32_t)sx1;
    bool oneRow = (int32_t)sy1 == (int32_t)sy0 || sy1 == (double)(int32_t)sy1;
    return oneColumn && oneRow;
}

inline uint32_t PixelAt(const PixelBuffer* source, double sx, double sy)
{
    return source->pixels[(size_t)(int32_t)sy * source->width + (int32_t)sx];
}

inline uint32_t ToByte(double v)
{
    if (!(v > 0))   // also a quotient of nothing by nothing
        return 0;
    return v >= 255 ? 255 : (uint32_t)v;
}

// Sums of fractional weights fall short of the area by a rounding error, so
// a flat area of value v would come out as v - 0.0000000001 and truncate to
// v - 1 (and a flat mid grey would dither to black).  The quotients are
// truncated with this much slack: only a quotient within a billionth below
// a whole number moves up to it.
const double AverageSlack = 1e-9;

inline uint32_t Quotient(double sum, double divisor)
{
    return ToByte(sum / divisor + AverageSlack);
}

inline uint32_t Channel(uint32_t p, int c) { return (p >> (8 * c)) & 0xFF; }

// Lays an averaged pixel (colours straight, transparency T) over the target
// pixel it replaces.
uint32_t CompositeAverage(const uint32_t colour[3], uint32_t T, uint32_t background,
                          bool preweighted)
{
    if (T == 0)
        return colour[0] | colour[1] << 8 | colour[2] << 16;
    if (T >= 255)
        return background;
    double o = (255 - (int)T) * (1.0 / 255);
    uint32_t result = 0;
    for (int c = 0; c < 3; c++) {
        int bg = (int)Channel(background, c);
        int v = bg + (int)(((int)colour[c] - bg) * o);
        result |= ((uint32_t)v & 0xFF) << (8 * c);
    }
    int bgT = (int)(background >> 24);
    int t = bgT - (int)(preweighted ? bgT * o : bgT * o + 0.5);
    return result | ((uint32_t)t & 0xFF) << 24;
}

uint32_t Blend(uint32_t old, uint32_t avg, double w)
{
    uint32_t result = 0;
    for (int c = 0; c < 4; c++) {
        int o = (int)Channel(old, c);
        int v = o + (int)(((int)Channel(avg, c) - o) * w + 0.5);
        result |= ((uint32_t)v & 0xFF) << (8 * c);
    }
    return result;
}

// The averaged pixel from the weighted sums over a footprint of `area`
// source pixels, laid over the background where the variant composites.
template <SumKind kind>
uint32_t FinishAverage(const double* sums, double area, uint32_t background);

template <>
uint32_t FinishAverage<SumOpaque>(const double* sums, double area, uint32_t)
{
    uint32_t result = 0;
    for (int c = 0; c < 4; c++)
        result |= Quotient(sums[c], area) << (8 * c);
    return result;
}

// Colours and opacity both carry the factor 255 here; it cancels.
template <>
uint32_t FinishAverage<SumStraight>(const double* sums, double area, uint32_t background)
{
    uint32_t colour[3];
    for (int c = 0; c < 3; c++)
        colour[c] = sums[3] != 0 ? Quotient(sums[c], sums[3]) : 0;
    return CompositeAverage(colour, ToByte(sums[4] / area + 0.5), background, false);
}

template <>
uint32_t FinishAverage<SumPreweighted>(const double* sums, double area, uint32_t background)
{
    uint32_t colour[3];
    double opacity = sums[3] * (1.0 / 255);
    for (int c = 0; c < 3; c++)
        colour[c] = opacity != 0 ? Quotient(sums[c], opacity) : 0;
    return CompositeAverage(colour, Quotient(sums[4], area), background, true);
}

template <SumKind kind>
uint32_t Average(const PixelBuffer* source, uint32_t background, double sx0, double sx1,
                 double sy0, double sy1)
{
    if (kind == SumOpaque)
        return AverageArea(source, background, sx0, sx1, sy0, sy1);
    if (kind == SumStraight)
        return AverageAreaTransparent(source, background, sx0, sx1, sy0, sy1);
    return AverageAreaPreweighted(source, background, sx0, sx1, sy0, sy1);
}

// The last whole index an edge covers: an edge on a whole number ends just
// before that index.
int32_t LastCovered(double edge, int32_t limit)
{
    if (!(edge > 0))
        return -1;
    if (edge >= (double)limit)
        return limit - 1;
    int32_t i = (int32_t)edge;
    return edge == (double)i ? i - 1 : i;
}

int32_t FirstCovered(double edge, int32_t limit)
{
    if (!(edge > 0))
        return 0;
    return edge >= (double)limit ? limit : (int32_t)edge;
}

}  // namespace

// A target column's footprint on the source, fixed for the whole job, and
// the sums of the target row being made.
struct ScaleColumn {
    double sx0, sx1;     // clipped to the source
    double full;         // the footprint's width before clipping
    bool onSource;
    bool summed;         // this row's sums are gathered row by row
    Span cols;
    AreaSums sums;
};

namespace {

void PlanColumn(const ScaleState* s, int32_t x, ScaleColumn* col)
{
    double left = s->source->left, width = s->source->width;
    col->sx0 = x / s->ratioX - left;
    col->sx1 = (x + 1) / s->ratioX - left;
    col->full = col->sx1 - col->sx0;
    if (col->sx0 < 0)
        col->sx0 = 0;
    if (col->sx1 > width)
        col->sx1 = width;
    col->onSource = col->sx1 > col->sx0;
    col->summed = false;
    if (col->onSource)
        SplitSpan(col->sx0, col->sx1, s->source->width, &col->cols);
}

// Draws target row r from the source rows [sy0, sy1), wy the share of the
// row's footprint that lies on the source.  With the column table the sums
// are gathered source row by source row across all columns, which reads the
// source in storage order; the result is the same as averaging pixel by
// pixel.
template <SumKind kind>
void ScaleRowAs(ScaleState* s, int32_t r, double sy0, double sy1, double wy)
{
    const PixelBuffer* source = s->source;
    PixelBuffer* target = s->target;
    uint32_t* row = target->pixels + (size_t)r * target->width;
    int32_t first = FirstCovered(s->frameLeft, target->width);
    int32_t last = LastCovered(s->frameRight, target->width);
    Span rows;
    SplitSpan(sy0, sy1, source->height, &rows);

    if (s->columns) {
        bool any = false;
        for (int32_t x = first; x <= last; x++) {
            ScaleColumn* col = &s->columns[x];
            col->summed = col->onSource && !SinglePixel(col->sx0, col->sx1, sy0, sy1);
            if (col->summed) {
                ClearSums(&col->sums);
                any = true;
            }
        }
        int32_t y0, y1;
        FootprintRows(rows, &y0, &y1);
        for (int32_t y = y0; any && y < y1; y++) {
            const uint32_t* sourceRow = source->pixels + (size_t)y * source->width;
            for (int32_t x = first; x <= last; x++) {
                ScaleColumn* col = &s->columns[x];
                if (col->summed)
                    AddFootprintRow<kind>(sourceRow, y, col->cols, rows, &col->sums);
            }
        }
    }

    for (int32_t x = first; x <= last; x++) {
        ScaleColumn local;
        const ScaleColumn* col = &local;
        if (s->columns)
            col = &s->columns[x];
        else
            PlanColumn(s, x, &local);
        if (!col->onSource)
            continue;
        double w = col->sx1 - col->sx0 < col->full ? wy * (col->sx1 - col->sx0) / col->full : wy;
        uint32_t old = row[x], avg;
        if (col->summed) {
            double sums[SumLanes];
            WeighArea(col->sums, col->cols, rows, sums);
            avg = FinishAverage<kind>(sums, (col->sx1 - col->sx0) * (sy1 - sy0), old);
        } else {
            avg = Average<kind>(source, old, col->sx0, col->sx1, sy0, sy1);
        }
        if (w == 1)
            row[x] = avg;
        else if (avg != old)
            row[x] = Blend(old, avg, w);
    }
}

void ScaleRow(ScaleState* s, int32_t r, double sy0, double sy1, double wy)
{
    uint32_t flags = s->source->flags;
    if (!(flags & HasTransparency))
        ScaleRowAs<SumOpaque>(s, r, sy0, sy1, wy);
    else if (flags & PreweightedColour)
        ScaleRowAs<SumPreweighted>(s, r, sy0, sy1, wy);
    else
        ScaleRowAs<SumStraight>(s, r, sy0, sy1, wy);
}

}  // namespace

uint32_t AverageArea(const PixelBuffer* source, uint32_t background, double sx0, double sx1,
                     double sy0, double sy1)
{
    if (SinglePixel(sx0, sx1, sy0, sy1))
        return PixelAt(source, sx0, sy0);
    double sums[SumLanes];
    SumArea<SumOpaque>(source, sx0, sx1, sy0, sy1, sums);
    return FinishAverage<SumOpaque>(sums, (sx1 - sx0) * (sy1 - sy0), background);
}

uint32_t AverageAreaTransparent(const PixelBuffer* source, uint32_t background, double sx0,
                                double sx1, double sy0, double sy1)
{
    if (SinglePixel(sx0, sx1, sy0, sy1)) {
        uint32_t p = PixelAt(source, sx0, sy0);
        uint32_t colour[3] = { Channel(p, 0), Channel(p, 1), Channel(p, 2) };
        return CompositeAverage(colour, p >> 24, background, false);
    }
    double sums[SumLanes];
    SumArea<SumStraight>(source, sx0, sx1, sy0, sy1, sums);
    return FinishAverage<SumStraight>(sums, (sx1 - sx0) * (sy1 - sy0), background);
}

uint32_t AverageAreaPreweighted(const PixelBuffer* source, uint32_t background, double sx0,
                                double sx1, double sy0, double sy1)
{
    if (SinglePixel(sx0, sx1, sy0, sy1)) {
        uint32_t p = PixelAt(source, sx0, sy0);
        double o = (255 - (int)(p >> 24)) * (1.0 / 255);
        uint32_t colour[3];
        for (int c = 0; c < 3; c++)
            colour[c] = o != 0 ? Quotient(Channel(p, c), o) : 0;
        return CompositeAverage(colour, p >> 24, background, true);
    }
    double sums[SumLanes];
    SumArea<SumPreweighted>(source, sx0, sx1, sy0, sy1, sums);
    return FinishAverage<SumPreweighted>(sums, (sx1 - sx0) * (sy1 - sy0), background);
}

void BeginScale(ScaleState* s, PixelBuffer* source, PixelBuffer* target, int32_t canvasWidth,
                int32_t canvasHeight)
{
    s->source = source;
    s->target = target;
    s->targetRows = 0;
    s->sourceRows = 0;
    s->columns = NULL;
    s->output = PublisherFor(target);
    if (canvasWidth <= 0 || canvasHeight <= 0) {
        // Only a source placed at negative coordinates gets here: it lies
        // off the canvas, so nothing of it is drawn.
        s->ratioX = s->ratioY = 1;
        s->frameLeft = s->frameRight = s->frameTop = s->frameBottom = 0;
        return;
    }
    s->ratioX = (double)target->width / canvasWidth;
    s->ratioY = (double)target->height / canvasHeight;
    s->frameLeft = source->left * s->ratioX;
    s->frameRight = ((double)source->left + source->width) * s->ratioX;
    s->frameTop = source->top * s->ratioY;
    s->frameBottom = ((double)source->top + source->height) * s->ratioY;

    // Without the table every pixel is averaged on its own: slower, and the
    // same result.
    uint64_t bytes = (uint64_t)target->width * sizeof(ScaleColumn);
    if (target->width > 0 && bytes <= (uint64_t)(SIZE_T)-1 / 2)
        s->columns = (ScaleColumn*)GlobalAlloc(GMEM_FIXED, (SIZE_T)bytes);
    for (int32_t x = 0; s->columns && x < target->width; x++)
        PlanColumn(s, x, &s->columns[x]);
}

void EndScale(ScaleState* s)
{
    FlushRows(&s->output);
    if (s->columns)
        GlobalFree(s->columns);
    s->columns = NULL;
}

namespace {

// The next target row to make and its footprint on the source, and whether
// the source rows it covers have all arrived with the row just taken.
struct RowFootprint {
    int32_t r;
    double sy0, sy1;
    double wy;   // the share of the footprint that lies on the source
    bool ready;
};

void NextTargetRow(const ScaleState* s, RowFootprint* f)
{
    const PixelBuffer* source = s->source;
    int32_t height = source->height, targetHeight = s->target->height;
    int32_t arrived = (int32_t)(s->sourceRows % height);
    bool bottomUp = (source->flags & RowsBottomUp) != 0;
    f->r = (int32_t)(s->targetRows % targetHeight);
    if (bottomUp)
        f->r = targetHeight - 1 - f->r;
    double top = source->top;
    f->sy0 = f->r / s->ratioY - top;
    f->sy1 = (f->r + 1) / s->ratioY - top;
    double full = f->sy1 - f->sy0;
    if (f->sy0 < 0)
        f->sy0 = 0;
    if (f->sy1 > height)
        f->sy1 = height;
    f->wy = f->sy1 - f->sy0 < full ? (f->sy1 - f->sy0) / full : 1;
    f->ready = bottomUp ? height - 1 - arrived <= f->sy0 : arrived + 1 >= f->sy1;
}

}  // namespace

void ScaleRows(ScaleState* s)
{
    PixelBuffer* target = s->target;
    int32_t targetHeight = target->height;
    int32_t firstRow = FirstCovered(s->frameTop, targetHeight);
    int32_t lastRow = LastCovered(s->frameBottom, targetHeight);
    for (;;) {
        RowFootprint f;
        NextTargetRow(s, &f);
        if (!f.ready)
            return;
        if (f.r >= firstRow && f.r <= lastRow && f.sy1 > f.sy0)
            ScaleRow(s, f.r, f.sy0, f.sy1, f.wy);
        s->targetRows++;
        PublishRows(&s->output, s->targetRows);
        if (s->targetRows % targetHeight == 0)
            return;
    }
}

namespace {

void ScaleOneRow(RowFollower* f, int)
{
    ScaleState* s = (ScaleState*)f->state;
    ScaleRows(s);
    s->sourceRows++;
}

bool CompletesTargetRow(RowFollower* f)
{
    RowFootprint footprint;
    NextTargetRow((ScaleState*)f->state, &footprint);
    return footprint.ready;
}

}  // namespace

DWORD WINAPI ScaleWorker(LPVOID param)
{
    ScaleJob* job = (ScaleJob*)param;
    if (!job)
        return (DWORD)ImgBadArgument;
    ScaleState state;
    BeginScale(&state, job->source, job->target, job->canvasWidth, job->canvasHeight);
    RowFollower follower = { job->target, job->source, CatchUpRemaining, 0, 0,
                             &state, ScaleOneRow, CompletesTargetRow };
    SetEvent(job->readyEvent);
    FollowSource(&follower);
    EndScale(&state);
    return ImgOk;
}
