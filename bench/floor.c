/* floor: the decoding a thumbnailer cannot skip, done by independent code on
 * the host and timed in-process with the file already in memory.  Prints the
 * median milliseconds of REPS runs for each file, one a line.
 *   floor png REPS FILE...   zlib's inflate of the concatenated IDAT data
 *   floor tif REPS FILE...   libtiff's TIFFReadEncodedStrip over every strip
 *   floor gif REPS FILE...   giflib's LZW decoding of the first frame
 * Built by bench/formats.sh with the host compiler (cc -O2 -lz -ltiff -lgif). */
#include <gif_lib.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>
#include <time.h>
#include <zlib.h>

typedef struct {
    unsigned char* data;
    size_t size;
    size_t pos;
} Bytes;

static double NowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static Bytes ReadWhole(const char* path)
{
    Bytes b = { NULL, 0, 0 };
    FILE* f = fopen(path, "rb");
    if (!f)
        return b;
    fseek(f, 0, SEEK_END);
    b.size = (size_t)ftell(f);
    fseek(f, 0, SEEK_SET);
    b.data = malloc(b.size ? b.size : 1);
    if (fread(b.data, 1, b.size, f) != b.size)
        b.size = 0;
    fclose(f);
    return b;
}

static uint32_t Be32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* ---- PNG: the IDAT chunks joined (outside the timing), then inflated. */
typedef struct {
    Bytes idat;
    size_t inflated;
    unsigned char* out;
} PngWork;

static int PreparePng(PngWork* w, const Bytes* file)
{
    size_t p = 8, n = 0;
    uint32_t width = 0, height = 0;
    w->idat.data = malloc(file->size);
    while (p + 12 <= file->size) {
        uint32_t length = Be32(file->data + p);
        const unsigned char* type = file->data + p + 4;
        if (!memcmp(type, "IHDR", 4)) {
            width = Be32(file->data + p + 8);
            height = Be32(file->data + p + 12);
        } else if (!memcmp(type, "IDAT", 4)) {
            memcpy(w->idat.data + n, file->data + p + 8, length);
            n += length;
        }
        p += 12 + (size_t)length;
    }
    w->idat.size = n;
    /* Eight bytes a pixel and a filter byte a row is more than any PNG of
     * 8 or 16 bits per sample needs. */
    w->inflated = (size_t)height * ((size_t)width * 8 + 1);
    w->out = malloc(w->inflated);
    return n > 0;
}

static int RunPng(PngWork* w)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK)
        return 0;
    z.next_in = w->idat.data;
    z.avail_in = (uInt)w->idat.size;
    z.next_out = w->out;
    z.avail_out = (uInt)w->inflated;
    int status = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

/* ---- TIFF: libtiff over the bytes in memory, every strip decoded. */
static tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t n)
{
    Bytes* b = (Bytes*)h;
    if ((size_t)n > b->size - b->pos)
        n = (tmsize_t)(b->size - b->pos);
    memcpy(buf, b->data + b->pos, (size_t)n);
    b->pos += (size_t)n;
    return n;
}
static tmsize_t TiffWrite(thandle_t h, void* buf, tmsize_t n) { (void)h; (void)buf; (void)n; return 0; }
static toff_t TiffSeek(thandle_t h, toff_t off, int whence)
{
    Bytes* b = (Bytes*)h;
    b->pos = whence == SEEK_SET ? off : whence == SEEK_CUR ? b->pos + off : b->size + off;
    if (b->pos > b->size)
        b->pos = b->size;
    return b->pos;
}
static int TiffClose(thandle_t h) { (void)h; return 0; }
static toff_t TiffSize(thandle_t h) { return ((Bytes*)h)->size; }
static int TiffMap(thandle_t h, void** base, toff_t* size)
{
    *base = ((Bytes*)h)->data;
    *size = ((Bytes*)h)->size;
    return 1;
}
static void TiffUnmap(thandle_t h, void* base, toff_t size) { (void)h; (void)base; (void)size; }

static int RunTiff(Bytes* file)
{
    file->pos = 0;
    TIFF* tif = TIFFClientOpen("f", "rm", (thandle_t)file, TiffRead, TiffWrite, TiffSeek, TiffClose,
                               TiffSize, TiffMap, TiffUnmap);
    if (!tif)
        return 0;
    tmsize_t stripSize = TIFFStripSize(tif);
    void* buf = malloc((size_t)stripSize);
    uint32_t strips = TIFFNumberOfStrips(tif);
    int ok = 1;
    for (uint32_t s = 0; s < strips && ok; s++)
        ok = TIFFReadEncodedStrip(tif, s, buf, stripSize) >= 0;
    free(buf);
    TIFFClose(tif);
    return ok;
}

/* ---- GIF: the first frame's rows out of the LZW decoder, nothing more. */
static int GifRead(GifFileType* gif, GifByteType* buf, int n)
{
    Bytes* b = (Bytes*)gif->UserData;
    if ((size_t)n > b->size - b->pos)
        n = (int)(b->size - b->pos);
    memcpy(buf, b->data + b->pos, (size_t)n);
    b->pos += (size_t)n;
    return n;
}

static int RunGif(Bytes* file)
{
    int error = 0, ok = 0;
    file->pos = 0;
    GifFileType* gif = DGifOpen(file, GifRead, &error);
    if (!gif)
        return 0;
    GifRecordType type;
    while (DGifGetRecordType(gif, &type) == GIF_OK && type != TERMINATE_RECORD_TYPE) {
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext;
            if (DGifGetExtension(gif, &code, &ext) != GIF_OK)
                break;
            while (ext && DGifGetExtensionNext(gif, &ext) == GIF_OK && ext)
                ;
        } else if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) != GIF_OK)
                break;
            int w = gif->Image.Width, h = gif->Image.Height;
            GifPixelType* line = malloc((size_t)w * h);
            ok = 1;
            for (int y = 0; y < h && ok; y++)
                ok = DGifGetLine(gif, line + (size_t)y * w, w) == GIF_OK;
            free(line);
            break;
        }
    }
    DGifCloseFile(gif, &error);
    return ok;
}

static int CompareDouble(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: floor png|tif|gif REPS FILE...\n");
        return 2;
    }
    const char* mode = argv[1];
    int reps = atoi(argv[2]);
    if (reps < 1)
        reps = 1;
    TIFFSetErrorHandler(NULL);
    TIFFSetWarningHandler(NULL);
    double* times = malloc(sizeof(double) * (size_t)reps);
    for (int i = 3; i < argc; i++) {
        Bytes file = ReadWhole(argv[i]);
        PngWork png;
        memset(&png, 0, sizeof png);
        if (!strcmp(mode, "png") && !PreparePng(&png, &file)) {
            fprintf(stderr, "floor: no image data in %s\n", argv[i]);
            return 1;
        }
        for (int r = 0; r < reps; r++) {
            double t0 = NowMs();
            int ok = !strcmp(mode, "png")   ? RunPng(&png)
                     : !strcmp(mode, "tif") ? RunTiff(&file)
                                            : RunGif(&file);
            times[r] = NowMs() - t0;
            if (!ok) {
                fprintf(stderr, "floor: cannot decode %s\n", argv[i]);
                return 1;
            }
        }
        qsort(times, (size_t)reps, sizeof(double), CompareDouble);
        printf("%.2f\n", reps % 2 ? times[reps / 2] : (times[reps / 2 - 1] + times[reps / 2]) / 2);
        free(png.idat.data);
        free(png.out);
        free(file.data);
    }
    free(times);
    return 0;
}
