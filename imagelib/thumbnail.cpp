// The thumbnail recipe.  The second scaling follows the first row by row, so
// the small picture costs little more than the large one, and it is made
// from the already reduced large picture rather than from the whole image.
// A photograph stored turned is turned upright last, at icon size.
#include "thumbnail.h"

namespace {

// Both the shape and the size of a thumbnail come from the canvas, never from
// what the header says about the image: a frame that reaches beyond its
// logical screen, or a postage stamp of another shape than the image, would
// otherwise fix the wrong side and make a "32-pixel" picture thousands of
// pixels long.  The scaler derives the other side.
void PrepareTarget(PixelBuffer* target, const int32_t canvas[2], int32_t side)
{
    *target = PixelBuffer();
    target->size = PixelBufferSize;
    if (canvas[0] > canvas[1])
        target->width = side;
    else
        target->height = side;
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

void ThumbnailCanvas(const ImageInfo* info, const PixelBuffer* decoded, int32_t canvas[2])
{
    canvas[0] = info->imageCount == 1 ? decoded->width : info->width;
    canvas[1] = info->imageCount == 1 ? decoded->height : info->height;
    int64_t right = (int64_t)decoded->left + decoded->width;
    int64_t bottom = (int64_t)decoded->top + decoded->height;
    if (right > canvas[0])
        canvas[0] = right > INT32_MAX ? INT32_MAX : (int32_t)right;
    if (bottom > canvas[1])
        canvas[1] = bottom > INT32_MAX ? INT32_MAX : (int32_t)bottom;
}

int ScaleThumbnailPictures(const ImageInfo* info, PixelBuffer* decoded, int32_t largeSide,
                           int32_t smallSide, PixelBuffer* largePicture, PixelBuffer* smallPicture)
{
    int32_t canvas[2];
    ThumbnailCanvas(info, decoded, canvas);
    PrepareTarget(largePicture, canvas, largeSide);
    PrepareTarget(smallPicture, canvas, smallSide);
    int status = StartScale(largePicture, decoded, canvas, &info->keyColour);
    if (status != ImgOk)
        return status;
    // The icon shows the large picture's colours as they are, so the small
    // one averages them as an opaque picture's.
    largePicture->flags &= ~HasTransparency;
    status = StartScale(smallPicture, largePicture, NULL, NULL);
    if (status != ImgOk) {
        FreePixelBuffer(largePicture);
        return status;
    }
    int smallStatus = FinishJob(smallPicture);
    int largeStatus = FinishJob(largePicture);
    status = FirstFailure(largeStatus, smallStatus);
    status = FirstFailure(status, OrientPicture(largePicture, ImageOrientation(info)));
    return FirstFailure(status, OrientPicture(smallPicture, ImageOrientation(info)));
}

int MakeThumbnailPictures(ImageInfo* info, const ThumbnailRequest& request, PixelBuffer* largePicture,
                          PixelBuffer* smallPicture, PixelBuffer* decoded)
{
    if (!info || !largePicture || !smallPicture || request.largeSide <= 0 || request.smallSide <= 0)
        return ImgBadArgument;
    PixelBuffer own = PixelBuffer();
    own.size = PixelBufferSize;
    PixelBuffer* image = decoded ? decoded : &own;
    int32_t requested[2] = {request.largeSide, request.largeSide};
    int status = StartDecode(image, info, -1, requested, 0);
    if (status != ImgOk)
        return status;
    status = FinishJob(image);
    int scaled = ScaleThumbnailPictures(info, image, request.largeSide, request.smallSide, largePicture,
                                        smallPicture);
    FreePixelBuffer(&own);
    if (!largePicture->pixels)
        return FirstFailure(status, scaled);
    status = FirstFailure(status, scaled);
    if (request.reduceColours) {
        status = FirstFailure(status, ReduceInPlace(largePicture, request.colourCount));
        status = FirstFailure(status, ReduceInPlace(smallPicture, request.colourCount));
    }
    return status;
}

int MakeFittedPicture(ImageInfo* info, int32_t side, PixelBuffer* picture, bool* transparent)
{
    if (!info || !picture || !transparent || side <= 0)
        return ImgBadArgument;
    *transparent = false;
    PixelBuffer decoded = PixelBuffer();
    decoded.size = PixelBufferSize;
    int32_t requested[2] = {side, side};
    int status = StartDecodeWithAlpha(&decoded, info, -1, requested);
    if (status != ImgOk) {
        *picture = PixelBuffer();
        picture->size = PixelBufferSize;
        return status;
    }
    status = FinishJob(&decoded);
    // A decoder that failed before its first row leaves nothing to show: a
    // canvas of nothing but its fill is no picture of the file.
    if (decoded.rowsDone <= 0) {
        FreePixelBuffer(&decoded);
        *picture = PixelBuffer();
        picture->size = PixelBufferSize;
        return status != ImgOk ? status : ImgTruncated;
    }
    int32_t canvas[2];
    ThumbnailCanvas(info, &decoded, canvas);
    int32_t longer = canvas[0] > canvas[1] ? canvas[0] : canvas[1];
    PrepareTarget(picture, canvas, side < longer ? side : longer);
    // Fully transparent black: the scaler lays each average over it, which
    // leaves the colours weighted by their opacity.
    *transparent = (decoded.flags & HasTransparency) != 0;
    uint32_t fill = *transparent ? 0xFF000000u : info->keyColour;
    int scaled = StartScale(picture, &decoded, canvas, &fill);
    if (scaled == ImgOk)
        scaled = FinishJob(picture);
    FreePixelBuffer(&decoded);
    status = FirstFailure(status, scaled);
    if (!picture->pixels)
        return status;
    return FirstFailure(status, OrientPicture(picture, ImageOrientation(info)));
}
