// Colour reduction.  For now it follows its source as a consumer and leaves
// the target's colours as they are.
#include "worker.h"

namespace {
void IgnoreRow(RowFollower*, int) {}
}

DWORD WINAPI ColourReductionWorker(LPVOID param)
{
    ColourReductionJob* job = (ColourReductionJob*)param;
    if (!job)
        return (DWORD)ImgBadArgument;
    PixelBuffer* source = job->source ? job->source : job->target;
    RowFollower follower = { job->target, source, CatchUpByPass, 0, 0, NULL, IgnoreRow };
    SetEvent(job->readyEvent);
    return (DWORD)FollowSource(&follower);
}
