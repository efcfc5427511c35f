// The thumbnail recipe.  The second scaling follows the first row by row, so
// the small picture costs little more than the large one, and it is made
// from the already reduced large picture rather than from the whole image.
#include "thumbnail.h"

namespace {

// The target fixes the longer side of the image; the scaler derives the other.
void PrepareTarget(const ImageInfo& info, int32_t side, PixelBuffer* b)
{
    if (info.width > info.height)
        b->width = side;
    else
        b->height = side;
}

// Waits for the worker to end, then takes its exit code.
int FinishJob(PixelBuffer* b)
{
    if (b->thread)
        WaitForSingleObject(b->thread, INFINITE);
    return StopJob(b);
}

int ReduceInPlace(PixelBuffer* b, uint32_t colourCount)
{
    int status = StartColourReduction(b, NULL, colourCount);
    return status == ImgOk ? FinishJob(b) : status;
}

int FirstFailure(int a, int b)
{
    return a != ImgOk ? a : b;
}

}  // namespace

int ScaleThumbnailPictures(const ImageInfo* info, PixelBuffer* decoded, int32_t largeSide,
                           int32_t smallSide, PixelBuffer* large, PixelBuffer* small)
{
    PrepareTarget(*info, largeSide, large);
    PrepareTarget(*info, smallSide, small);
    // A single image fills its own picture; the frames of a file of several
    // images are placed on its logical screen.
    int32_t canvas[2] = {decoded->width, decoded->height};
    if (info->imageCount != 1) {
        canvas[0] = info->width;
        canvas[1] = info->height;
    }
    int status = StartScale(large, decoded, canvas, &info->keyColour);
    if (status != ImgOk)
        return status;
    // The icon shows the large picture's colours as they are, so the small
    // one averages them as an opaque picture's.
    large->flags &= ~HasTransparency;
    status = StartScale(small, large, NULL, NULL);
    if (status != ImgOk) {
        FreePixelBuffer(large);
        return status;
    }
    int smallStatus = FinishJob(small);
    int largeStatus = FinishJob(large);
    return FirstFailure(largeStatus, smallStatus);
}

int MakeThumbnailPictures(ImageInfo* info, const ThumbnailRequest& request, PixelBuffer* large,
                          PixelBuffer* small)
{
    if (!info || !large || !small || request.largeSide <= 0 || request.smallSide <= 0)
        return ImgBadArgument;
    PixelBuffer decoded = {};
    decoded.size = PixelBufferSize;
    int32_t requested[2] = {request.largeSide, request.largeSide};
    int status = StartDecode(&decoded, info, -1, requested, 0);
    if (status != ImgOk)
        return status;
    status = FinishJob(&decoded);
    int scaled = ScaleThumbnailPictures(info, &decoded, request.largeSide, request.smallSide, large,
                                        small);
    FreePixelBuffer(&decoded);
    if (!large->pixels)
        return scaled;
    status = FirstFailure(status, scaled);
    if (request.reduceColours) {
        status = FirstFailure(status, ReduceInPlace(large, request.colourCount));
        status = FirstFailure(status, ReduceInPlace(small, request.colourCount));
    }
    return status;
}
