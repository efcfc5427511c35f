// The eighth-size road for the commonest JPEG files: baseline Huffman, one
// scan, grey or YCbCr 4:4:4 or 4:2:0.  At 1/8 libjpeg keeps only the DC of
// each luma block (and a 2 x 2 inverse transform of 4:2:0 chroma), so its
// time goes into the serial Huffman decoding; this road splits that decoding
// between two processors and reproduces libjpeg's arithmetic exactly.  It
// takes only what it can reproduce: anything else, or any fault in the data,
// is declined and left to libjpeg, which then decodes from the start.
#ifndef LUMETTA_JPEGDC_H
#define LUMETTA_JPEGDC_H

#include "image.h"

enum {
    JpegEighthDone,
    JpegEighthDeclined,        // libjpeg decodes the file instead
    JpegEighthStopped,         // the stop event was set
    JpegEighthNoMemory,
};

struct JpegEighthRequest {
    const uint8_t* data;       // the whole file (its mapped view)
    uint32_t size;
    int32_t width, height;     // what the probe read: the frame must agree
    HANDLE stopEvent;
    bool shareWork;            // a second processor may decode half the scan
};

struct JpegEighthPicture {
    int32_t width, height;     // eighth size, rounded up
    // blue-green-red-X, top-down, X 0xFF (0 for grey, as the libjpeg road
    // leaves it); free() it
    uint32_t* pixels;
};

int DecodeJpegEighth(const JpegEighthRequest* request, JpegEighthPicture* picture);

// Tests and benchmarks set this to send every file to libjpeg.
extern bool JpegEighthRoadOff;

#endif
