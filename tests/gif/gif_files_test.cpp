// GIFs written by ImageMagick and gifsicle (make-gifs.sh), every image
// compared pixel for pixel with netpbm's giftopnm.
#include "testing.h"

#include <sstream>

namespace {

struct Pnm {
    int width = 0, height = 0;
    char kind = 0;
    std::vector<uint8_t> data;
};

// P6 (colours) and P4 (bits, 1 = black) as netpbm writes them.
bool ReadPnm(const std::string& path, Pnm* out)
{
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    size_t at = 0;
    auto token = [&]() {
        std::string t;
        while (at < bytes.size()) {
            char c = (char)bytes[at];
            if (c == '#') {
                while (at < bytes.size() && bytes[at] != '\n')
                    at++;
            } else if (isspace((unsigned char)c)) {
                at++;
                if (!t.empty())
                    return t;
            } else {
                t += c;
                at++;
            }
        }
        return t;
    };
    std::string magic = token();
    if (magic != "P6" && magic != "P4")
        return false;
    out->kind = magic[1];
    out->width = atoi(token().c_str());
    out->height = atoi(token().c_str());
    if (out->kind == '6' && token() != "255")
        return false;
    out->data.assign(bytes.begin() + at, bytes.end());
    return true;
}

std::vector<std::pair<std::string, int>> Manifest()
{
    std::vector<std::pair<std::string, int>> files;
    std::vector<uint8_t> bytes = ReadFileBytes(TestDataPath("gif/manifest.txt"));
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string name;
    int count;
    while (in >> name >> count)
        files.push_back({ name, count });
    return files;
}

struct Opened {
    ImageInfo info = EmptyInfo();
    explicit Opened(const std::string& name) { OpenImageFile(TestDataPath("gif/" + name + ".gif").c_str(), &info); }
    ~Opened() { ReleaseImageInfo(&info); }
};

int DecodeImage(ImageInfo* info, int index, bool progress, PixelBuffer* out)
{
    int status = StartDecode(out, info, index, NULL, progress);
    return status == ImgOk ? WaitJob(out) : status;
}

// Colours must match giftopnm's; the transparency only where the decode
// was asked to show it.
void CompareImage(const std::string& name, int index, const PixelBuffer& b, bool withTransparency)
{
    std::string base = TestDataPath("gif/" + name + "." + std::to_string(index));
    Pnm colours, alpha;
    ASSERT_TRUE(ReadPnm(base + ".ppm", &colours)) << base;
    ASSERT_TRUE(ReadPnm(base + ".pbm", &alpha)) << base;
    ASSERT_EQ(b.width, colours.width);
    ASSERT_EQ(b.height, colours.height);
    std::vector<uint8_t> rgba = BufferAsRgba(b);
    size_t wrongColour = 0, wrongAlpha = 0, transparent = 0;
    size_t alphaStride = (alpha.width + 7) / 8;
    for (int y = 0; y < b.height; y++) {
        for (int x = 0; x < b.width; x++) {
            size_t i = (size_t)y * b.width + x;
            for (int c = 0; c < 3; c++)
                wrongColour += rgba[4 * i + c] != colours.data[3 * i + c];
            bool clear = (alpha.data[y * alphaStride + x / 8] >> (7 - x % 8)) & 1;
            transparent += clear;
            uint8_t expected = clear && withTransparency ? 0 : 255;
            wrongAlpha += rgba[4 * i + 3] != expected;
        }
    }
    EXPECT_EQ(wrongColour, 0u) << name << " image " << index;
    EXPECT_EQ(wrongAlpha, 0u) << name << " image " << index;
    if (transparent && withTransparency) {
        EXPECT_TRUE(b.flags & HasTransparency) << name << " image " << index;
    }
    if (!withTransparency) {
        EXPECT_FALSE(b.flags & HasTransparency) << name << " image " << index;
    }
}

}  // namespace

TEST(GifFiles, EveryImageMatchesGiftopnm)
{
    auto files = Manifest();
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files) {
        Opened f(file.first);
        ASSERT_EQ(FamilyOf(f.info.format), (uint32_t)FamilyGif) << file.first;
        for (int i = 0; i < file.second; i++) {
            for (bool progress : { true, false }) {
                PixelBuffer b = EmptyBuffer();
                ASSERT_EQ(DecodeImage(&f.info, i, progress, &b), ImgOk) << file.first << " " << i;
                EXPECT_EQ(b.imageIndex, i);
                CompareImage(file.first, i, b, progress);
                FreePixelBuffer(&b);
            }
        }
        // One beyond the last tells how many there are.
        PixelBuffer b = EmptyBuffer();
        EXPECT_EQ(DecodeImage(&f.info, file.second, false, &b), ImgBadRequest);
        EXPECT_EQ(f.info.imageCount, file.second) << file.first;
        EXPECT_EQ(b.pixels, nullptr);
    }
}

TEST(GifFiles, AnimationFields)
{
    Opened anim("anim");
    EXPECT_EQ(anim.info.format, FormatGif89a | StorageMappedView);
    EXPECT_EQ(anim.info.width, 23);
    EXPECT_EQ(anim.info.height, 20);
    EXPECT_EQ(anim.info.repeatCount, 0xFFFFFFFFu);
    EXPECT_EQ(anim.info.imageCount, -1);
    EXPECT_STREQ(anim.info.text[0], "first frame");
    struct Frame {
        int left, top, delay;
        uint32_t flags;
    } frames[4] = {
        { 0, 0, 100, 0 },
        { 5, 3, 200, DisposeKeep },
        { 10, 7, 300, DisposeBackground },
        { 0, 8, 400, DisposePrevious | HasTransparency },
    };
    for (int i = 0; i < 4; i++) {
        PixelBuffer b = EmptyBuffer();
        ASSERT_EQ(DecodeImage(&anim.info, i, true, &b), ImgOk);
        EXPECT_EQ(b.left, frames[i].left) << i;
        EXPECT_EQ(b.top, frames[i].top) << i;
        EXPECT_EQ(b.delay, frames[i].delay) << i;
        EXPECT_EQ(b.flags, frames[i].flags) << i;
        FreePixelBuffer(&b);
    }
    Opened loop5("loop5");
    EXPECT_EQ(loop5.info.repeatCount, 4u);
    Opened still("photo");
    EXPECT_EQ(still.info.repeatCount, 0u);
    EXPECT_EQ(still.info.depth, 8u);
    Opened comment("photo-transparent");
    EXPECT_STREQ(comment.info.text[0], "made by gifsicle");
    EXPECT_EQ(comment.info.textKind[0], TextIsString | TextComments);

    // ImageMagick's frames carry local tables and their page offsets.
    Opened im("im-anim");
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(DecodeImage(&im.info, 1, true, &b), ImgOk);
    EXPECT_EQ(b.left, 3);
    EXPECT_EQ(b.top, 2);
    EXPECT_EQ(b.flags & DisposePrevious, DisposePrevious);
    FreePixelBuffer(&b);
}

TEST(GifFiles, InterlacedProgressEndsAfterFourPasses)
{
    Opened f("photo-interlaced");
    PixelBuffer b = EmptyBuffer();
    ASSERT_EQ(DecodeImage(&f.info, 0, true, &b), ImgOk);
    EXPECT_EQ(b.rowsDone, 4 * b.height);
    FreePixelBuffer(&b);
    Opened plain("photo");
    ASSERT_EQ(DecodeImage(&plain.info, -1, true, &b), ImgOk);
    EXPECT_EQ(b.rowsDone, b.height);
    FreePixelBuffer(&b);
}
