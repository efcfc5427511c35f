#include "reference.h"

#include <stdio.h>
#include <stdlib.h>

bool ReadPnm(const std::string& path, Pnm* out)
{
    std::vector<uint8_t> d = ReadFileBytes(path);
    size_t i = 0;
    std::string tokens[4];
    for (int t = 0; t < 4; t++) {
        while (i < d.size() && (isspace(d[i]) || d[i] == '#')) {
            if (d[i] == '#')
                while (i < d.size() && d[i] != '\n')
                    i++;
            else
                i++;
        }
        while (i < d.size() && !isspace(d[i]))
            tokens[t] += (char)d[i++];
    }
    i++;
    if (tokens[0] != "P5" && tokens[0] != "P6")
        return false;
    out->channels = tokens[0] == "P6" ? 3 : 1;
    out->width = atoi(tokens[1].c_str());
    out->height = atoi(tokens[2].c_str());
    out->maxval = atoi(tokens[3].c_str());
    size_t n = (size_t)out->width * out->height * out->channels;
    if (out->maxval < 1 || out->maxval > 255 || i + n > d.size())
        return false;
    out->samples.assign(d.begin() + i, d.begin() + i + n);
    return true;
}

namespace {

int BitsOf(int maxval)
{
    int bits = 0;
    while ((1 << bits) - 1 < maxval)
        bits++;
    return bits;
}

std::string Where(int x, int y, int channel, int ours, int theirs)
{
    char s[120];
    snprintf(s, sizeof s, "pixel (%d, %d) channel %d: ours %d, reference %d", x, y, channel,
             ours, theirs);
    return s;
}

}  // namespace

std::string CompareColours(const PixelBuffer& b, const Pnm& ref)
{
    if (b.width != ref.width || b.height != ref.height || ref.channels != 3)
        return "size differs: " + std::to_string(b.width) + "x" + std::to_string(b.height) +
               " against " + std::to_string(ref.width) + "x" + std::to_string(ref.height);
    int shift = 8 - BitsOf(ref.maxval);
    for (int y = 0; y < b.height; y++)
        for (int x = 0; x < b.width; x++) {
            uint32_t p = b.pixels[(size_t)y * b.width + x];
            int ours[3] = { (int)(p >> 16) & 255, (int)(p >> 8) & 255, (int)p & 255 };
            for (int c = 0; c < 3; c++) {
                int theirs = ref.samples[((size_t)y * ref.width + x) * 3 + c] << shift;
                if (ours[c] != theirs)
                    return Where(x, y, c, ours[c], theirs);
            }
        }
    return "";
}

std::string CompareOpacity(const PixelBuffer& b, const Pnm& ref)
{
    if (b.width != ref.width || b.height != ref.height || ref.channels != 1)
        return "size differs";
    if (!(b.flags & HasTransparency))
        return "no transparency";
    for (int y = 0; y < b.height; y++)
        for (int x = 0; x < b.width; x++) {
            int ours = 255 - (int)(b.pixels[(size_t)y * b.width + x] >> 24);
            int theirs = ref.samples[(size_t)y * ref.width + x] * 255 / ref.maxval;
            if (ours != theirs)
                return Where(x, y, 3, ours, theirs);
        }
    return "";
}

int ProbeThenDecode(int (*probe)(ImageInfo*), const std::vector<uint8_t>& bytes,
                    const int32_t* request, PixelBuffer* out, ImageInfo* described)
{
    GuardedBytes guarded(bytes);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    int status = probe(&info);
    if (described) {
        *described = info;
        for (int i = 0; i < ImageTextSlots; i++)
            described->text[i] = nullptr;   // owned by info, released below
    }
    if (status >= 0) {
        PixelBuffer local = EmptyBuffer();
        PixelBuffer* target = out ? out : &local;
        status = StartDecode(target, &info, -1, request, 0);
        if (status == ImgOk)
            status = WaitJob(target);
        if (!out)
            FreePixelBuffer(&local);
    }
    ReleaseImageInfo(&info);
    return status;
}

int RunMutations(int (*probe)(ImageInfo*), const std::vector<std::vector<uint8_t>>& files,
                 int count, uint32_t seed)
{
    int complete = 0;
    ForEachMutation(files, count, seed, 0, nullptr, [&](int i, const std::vector<uint8_t>& bytes) {
        int32_t request[2] = { 32, 32 };
        PixelBuffer b = EmptyBuffer();
        int status = ProbeThenDecode(probe, bytes, i % 2 ? request : nullptr, &b);
        bool known = status == ImgOk || status == ImgUnsupported || status == ImgTruncated ||
                     status == ImgNoMemory || status == ImgBadArgument;
        EXPECT_TRUE(known) << "mutation " << i << " gave " << status;
        EXPECT_GE(b.rowsDone, 0);
        EXPECT_LE(b.rowsDone, b.height);
        if (status == ImgOk) {
            EXPECT_EQ(b.rowsDone, b.height) << "mutation " << i;
            complete++;
        }
        FreePixelBuffer(&b);
        ASSERT_FALSE(::testing::Test::HasFailure());
    });
    return complete;
}
