// imgtool: the image library from the command line, for tests, benchmarks
// and anyone checking a decoder by hand.
//   imgtool info FILE
//   imgtool decode FILE OUT.pam [--index N] [--request W H]
#include "image.h"
#include "pam.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int Usage()
{
    fprintf(stderr,
            "usage: imgtool info FILE\n"
            "       imgtool decode FILE OUT.pam [--index N] [--request W H]\n");
    return 2;
}

int Info(int argc, char** argv)
{
    if (argc != 1)
        return Usage();
    ImageInfo info = {};
    info.size = ImageInfoSize;
    int status = OpenImageFile(argv[0], &info);
    printf("status: %d\n", status);
    printf("format: %08x\n", (unsigned)info.format);
    printf("width: %d\n", (int)info.width);
    printf("height: %d\n", (int)info.height);
    printf("depth: %x\n", (unsigned)info.depth);
    printf("compression: %d\n", (int)info.compression);
    printf("imageCount: %d\n", (int)info.imageCount);
    printf("repeatCount: %u\n", (unsigned)info.repeatCount);
    printf("keyColour: %08x\n", (unsigned)info.keyColour);
    for (int i = 0; i < ImageTextSlots; i++) {
        if (info.text[i])
            printf("text: %x %s\n", (unsigned)info.textKind[i], info.text[i]);
    }
    ReleaseImageInfo(&info);
    return 0;
}

void PrintBuffer(int status, const PixelBuffer& b)
{
    printf("status: %d\n", status);
    printf("width: %d\n", (int)b.width);
    printf("height: %d\n", (int)b.height);
    printf("rowsDone: %d\n", (int)b.rowsDone);
    printf("flags: %x\n", (unsigned)b.flags);
    printf("left: %d\n", (int)b.left);
    printf("top: %d\n", (int)b.top);
    printf("delay: %d\n", (int)b.delay);
}

// Waits for the worker, then takes its exit code through StopJob.
int Finish(int started, PixelBuffer* b)
{
    if (started != ImgOk)
        return started;
    WaitForSingleObject(b->thread, INFINITE);
    return StopJob(b);
}

int Decode(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    int32_t index = -1;
    int32_t request[2] = { 0, 0 };
    bool requested = false;
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--index") && i + 1 < argc) {
            index = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--request") && i + 2 < argc) {
            request[0] = atoi(argv[++i]);
            request[1] = atoi(argv[++i]);
            requested = true;
        } else {
            return Usage();
        }
    }
    ImageInfo info = {};
    info.size = ImageInfoSize;
    PixelBuffer buffer = {};
    buffer.size = PixelBufferSize;
    int status = OpenImageFile(argv[0], &info);
    if (status == ImgOk)
        status = Finish(StartDecode(&buffer, &info, index, requested ? request : NULL, 0), &buffer);
    PrintBuffer(status, buffer);
    int exitCode = 0;
    if (buffer.pixels && !WritePam(argv[1], &buffer)) {
        fprintf(stderr, "imgtool: cannot write %s\n", argv[1]);
        exitCode = 1;
    }
    FreePixelBuffer(&buffer);
    ReleaseImageInfo(&info);
    return exitCode;
}

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const Command Commands[] = {
    { "info", Info },
    { "decode", Decode },
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    for (const Command& c : Commands) {
        if (!strcmp(argv[1], c.name))
            return c.run(argc - 2, argv + 2);
    }
    return Usage();
}
