// The resampler.  For now it follows its source as a consumer and leaves the
// target as StartScale prepared it.
#include "worker.h"

namespace {
void IgnoreRow(RowFollower*, int) {}
}

DWORD WINAPI ScaleWorker(LPVOID param)
{
    ScaleJob* job = (ScaleJob*)param;
    if (!job)
        return (DWORD)ImgBadArgument;
    RowFollower follower = { job->target, job->source, CatchUpRemaining, 0, 0, NULL, IgnoreRow };
    SetEvent(job->readyEvent);
    return (DWORD)FollowSource(&follower);
}
