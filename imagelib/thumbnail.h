// The thumbnail recipe: the two pictures of a file's thumbnail icons, made
// the one way the icon handler, the Preview page, the Display page's sample,
// imgtool and the benchmark all share.
#ifndef LUMETTA_THUMBNAIL_H
#define LUMETTA_THUMBNAIL_H

#include "image.h"

struct ThumbnailRequest {
    int32_t largeSide;        // longer side of the large picture's canvas, in pixels
    int32_t smallSide;        // longer side of the small picture's canvas
    bool reduceColours;       // for an icon display of few colours
    uint32_t colourCount;     // when reducing: as StartColourReduction takes it
};

// The canvas a decoded image is drawn on for its thumbnail: the image's own
// size for a file of one image, the logical screen for the images of the
// others; never smaller than the image's own extent, as StartScale makes it.
void ThumbnailCanvas(const ImageInfo* info, const PixelBuffer* decoded, int32_t canvas[2]);

// Decodes the file's default image (asking the decoder for the large size),
// scales it to the large picture on its canvas filled with the image's key
// colour, and from the large picture to the small one while the first is
// being produced; then, if asked, reduces both in place.  Every job has
// ended when it returns.  The caller frees `largePicture` and `smallPicture`, and
// `decoded` when it asks for the decoded image back.  A decoder that stops
// early still leaves the pictures of the rows it delivered.  Returns the
// first failure of any stage, or ImgOk; the pictures are empty only when a
// stage could not start.
int MakeThumbnailPictures(ImageInfo* info, const ThumbnailRequest& request, PixelBuffer* largePicture,
                          PixelBuffer* smallPicture, PixelBuffer* decoded = NULL);

// The recipe's scaling stage alone, from a finished decoded picture of the
// file: both pictures, every job ended, shown as the file's orientation says
// (OrientPicture: the one place a picture of any size is turned upright).
// Returns the first failure.
int ScaleThumbnailPictures(const ImageInfo* info, PixelBuffer* decoded, int32_t largeSide,
                           int32_t smallSide, PixelBuffer* largePicture, PixelBuffer* smallPicture);

// Explorer's thumbnail: the file's default image decoded for `side` (the
// decoder's own sized decode), fitted into side x side on its canvas's
// shape, never larger than the canvas, shown as the file's orientation
// says.  Where the decoded image has transparency, so does the canvas
// around it, and `*transparent` is set: the pixels then carry their
// transparency in the fourth byte and their colours weighted by their
// opacity.  Otherwise the canvas is filled with the key colour.  The caller
// frees `picture`.  Returns the first failure; a decoder that stopped early
// leaves the picture of the rows it delivered.
int MakeFittedPicture(ImageInfo* info, int32_t side, PixelBuffer* picture, bool* transparent);

#endif
