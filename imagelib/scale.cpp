// The resampler: every target pixel is the area-weighted average of the
// source pixels under its footprint, in double precision, with the source
// placed on a canvas and composited over what the target already holds.
// Target rows are produced as soon as the source rows they cover arrive.
#include "scale.h"
#include "worker.h"

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

// Two channels per 32-bit word: 256 pixels of 255 still fit in 16 bits.
template <>
void AddRun<SumOpaque>(const uint32_t* p, int32_t n, uint64_t* acc)
{
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

// The sums of one row of the footprint: whole columns exactly, the two
// partial ones by their weights.
template <SumKind kind>
void SumRow(const uint32_t* row, const Span& cols, double* sums)
{
    uint64_t whole[SumLanes] = { 0, 0, 0, 0, 0 }, first[SumLanes] = { 0, 0, 0, 0, 0 },
             last[SumLanes] = { 0, 0, 0, 0, 0 };
    AddRun<kind>(row + cols.fullBegin, cols.fullEnd - cols.fullBegin, whole);
    if (cols.partialFirst >= 0)
        AddPixel<kind>(row[cols.partialFirst], first);
    if (cols.partialLast >= 0)
        AddPixel<kind>(row[cols.partialLast], last);
    for (int c = 0; c < SumLanes; c++)
        sums[c] = (double)whole[c] + cols.firstWeight * (double)first[c] +
                  cols.lastWeight * (double)last[c];
}

// Sums over the rectangle, each pixel weighted by the share of it that the
// rectangle covers.  The whole rows are added up as integers first.
template <SumKind kind>
void SumArea(const PixelBuffer* source, double sx0, double sx1, double sy0, double sy1,
             double* sums)
{
    Span cols, rows;
    SplitSpan(sx0, sx1, source->width, &cols);
    SplitSpan(sy0, sy1, source->height, &rows);
    const uint32_t* pixels = source->pixels;
    size_t stride = (size_t)source->width;

    uint64_t whole[SumLanes] = { 0, 0, 0, 0, 0 }, first[SumLanes] = { 0, 0, 0, 0, 0 },
             last[SumLanes] = { 0, 0, 0, 0, 0 };
    for (int32_t y = rows.fullBegin; y < rows.fullEnd; y++) {
        const uint32_t* row = pixels + (size_t)y * stride;
        AddRun<kind>(row + cols.fullBegin, cols.fullEnd - cols.fullBegin, whole);
        if (cols.partialFirst >= 0)
            AddPixel<kind>(row[cols.partialFirst], first);
        if (cols.partialLast >= 0)
            AddPixel<kind>(row[cols.partialLast], last);
    }
    for (int c = 0; c < SumLanes; c++)
        sums[c] = (double)whole[c] + cols.firstWeight * (double)first[c] +
                  cols.lastWeight * (double)last[c];

    double rowSums[SumLanes];
    if (rows.partialFirst >= 0) {
        SumRow<kind>(pixels + (size_t)rows.partialFirst * stride, cols, rowSums);
        for (int c = 0; c < SumLanes; c++)
            sums[c] += rows.firstWeight * rowSums[c];
    }
    if (rows.partialLast >= 0) {
        SumRow<kind>(pixels + (size_t)rows.partialLast * stride, cols, rowSums);
        for (int c = 0; c < SumLanes; c++)
            sums[c] += rows.lastWeight * rowSums[c];
    }
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

typedef uint32_t (*AverageFunction)(const PixelBuffer*, uint32_t, double, double, double, double);

AverageFunction ChooseAverage(uint32_t flags)
{
    if (!(flags & HasTransparency))
        return AverageArea;
    return (flags & PreweightedColour) ? AverageAreaPreweighted : AverageAreaTransparent;
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

// Draws target row r from the source rows [sy0, sy1), wy the share of the
// row's footprint that lies on the source.
void ScaleRow(ScaleState* s, int32_t r, double sy0, double sy1, double wy)
{
    const PixelBuffer* source = s->source;
    PixelBuffer* target = s->target;
    AverageFunction average = ChooseAverage(source->flags);
    uint32_t* row = target->pixels + (size_t)r * target->width;
    int32_t first = FirstCovered(s->frameLeft, target->width);
    int32_t last = LastCovered(s->frameRight, target->width);
    double left = source->left, width = source->width;
    double edge = first / s->ratioX;
    for (int32_t x = first; x <= last; x++) {
        double next = (x + 1) / s->ratioX;
        double sx0 = edge - left, sx1 = next - left;
        edge = next;
        double full = sx1 - sx0;
        if (sx0 < 0)
            sx0 = 0;
        if (sx1 > width)
            sx1 = width;
        if (!(sx1 > sx0))
            continue;
        double w = sx1 - sx0 < full ? wy * (sx1 - sx0) / full : wy;
        uint32_t old = row[x];
        uint32_t avg = average(source, old, sx0, sx1, sy0, sy1);
        if (w == 1)
            row[x] = avg;
        else if (avg != old)
            row[x] = Blend(old, avg, w);
    }
}

}  // namespace

uint32_t AverageArea(const PixelBuffer* source, uint32_t, double sx0, double sx1, double sy0,
                     double sy1)
{
    if (SinglePixel(sx0, sx1, sy0, sy1))
        return PixelAt(source, sx0, sy0);
    double sums[SumLanes];
    SumArea<SumOpaque>(source, sx0, sx1, sy0, sy1, sums);
    double area = (sx1 - sx0) * (sy1 - sy0);
    uint32_t result = 0;
    for (int c = 0; c < 4; c++)
        result |= ToByte(sums[c] / area) << (8 * c);
    return result;
}

uint32_t AverageAreaTransparent(const PixelBuffer* source, uint32_t background, double sx0,
                                double sx1, double sy0, double sy1)
{
    uint32_t colour[3], T;
    if (SinglePixel(sx0, sx1, sy0, sy1)) {
        uint32_t p = PixelAt(source, sx0, sy0);
        for (int c = 0; c < 3; c++)
            colour[c] = Channel(p, c);
        T = p >> 24;
    } else {
        // Colours and opacity both carry the factor 255 here; it cancels.
        double sums[SumLanes];
        SumArea<SumStraight>(source, sx0, sx1, sy0, sy1, sums);
        double area = (sx1 - sx0) * (sy1 - sy0);
        for (int c = 0; c < 3; c++)
            colour[c] = sums[3] != 0 ? ToByte(sums[c] / sums[3]) : 0;
        T = ToByte(sums[4] / area + 0.5);
    }
    return CompositeAverage(colour, T, background, false);
}

uint32_t AverageAreaPreweighted(const PixelBuffer* source, uint32_t background, double sx0,
                                double sx1, double sy0, double sy1)
{
    uint32_t colour[3], T;
    if (SinglePixel(sx0, sx1, sy0, sy1)) {
        uint32_t p = PixelAt(source, sx0, sy0);
        T = p >> 24;
        double o = (255 - (int)T) * (1.0 / 255);
        for (int c = 0; c < 3; c++)
            colour[c] = o != 0 ? ToByte(Channel(p, c) / o) : 0;
    } else {
        double sums[SumLanes];
        SumArea<SumPreweighted>(source, sx0, sx1, sy0, sy1, sums);
        double area = (sx1 - sx0) * (sy1 - sy0);
        double opacity = sums[3] * (1.0 / 255);
        for (int c = 0; c < 3; c++)
            colour[c] = opacity != 0 ? ToByte(sums[c] / opacity) : 0;
        T = ToByte(sums[4] / area);
    }
    return CompositeAverage(colour, T, background, true);
}

void BeginScale(ScaleState* s, PixelBuffer* source, PixelBuffer* target, int32_t canvasWidth,
                int32_t canvasHeight)
{
    s->source = source;
    s->target = target;
    s->targetRows = 0;
    s->sourceRows = 0;
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
}

void ScaleRows(ScaleState* s)
{
    const PixelBuffer* source = s->source;
    PixelBuffer* target = s->target;
    int32_t height = source->height, targetHeight = target->height;
    int32_t arrived = (int32_t)(s->sourceRows % height);
    bool bottomUp = (source->flags & RowsBottomUp) != 0;
    int32_t firstRow = FirstCovered(s->frameTop, targetHeight);
    int32_t lastRow = LastCovered(s->frameBottom, targetHeight);
    double top = source->top;
    for (;;) {
        int32_t r = (int32_t)(s->targetRows % targetHeight);
        if (bottomUp)
            r = targetHeight - 1 - r;
        double sy0 = r / s->ratioY - top, sy1 = (r + 1) / s->ratioY - top;
        double full = sy1 - sy0;
        if (sy0 < 0)
            sy0 = 0;
        if (sy1 > height)
            sy1 = height;
        double wy = sy1 - sy0 < full ? (sy1 - sy0) / full : 1;
        bool ready = bottomUp ? height - 1 - arrived <= sy0 : arrived + 1 >= sy1;
        if (!ready)
            return;
        if (r >= firstRow && r <= lastRow && sy1 > sy0)
            ScaleRow(s, r, sy0, sy1, wy);
        s->targetRows++;
        PublishRows(target, s->targetRows);
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

}  // namespace

DWORD WINAPI ScaleWorker(LPVOID param)
{
    ScaleJob* job = (ScaleJob*)param;
    if (!job)
        return (DWORD)ImgBadArgument;
    ScaleState state;
    BeginScale(&state, job->source, job->target, job->canvasWidth, job->canvasHeight);
    RowFollower follower = { job->target, job->source, CatchUpRemaining, 0, 0, &state, ScaleOneRow };
    SetEvent(job->readyEvent);
    return (DWORD)FollowSource(&follower);
}
