// The compositor: lays a picture with transparency over a background.
#include "worker.h"

void CompositeRowStraight(uint32_t* targetRow, const uint32_t* sourceRow, int count)
{
    for (int i = 0; i < count; i++) {
        uint32_t s = sourceRow[i];
        uint32_t t = s >> 24;
        if (t == 255)
            continue;
        if (t == 0) {
            targetRow[i] = s;
            continue;
        }
        uint32_t d = targetRow[i];
        uint32_t o = 255 - t;
        uint32_t b = ((s & 0xFF) * o + (d & 0xFF) * t) >> 8;
        uint32_t g = (((s >> 8) & 0xFF) * o + ((d >> 8) & 0xFF) * t) >> 8;
        uint32_t r = (((s >> 16) & 0xFF) * o + ((d >> 16) & 0xFF) * t) >> 8;
        uint32_t a = ((d >> 24) * t) >> 8;
        targetRow[i] = b | g << 8 | r << 16 | a << 24;
    }
}

// The colours already carry the source's opacity, so they are added to the
// share of the background that shows through.
void CompositeRowPreweighted(uint32_t* targetRow, const uint32_t* sourceRow, int count)
{
    for (int i = 0; i < count; i++) {
        uint32_t s = sourceRow[i];
        uint32_t t = s >> 24;
        if (t == 255)
            continue;
        if (t == 0) {
            targetRow[i] = s;
            continue;
        }
        uint32_t d = targetRow[i];
        uint32_t b = ((((d & 0xFF) * t) >> 8) + (s & 0xFF)) & 0xFF;
        uint32_t g = (((((d >> 8) & 0xFF) * t) >> 8) + ((s >> 8) & 0xFF)) & 0xFF;
        uint32_t r = (((((d >> 16) & 0xFF) * t) >> 8) + ((s >> 16) & 0xFF)) & 0xFF;
        uint32_t a = ((d >> 24) * t) >> 8;
        targetRow[i] = b | g << 8 | r << 16 | a << 24;
    }
}

namespace {

void CompositeOneRow(RowFollower* f, int row)
{
    PixelBuffer* source = f->source;
    size_t offset = (size_t)row * source->width;
    if (source->flags & PreweightedColour)
        CompositeRowPreweighted(f->target->pixels + offset, source->pixels + offset, source->width);
    else
        CompositeRowStraight(f->target->pixels + offset, source->pixels + offset, source->width);
    PublishRows(&f->output, f->consumed + 1);
}

}  // namespace

DWORD WINAPI CompositeWorker(LPVOID param)
{
    CompositeJob* job = (CompositeJob*)param;
    if (!job)
        return (DWORD)ImgBadArgument;
    RowFollower follower = { job->target, job->source, CatchUpByPass, 0, 0, NULL, CompositeOneRow,
                             NULL, PublisherFor(job->target) };
    SetEvent(job->readyEvent);
    int status = FollowSource(&follower);
    FlushRows(&follower.output);
    return (DWORD)status;
}
