#include "testing.h"
#include "worker.h"

TEST(Bmp, StopJobWithoutWorker)
{
    PixelBuffer b = EmptyBuffer();
    b.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_EQ(StopJob(&b), 0);
    EXPECT_EQ(b.stopEvent, (HANDLE)NULL);
}
