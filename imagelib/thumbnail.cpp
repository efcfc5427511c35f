// The thumbnail recipe shared by the icon handler and the tools: decode with
// the icon size as a hint, then two scalings that run side by side.
#include "image.h"

namespace {

// Both the shape and the size of a thumbnail come from the canvas, never from
// what the header says about the image: a frame that reaches beyond its
// logical screen, or a postage stamp of another shape than the image, would
// otherwise fix the wrong side and make a "32-pixel" picture thousands of
// pixels long.
void PrepareTarget(PixelBuffer* target, const int32_t canvas[2], int32_t side)
{
    *target = PixelBuffer();
    target->size = PixelBufferSize;
    if (canvas[0] > canvas[1])
        target->width = side;
    else
        target->height = side;
}

int WaitAndStop(PixelBuffer* buffer)
{
    if (buffer->thread)
        WaitForSingleObject(buffer->thread, INFINITE);
    return StopJob(buffer);
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
    // The small picture is made from the large one, which has no holes.
    largePicture->flags &= ~HasTransparency;
    int smallStatus = smallSide > 0 ? StartScale(smallPicture, largePicture, NULL, NULL) : ImgOk;
    if (smallStatus == ImgOk && smallSide > 0)
        smallStatus = WaitAndStop(smallPicture);
    int largeStatus = WaitAndStop(largePicture);
    return largeStatus != ImgOk ? largeStatus : smallStatus;
}

int MakeThumbnailPictures(ImageInfo* info, int32_t largeSide, int32_t smallSide,
                          PixelBuffer* decoded, PixelBuffer* largePicture, PixelBuffer* smallPicture)
{
    if (largeSide <= 0 || smallSide < 0)
        return ImgBadArgument;
    int32_t request[2] = { largeSide, largeSide };
    int status = StartDecode(decoded, info, -1, request, 0);
    if (status != ImgOk)
        return status;
    status = WaitAndStop(decoded);
    int scaled = ScaleThumbnailPictures(info, decoded, largeSide, smallSide, largePicture, smallPicture);
    return status != ImgOk ? status : scaled;
}
