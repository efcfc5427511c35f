// Hand-made streams: the probe's fields, the LZW corner cases, interlaced
// passes, the image walk, and damaged data over guarded bytes.
#include "testing.h"
#include "gifmaker.h"

#include <stdlib.h>

namespace {

const std::vector<uint32_t> Grey4 = { 0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF };

struct Decoded {
    int status = 0;
    int32_t imageCount = 0;
    PixelBuffer buffer = EmptyBuffer();
    ~Decoded() { FreePixelBuffer(&buffer); }
    uint32_t At(int x, int y) const { return buffer.pixels[(size_t)y * buffer.width + x]; }
};

// Decodes through the pipeline as the product does, over guarded bytes,
// whatever the probe would say of them.
void Decode(const std::vector<uint8_t>& bytes, int32_t index, bool progress, Decoded* out)
{
    GuardedBytes guarded(bytes);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    info.format = FormatGif89a;
    info.imageCount = -1;
    out->status = StartDecode(&out->buffer, &info, index, NULL, progress);
    if (out->status == ImgOk)
        out->status = WaitJob(&out->buffer);
    out->imageCount = info.imageCount;
    ReleaseImageInfo(&info);
}

int Probe(const std::vector<uint8_t>& bytes, ImageInfo* info)
{
    static std::vector<uint8_t> keep;   // the record points into it
    keep = bytes;
    *info = InfoOver(keep.data(), keep.size());
    return ProbeGif(info);
}

std::vector<uint8_t> Noise(size_t count, int colours, uint32_t seed)
{
    std::vector<uint8_t> v(count);
    for (auto& x : v) {
        seed = seed * 1103515245u + 12345u;
        x = (uint8_t)((seed >> 16) % colours);
    }
    return v;
}

std::vector<uint32_t> Ramp(int entries)
{
    std::vector<uint32_t> t;
    for (int i = 0; i < entries; i++)
        t.push_back((uint32_t)i * 0x030507u & 0xFFFFFF);
    return t;
}

void ExpectPixels(const Decoded& d, const std::vector<uint8_t>& indices, const std::vector<uint32_t>& table)
{
    ASSERT_EQ((size_t)d.buffer.width * d.buffer.height, indices.size());
    size_t wrong = 0;
    for (size_t i = 0; i < indices.size(); i++)
        wrong += d.buffer.pixels[i] != Pixel(table[indices[i]]);
    EXPECT_EQ(wrong, 0u);
}

}  // namespace

TEST(GifProbe, SignaturesAndSizes)
{
    ImageInfo info;
    GifMaker a(7, 5, Grey4, 0, "GIF87a");
    a.Image(0, 0, 1, 1, { 0 }, 2);
    a.Trailer();
    EXPECT_EQ(Probe(a.b, &info), ImgOk);
    EXPECT_EQ(info.format, FormatGif87a);
    EXPECT_EQ(info.width, 7);
    EXPECT_EQ(info.height, 5);
    EXPECT_EQ(info.depth, 2u);
    EXPECT_EQ(info.compression, CompressionLzw);
    EXPECT_EQ(info.imageCount, -1);
    EXPECT_EQ(info.repeatCount, 0u);
    GifMaker b(7, 5, Grey4, 0, "GIF89a");
    b.Image(0, 0, 1, 1, { 0 }, 2);
    EXPECT_EQ(Probe(b.b, &info), ImgOk);
    EXPECT_EQ(info.format, FormatGif89a);
    for (const char* sig : { "GIF88a", "GIF89b", "GIF87A", "BIF89a" }) {
        GifMaker c(7, 5, Grey4, 0, sig);
        c.Image(0, 0, 1, 1, { 0 }, 2);
        EXPECT_EQ(Probe(c.b, &info), ImgUnsupported) << sig;
        Decoded d;
        Decode(c.b, 0, false, &d);
        EXPECT_EQ(d.status, ImgUnsupported) << sig;
    }
    // Without a global table the colour resolution gives the depth.
    GifMaker n(3, 3, {});
    n.b[10] = 0x50;
    n.Image(0, 0, 1, 1, { 0 }, 2);
    EXPECT_EQ(Probe(n.b, &info), ImgOk);
    EXPECT_EQ(info.depth, 6u);
    EXPECT_EQ(ProbeGif(nullptr), ImgBadArgument);
    ImageInfo wrong = EmptyInfo();
    wrong.size = 100;
    EXPECT_EQ(ProbeGif(&wrong), ImgBadArgument);
}

TEST(GifProbe, HeaderAndTableAtTheEnd)
{
    ImageInfo info;
    GifMaker header(4, 4, {});
    ASSERT_EQ(header.b.size(), 13u);
    EXPECT_EQ(Probe(header.b, &info), ImgTruncated);
    Decoded d;
    Decode(header.b, 0, false, &d);
    EXPECT_EQ(d.status, ImgTruncated);
    // The table ends exactly with the file: not a GIF to the probe, cut
    // short to the decoder.
    GifMaker table(4, 4, Grey4);
    EXPECT_EQ(Probe(table.b, &info), ImgUnsupported);
    Decode(table.b, 0, false, &d);
    EXPECT_EQ(d.status, ImgTruncated);
    // Extensions and then nothing, or the trailer, mean no image.
    GifMaker empty(4, 4, Grey4);
    empty.Comment("x");
    EXPECT_EQ(Probe(empty.b, &info), ImgTruncated);
    empty.Trailer();
    EXPECT_EQ(Probe(empty.b, &info), ImgTruncated);
}

TEST(GifProbe, BackgroundColour)
{
    ImageInfo info;
    GifMaker g(4, 4, { 0x102030, 0x405060, 0x708090 }, 2);
    g.Image(0, 0, 1, 1, { 0 }, 2);
    ASSERT_EQ(Probe(g.b, &info), ImgOk);
    EXPECT_EQ(info.keyColour, 0x708090u);
    GifMaker beyond(4, 4, { 0x102030, 0x405060, 0x708090 }, 4);   // table of 4 entries
    beyond.Image(0, 0, 1, 1, { 0 }, 2);
    ASSERT_EQ(Probe(beyond.b, &info), ImgOk);
    EXPECT_EQ(info.keyColour, 0u);
}

TEST(GifProbe, LoopCounts)
{
    ImageInfo info;
    for (int loops : { 0, 1, 5, 65535 }) {
        GifMaker g(4, 4, Grey4);
        g.Loop(loops);
        g.Image(0, 0, 1, 1, { 0 }, 2);
        ASSERT_EQ(Probe(g.b, &info), ImgOk);
        EXPECT_EQ(info.repeatCount, (uint32_t)(loops - 1)) << loops;
    }
    EXPECT_EQ(info.repeatCount, 65534u);
    // Another application, or a sub-block that is not the loop block, is
    // skipped without effect.
    GifMaker other(4, 4, Grey4);
    other.Application("NETSCAPE2.1", { 1, 5, 0 });
    other.Application("NETSCAPE2.0", { 2, 5, 0 });
    other.Image(0, 0, 1, 1, { 0 }, 2);
    ASSERT_EQ(Probe(other.b, &info), ImgOk);
    EXPECT_EQ(info.repeatCount, 0u);
}

TEST(GifProbe, CommentSlots)
{
    ImageInfo info;
    GifMaker g(4, 4, Grey4);
    for (int i = 1; i <= 6; i++)
        g.Comment("comment " + std::to_string(i));
    g.Image(0, 0, 1, 1, { 0 }, 2);
    ASSERT_EQ(Probe(g.b, &info), ImgOk);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(info.textKind[i], TextIsString | TextComments);
        EXPECT_STREQ(info.text[i], ("comment " + std::to_string(i + 1)).c_str());
        EXPECT_EQ(info.textSize[i], 10u);
    }
    ReleaseImageInfo(&info);

    // Sub-blocks are joined, each up to its first NUL; an empty comment
    // takes no slot; comments after the first image are not the probe's.
    GifMaker j(4, 4, Grey4);
    std::vector<uint8_t> text(300, 'a');
    text[5] = 0;
    text[256] = 'b';
    j.Extension(0xFE, text);
    j.Extension(0xFE, { 0, 'x' });
    j.Image(0, 0, 1, 1, { 0 }, 2);
    j.Comment("later");
    ASSERT_EQ(Probe(j.b, &info), ImgOk);
    std::string expected = std::string(6, 'a') + "b" + std::string(43, 'a');
    EXPECT_STREQ(info.text[0], expected.c_str());
    EXPECT_EQ(info.text[1], nullptr);
    ReleaseImageInfo(&info);

    // A comment cut by the end of the file fails the probe and keeps nothing.
    GifMaker cut(4, 4, Grey4);
    cut.Comment("not finished");
    cut.b.pop_back();
    EXPECT_EQ(Probe(cut.b, &info), ImgTruncated);
    EXPECT_EQ(info.text[0], nullptr);
}

TEST(GifLzw, CodeSizesGrowToTwelveBits)
{
    // Noise over 16 colours needs every width from 5 to 12 bits; the table
    // fills and the stream goes on without a clear code.
    std::vector<uint8_t> pixels = Noise(160 * 120, 16, 1);
    std::vector<uint32_t> table = Ramp(16);
    for (int minCodeSize : { 4, 5, 8 }) {
        GifMaker g(160, 120, table);
        g.Image(0, 0, 160, 120, pixels, minCodeSize);
        g.Trailer();
        Decoded d;
        Decode(g.b, 0, false, &d);
        EXPECT_EQ(d.status, ImgOk) << minCodeSize;
        EXPECT_EQ(d.buffer.rowsDone, 120);
        ExpectPixels(d, pixels, table);
    }
}

TEST(GifLzw, FullTableWithoutClearCode)
{
    // Two colours in long runs: few codes, long strings, and after the table
    // fills the 12-bit codes still name the old strings.
    std::vector<uint8_t> pixels;
    uint32_t seed = 5;
    while (pixels.size() < 600 * 400) {
        seed = seed * 1103515245u + 12345u;
        pixels.insert(pixels.end(), 1 + (seed >> 16) % 30, (uint8_t)(pixels.size() / 7 % 4));
    }
    pixels.resize(600 * 400);
    std::vector<uint8_t> codes = EncodeLzw(pixels, 2);
    ASSERT_GT(codes.size() * 8 / 12, 4096u);   // more codes than the table holds
    GifMaker g(600, 400, Grey4);
    g.Descriptor(0, 0, 600, 400, false);
    g.b.push_back(2);
    g.SubBlocks(codes);
    Decoded d;
    Decode(g.b, 0, false, &d);
    EXPECT_EQ(d.status, ImgOk);
    ExpectPixels(d, pixels, Grey4);
}

namespace {

// A picture of one image whose stream is the given codes, each of its width.
void DecodeCodes(int width, int height, const std::vector<uint32_t>& table, int minCodeSize,
                 const std::vector<std::pair<int, int>>& codes, Decoded* out)
{
    CodeWriter w;
    for (const auto& c : codes)
        w.Put(c.first, c.second);
    GifMaker g(width, height, table);
    g.Descriptor(0, 0, width, height, false);
    g.b.push_back((uint8_t)minCodeSize);
    g.SubBlocks(w.Finish());
    Decode(g.b, 0, false, out);
}

}  // namespace

TEST(GifLzw, WideRootsAndStringsThatEndThePicture)
{
    // Root codes above 255 (a minimum code size of 9) show the entry of
    // their low byte.
    std::vector<uint32_t> table = Ramp(256);
    Decoded wide;
    DecodeCodes(4, 1, table, 9, { { 512, 10 }, { 300, 10 }, { 301, 10 }, { 514, 10 }, { 513, 10 } },
                &wide);
    EXPECT_EQ(wide.status, ImgOk);
    ExpectPixels(wide, { 44, 45, 44, 45 }, table);
    // Codes defined by their own use (1, 1 1, 1 1 1) end the picture
    // exactly, with less room behind them than a short string is copied in.
    Decoded self;
    DecodeCodes(3, 2, Grey4, 2, { { 4, 3 }, { 1, 3 }, { 6, 3 }, { 7, 3 }, { 5, 4 } }, &self);
    EXPECT_EQ(self.status, ImgOk);
    ExpectPixels(self, std::vector<uint8_t>(6, 1), Grey4);
}

TEST(GifLzw, CodesStraddleSubBlocksOfAnySize)
{
    std::vector<uint8_t> pixels = Noise(37 * 23, 4, 9);
    std::vector<uint8_t> codes = EncodeLzw(pixels, 2);
    for (size_t blockSize : { 1, 2, 3, 7, 254, 255 }) {
        GifMaker g(37, 23, Grey4);
        g.Descriptor(0, 0, 37, 23, false);
        g.b.push_back(2);
        g.SubBlocks(codes, blockSize);
        Decoded d;
        Decode(g.b, 0, true, &d);
        EXPECT_EQ(d.status, ImgOk) << blockSize;
        ExpectPixels(d, pixels, Grey4);
    }
}

TEST(GifLzw, LongStringsAcrossSubBlocksInOrderAndInterlaced)
{
    // Runs of one colour make strings of hundreds of pixels, each the code
    // being defined (its string runs on into itself); between them noise
    // makes short strings that are copied eight pixels at a time near the
    // last pixels of the picture.  Sub-blocks of 1 and 3 bytes cut codes
    // anywhere.
    std::vector<uint8_t> pixels;
    uint32_t seed = 11;
    while (pixels.size() < 301 * 67) {
        seed = seed * 1103515245u + 12345u;
        uint8_t colour = (uint8_t)((seed >> 16) % 5);
        size_t run = (seed >> 8) % 3 == 0 ? 1 + (seed >> 20) % 900 : 1;
        pixels.insert(pixels.end(), run, colour);
    }
    pixels.resize(301 * 67);
    std::vector<uint32_t> table = Ramp(8);
    for (int minCodeSize : { 3, 9 }) {
        std::vector<uint8_t> codes = EncodeLzw(pixels, minCodeSize);
        for (bool interlaced : { false, true }) {
            for (size_t blockSize : { 1, 3, 255 }) {
                SCOPED_TRACE(std::to_string(minCodeSize) + (interlaced ? " interlaced " : " ") +
                             std::to_string(blockSize));
                GifMaker g(301, 67, table);
                g.Descriptor(0, 0, 301, 67, interlaced);
                g.b.push_back((uint8_t)minCodeSize);
                g.SubBlocks(codes, blockSize);
                g.Trailer();
                Decoded d;
                Decode(g.b, 0, false, &d);
                EXPECT_EQ(d.status, ImgOk);
                if (!interlaced) {
                    ExpectPixels(d, pixels, table);
                    continue;
                }
                // Stream row k lands on the k-th row of the passes.
                std::vector<uint8_t> placed(pixels.size());
                int k = 0;
                for (int pass = 0; pass < 4; pass++)
                    for (int y = (int[]){ 0, 4, 2, 1 }[pass]; y < 67; y += (int[]){ 8, 8, 4, 2 }[pass], k++)
                        std::copy(pixels.begin() + k * 301, pixels.begin() + (k + 1) * 301,
                                  placed.begin() + y * 301);
                ExpectPixels(d, placed, table);
            }
        }
    }
}

TEST(GifLzw, CutStreamCountsOnlyTheRowsItDecoded)
{
    std::vector<uint8_t> pixels = Noise(20 * 10, 4, 5);
    for (bool interlaced : { false, true }) {
        SCOPED_TRACE(interlaced);
        GifMaker g(20, 10, Grey4);
        g.Descriptor(0, 0, 20, 10, interlaced);
        g.b.push_back(2);
        size_t start = g.b.size();
        g.SubBlocks(EncodeLzw(pixels, 2), 8);
        // Cut after the sub-block (9 bytes each) in the middle of the codes:
        // about half the rows can be decoded.
        std::vector<uint8_t> cut(g.b.begin(), g.b.begin() + start + (g.b.size() - start) / 2 / 9 * 9);
        Decoded d;
        Decode(cut, 0, true, &d);
        EXPECT_EQ(d.status, ImgTruncated);
        ASSERT_NE(d.buffer.pixels, nullptr);
        EXPECT_GT(d.buffer.rowsDone, 0);
        // An interlaced picture counts its rows across the four passes.
        EXPECT_LT(d.buffer.rowsDone, interlaced ? 4 * 10 : 10);
        if (interlaced)
            continue;
        // Every row counted is the picture's own.
        for (int y = 0; y < d.buffer.rowsDone; y++)
            for (int x = 0; x < 20; x++)
                ASSERT_EQ(d.At(x, y), Pixel(Grey4[pixels[y * 20 + x]])) << x << "," << y;
    }
}

TEST(GifLzw, EndsAndDamage)
{
    std::vector<uint8_t> pixels = Noise(20 * 10, 4, 3);
    auto image = [&](const std::vector<uint8_t>& codes, int minCodeSize = 2, int w = 20, int h = 10) {
        GifMaker g(w, h, Grey4);
        g.Descriptor(0, 0, w, h, false);
        g.b.push_back((uint8_t)minCodeSize);
        g.SubBlocks(codes);
        g.Trailer();
        return g.b;
    };
    Decoded d;
    // The length-0 sub-block ends the image as well as the end code.
    Decode(image(EncodeLzw(pixels, 2, false)), 0, false, &d);
    EXPECT_EQ(d.status, ImgOk);
    ExpectPixels(d, pixels, Grey4);

    // Half the pixels: the rest shows colour 0.
    std::vector<uint8_t> half(pixels.begin(), pixels.begin() + 100);
    Decoded h;
    Decode(image(EncodeLzw(half, 2)), 0, true, &h);
    EXPECT_EQ(h.status, ImgOk);
    std::vector<uint8_t> padded = half;
    padded.resize(200, 0);
    ExpectPixels(h, padded, Grey4);
    EXPECT_EQ(h.buffer.rowsDone, 10);

    // One row of 6 pixels fed 5 + 5: the second run does not fit and is
    // not written.
    CodeWriter over;
    over.Put(4, 3);
    over.Put(1, 3);                 // "1"
    over.Put(1, 3);                 // "1", adds 6 = "11"
    over.Put(6, 3);                 // "11", adds 7 = "11"; width 4 from here
    over.Put(8, 4);                 // the next free code, "111": 7 pixels of 6
    Decoded o;
    Decode(image(over.Finish(), 2, 6, 1), 0, false, &o);
    EXPECT_EQ(o.status, ImgTruncated);
    for (int x = 0; x < 4; x++)
        EXPECT_EQ(o.At(x, 0), 0x555555u) << x;
    EXPECT_EQ(o.At(4, 0), 0u);
    EXPECT_EQ(o.At(5, 0), 0u);

    // A code beyond the next free one, and the next free one with nothing
    // to build it from.
    CodeWriter beyond;
    beyond.Put(4, 3);
    beyond.Put(1, 3);
    beyond.Put(7, 3);
    Decode(image(beyond.Finish()), 0, false, &d);
    EXPECT_EQ(d.status, ImgTruncated);
    EXPECT_EQ(d.At(0, 0), 0x555555u);
    EXPECT_EQ(d.At(1, 0), 0u);
    CodeWriter early;
    early.Put(4, 3);
    early.Put(6, 3);
    Decode(image(early.Finish()), 0, false, &d);
    EXPECT_EQ(d.status, ImgTruncated);

    // Root codes of 12 bits or more leave no room for the table.
    for (int size : { 12, 13, 255 }) {
        Decode(image({ 0, 0, 0, 0 }, size), 0, false, &d);
        EXPECT_EQ(d.status, ImgTruncated) << size;
        EXPECT_EQ(d.buffer.pixels, nullptr);
    }
    // A clear code mid-stream starts over at the smallest width.
    CodeWriter again;
    again.Put(4, 3);
    for (int i = 0; i < 5; i++)
        again.Put(2, i < 3 ? 3 : 4);  // adds 6, 7 ("22"), then widths of 4
    again.Put(4, 4);
    again.Put(3, 3);
    again.Put(5, 3);
    Decode(image(again.Finish(), 2, 6, 1), 0, false, &d);
    EXPECT_EQ(d.status, ImgOk);
    for (int x = 0; x < 5; x++)
        EXPECT_EQ(d.At(x, 0), 0xAAAAAAu);
    EXPECT_EQ(d.At(5, 0), 0xFFFFFFu);
}

TEST(GifInterlace, PassOrderAndCopies)
{
    // Row k of the stream gets colour k + 1: five rows arrive as 0, 4, 2, 1, 3.
    std::vector<uint32_t> table = Ramp(8);
    std::vector<uint8_t> stream;
    for (int k = 0; k < 5; k++)
        stream.insert(stream.end(), 13, (uint8_t)(k + 1));
    auto image = [&](size_t pixels) {
        GifMaker g(13, 5, table);
        g.Image(0, 0, 13, 5, std::vector<uint8_t>(stream.begin(), stream.begin() + pixels), 3, true);
        g.Trailer();
        return g.b;
    };
    Decoded full;
    Decode(image(65), 0, true, &full);
    EXPECT_EQ(full.status, ImgOk);
    const int colourOfRow[5] = { 1, 4, 3, 5, 2 };
    for (int y = 0; y < 5; y++)
        EXPECT_EQ(full.At(12, y), Pixel(table[colourOfRow[y]])) << y;
    EXPECT_EQ(full.buffer.rowsDone, 20);

    // Three rows (0, 4, 2): row 0 was copied down by the first pass; row 2
    // ends with the stream and is not copied into row 3.
    Decoded part;
    Decode(image(39), 0, true, &part);
    EXPECT_EQ(part.status, ImgOk);
    const int partial[5] = { 1, 1, 3, 1, 2 };
    for (int y = 0; y < 5; y++)
        EXPECT_EQ(part.At(0, y), Pixel(table[partial[y]])) << y;
    EXPECT_EQ(part.buffer.rowsDone, 15);

    // One pixel more completes row 2 and starts row 1.
    Decoded more;
    Decode(image(40), 0, true, &more);
    EXPECT_EQ(more.At(0, 3), Pixel(table[3]));
    EXPECT_EQ(more.At(0, 1), Pixel(table[4]));
    EXPECT_EQ(more.At(1, 1), Pixel(table[1]));
    EXPECT_EQ(more.buffer.rowsDone, 20);

    // More pixels than the passes hold.
    std::vector<uint8_t> extra = stream;
    extra.push_back(1);
    GifMaker over(13, 5, table);
    over.Image(0, 0, 13, 5, extra, 3, true);
    Decoded o;
    Decode(over.b, 0, false, &o);
    EXPECT_EQ(o.status, ImgTruncated);

    // A single row is complete after the first pass.
    GifMaker one(9, 1, table);
    one.Image(0, 0, 9, 1, std::vector<uint8_t>(9, 6), 3, true);
    Decoded r;
    Decode(one.b, 0, true, &r);
    EXPECT_EQ(r.status, ImgOk);
    EXPECT_EQ(r.buffer.rowsDone, 1);
    EXPECT_EQ(r.At(8, 0), Pixel(table[6]));
}

// ImageMagick writes the first frame's graphic control before the loop block.
TEST(GifImages, ControlBeforeTheLoopBlockIsTheFirstFrames)
{
    GifMaker g(4, 4, Ramp(4));
    g.Control(0x04, 50, 0);
    g.Loop(0);
    g.Image(0, 0, 4, 4, std::vector<uint8_t>(16, 1), 2);
    g.Trailer();
    Decoded d;
    Decode(g.b, 0, true, &d);
    EXPECT_EQ(d.status, ImgOk);
    EXPECT_EQ(d.buffer.flags, DisposeKeep);
    EXPECT_EQ(d.buffer.delay, 500);
}

TEST(GifImages, WalkControlsAndCount)
{
    std::vector<uint32_t> table = Ramp(4);
    GifMaker g(30, 20, table);
    g.Loop(0);
    g.Control(0x04, 7, 0);                   // disposal 1, for image 0
    g.Image(0, 0, 2, 2, { 1, 1, 1, 1 }, 2);
    g.Control(0x09, 12, 3);                  // disposal 2, transparent 3
    g.Comment("kept");
    g.Image(5, 6, 3, 1, { 3, 2, 3 }, 2, false, { 0x010203, 0x040506, 0x070809, 0x0A0B0C });
    g.Control(0x0C, 50, 0);                  // disposal 3, forgotten by the plain text
    g.Extension(0x01, std::vector<uint8_t>(12, 0));
    g.Image(1, 2, 1, 1, { 2 }, 2);
    g.Control(0x10, 1, 0);                   // disposal 4: no flag
    g.Image(0, 0, 1, 1, { 0 }, 2);
    g.Control(0x0C, 50, 0);
    g.Application("OTHER", { 1, 2, 3 });     // draws nothing: the control stays
    g.Image(0, 0, 1, 1, { 0 }, 2);
    g.Trailer();

    Decoded d0, d1, d1thumb, d2, d3, d4, d9;
    Decode(g.b, 0, true, &d0);
    EXPECT_EQ(d0.status, ImgOk);
    EXPECT_EQ(d0.buffer.flags, DisposeKeep);
    EXPECT_EQ(d0.buffer.delay, 70);
    EXPECT_EQ(d0.buffer.imageIndex, 0);

    Decode(g.b, 1, true, &d1);
    EXPECT_EQ(d1.status, ImgOk);
    EXPECT_EQ(d1.buffer.flags, DisposeBackground | HasTransparency);
    EXPECT_EQ(d1.buffer.left, 5);
    EXPECT_EQ(d1.buffer.top, 6);
    EXPECT_EQ(d1.buffer.width, 3);
    EXPECT_EQ(d1.buffer.delay, 120);
    EXPECT_EQ(d1.buffer.imageIndex, 1);
    EXPECT_EQ(d1.At(0, 0), 0xFF0A0B0Cu);     // local table, transparent
    EXPECT_EQ(d1.At(1, 0), 0x070809u);
    // For a thumbnail the transparent index keeps its colour.
    Decode(g.b, 1, false, &d1thumb);
    EXPECT_EQ(d1thumb.buffer.flags, DisposeBackground);
    EXPECT_EQ(d1thumb.At(0, 0), 0x0A0B0Cu);

    Decode(g.b, 2, true, &d2);
    EXPECT_EQ(d2.buffer.flags, 0u);
    EXPECT_EQ(d2.buffer.delay, 0);
    EXPECT_EQ(d2.buffer.left, 1);
    EXPECT_EQ(d2.At(0, 0), Pixel(table[2]));  // the global table again
    Decode(g.b, 3, true, &d3);
    EXPECT_EQ(d3.status, ImgOk);
    EXPECT_EQ(d3.buffer.flags, 0u);
    EXPECT_EQ(d3.buffer.delay, 10);
    Decode(g.b, 4, true, &d4);
    EXPECT_EQ(d4.status, ImgOk);
    EXPECT_EQ(d4.buffer.flags, DisposePrevious);
    EXPECT_EQ(d4.buffer.delay, 500);

    Decode(g.b, 9, true, &d9);
    EXPECT_EQ(d9.status, ImgBadRequest);
    EXPECT_EQ(d9.imageCount, 5);
    EXPECT_EQ(d9.buffer.pixels, nullptr);
    Decode(g.b, 5, false, &d9);
    EXPECT_EQ(d9.status, ImgBadRequest);
    EXPECT_EQ(d9.imageCount, 5);
}

TEST(GifImages, PreferredFrame)
{
    GifMaker g(4, 4, Grey4);
    g.Preferred(1);
    g.Image(0, 0, 1, 1, { 1 }, 2);
    g.Image(0, 0, 1, 1, { 2 }, 2);
    g.Image(0, 0, 1, 1, { 3 }, 2);
    g.Trailer();
    Decoded def, first, beyond;
    Decode(g.b, -1, false, &def);
    EXPECT_EQ(def.status, ImgOk);
    EXPECT_EQ(def.buffer.imageIndex, 1);
    EXPECT_EQ(def.At(0, 0), 0xAAAAAAu);
    Decode(g.b, 0, false, &first);
    EXPECT_EQ(first.buffer.imageIndex, 0);
    // Naming an image that is not there.
    g.b[13 + 12 + 3 + 7 + 3] = 7;
    Decode(g.b, -1, false, &beyond);
    EXPECT_EQ(beyond.status, ImgBadRequest);
    EXPECT_EQ(beyond.imageCount, 3);
    // Only the exact identifier counts.
    GifMaker other(4, 4, Grey4);
    other.Application("Lumetta2", { 'P', 'F', 1, 0 });
    other.Image(0, 0, 1, 1, { 1 }, 2);
    other.Image(0, 0, 1, 1, { 2 }, 2);
    Decoded o;
    Decode(other.b, -1, false, &o);
    EXPECT_EQ(o.buffer.imageIndex, 0);
}

TEST(GifImages, MalformedBlocks)
{
    Decoded d;
    GifMaker control(4, 4, Grey4);
    control.Extension(0xF9, { 1, 0, 0, 0, 0 });
    control.Image(0, 0, 1, 1, { 1 }, 2);
    Decode(control.b, 0, false, &d);
    EXPECT_EQ(d.status, ImgUnsupported);

    GifMaker stray(4, 4, Grey4);
    stray.b.push_back(0x00);
    stray.Image(0, 0, 1, 1, { 1 }, 2);
    Decode(stray.b, 0, false, &d);
    EXPECT_EQ(d.status, ImgTruncated);

    // No pixels at all: refused before any output exists.
    for (int w : { 0, 3 }) {
        GifMaker zero(4, 4, Grey4);
        zero.Image(0, 0, w, 3 - w, {}, 2);
        zero.Trailer();
        Decode(zero.b, 0, true, &d);
        EXPECT_EQ(d.status, ImgTruncated);
        EXPECT_EQ(d.buffer.pixels, nullptr);
    }
    // A lying sub-block length.
    GifMaker lie(4, 4, Grey4);
    lie.Image(0, 0, 4, 4, std::vector<uint8_t>(16, 2), 2);
    lie.b[13 + 12 + 10 + 1] = 200;  // the first data sub-block
    Decode(lie.b, 0, false, &d);
    EXPECT_EQ(d.status, ImgTruncated);

    // Wrong records.
    EXPECT_EQ((int)DecodeGif(nullptr), ImgBadArgument);
    GifMaker ok(4, 4, Grey4);
    ok.Image(0, 0, 1, 1, { 1 }, 2);
    ImageInfo info = InfoOver(ok.b.data(), ok.b.size());
    info.format = FormatBmpInfo;
    PixelBuffer target = EmptyBuffer();
    DecodeJob job = { &target, NULL, &info, 0, 0, 0 };
    // Another family's file is refused as by every decoder's job check.
    EXPECT_EQ((int)DecodeGif(&job), ImgUnsupported);
}

TEST(GifImages, StopBeforeTheFirstSubBlock)
{
    GifMaker g(6, 3, { 0x123456, 0xFFFFFF });
    g.Image(0, 0, 6, 3, std::vector<uint8_t>(18, 1), 2);
    ImageInfo info = InfoOver(g.b.data(), g.b.size());
    info.format = FormatGif89a;
    PixelBuffer target = EmptyBuffer();
    target.stopEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    DecodeJob job = { &target, CreateEventA(NULL, TRUE, FALSE, NULL), &info, 0, 0, 0 };
    EXPECT_EQ((int)DecodeGif(&job), ImgStopped);
    EXPECT_EQ(WaitForSingleObject(job.readyEvent, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(target.rowsDone, 3);
    for (int i = 0; i < 18; i++)
        EXPECT_EQ(target.pixels[i], 0x123456u);
    CloseHandle(job.readyEvent);
    FreePixelBuffer(&target);
}

namespace {

// Small files of every kind the decoder walks: comments, loops, controls,
// local tables, interlace, several images.
std::vector<std::vector<uint8_t>> SmallFiles()
{
    std::vector<std::vector<uint8_t>> files;
    GifMaker a(8, 6, Grey4);
    a.Comment("hello");
    a.Loop(3);
    a.Preferred(1);
    a.Control(0x05, 10, 2);
    a.Image(0, 0, 8, 6, Noise(48, 4, 2), 2);
    a.Control(0x08, 10, 1);
    a.Image(2, 1, 5, 5, Noise(25, 8, 4), 3, true, Ramp(8));
    a.Extension(0x01, std::vector<uint8_t>(12, 'x'));
    a.Image(0, 0, 3, 2, Noise(6, 4, 6), 2);
    a.Trailer();
    files.push_back(a.b);
    GifMaker b(20, 9, Ramp(16));
    b.Image(0, 0, 20, 9, Noise(180, 16, 8), 4, true);
    b.Trailer();
    files.push_back(b.b);
    return files;
}

int ImagesIn(const std::vector<uint8_t>& bytes)
{
    int n = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i++)
        n += bytes[i] == 0x2C;
    return n;
}

// Statuses a damaged file may give; anything else (or a fault) fails.
bool Expected(int status)
{
    return status == ImgOk || status == ImgUnsupported || status == ImgTruncated ||
           status == ImgBadRequest || status == ImgNoMemory;
}

}  // namespace

TEST(GifDamage, EveryTruncation)
{
    for (const auto& file : SmallFiles()) {
        int images = ImagesIn(file);
        for (size_t cut = 0; cut < file.size(); cut++) {
            std::vector<uint8_t> part(file.begin(), file.begin() + cut);
            ImageInfo info = EmptyInfo();
            {
                GuardedBytes guarded(part);
                info = InfoOver(guarded.data(), guarded.size());
                int probe = ProbeGif(&info);
                EXPECT_TRUE(probe == ImgOk || probe == ImgTruncated || probe == ImgUnsupported) << cut;
                ReleaseImageInfo(&info);
            }
            for (int index = -1; index <= images; index++) {
                Decoded d;
                Decode(part, index, true, &d);
                ASSERT_TRUE(Expected(d.status)) << cut << " " << index << " " << d.status;
                // The file ends before the trailer, so nothing can be whole.
                EXPECT_NE(d.status, ImgBadRequest) << cut;
                // A whole buffer either way, but the count tells what was
                // decoded: all of it unless the stream broke off.
                if (d.buffer.pixels && d.status != ImgTruncated) {
                    EXPECT_GE(d.buffer.rowsDone, d.buffer.height);
                }
                if (d.buffer.pixels) {
                    EXPECT_LE(d.buffer.rowsDone, 4 * d.buffer.height);
                }
            }
        }
    }
}

namespace {

// Largest image a mutated file may declare: a damaged descriptor can ask for
// gigabytes, which this machine might even grant.
bool SmallImages(const std::vector<uint8_t>& f)
{
    for (size_t i = 0; i + 9 < f.size(); i++) {
        if (f[i] == 0x2C && (size_t)(f[i + 5] | f[i + 6] << 8) * (f[i + 7] | f[i + 8] << 8) > (1u << 20))
            return false;
    }
    return true;
}

void Mutate(int count, uint32_t seed)
{
    std::vector<std::vector<uint8_t>> files = SmallFiles();
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    int decoded = 0;
    for (int i = 0; i < count; i++) {
        std::vector<uint8_t> f = files[next() % files.size()];
        int changes = 1 + next() % 4;
        for (int c = 0; c < changes; c++) {
            uint32_t r = next();
            size_t at = r % f.size();
            switch (next() % 4) {
            case 0: f[at] = (uint8_t)next(); break;
            case 1: f[at] ^= (uint8_t)(1 << (r >> 24) % 8); break;
            case 2: f[at] = (r >> 24) & 1 ? 0xFF : 0; break;
            case 3: f.resize(at + 1); break;
            }
        }
        if (!SmallImages(f))
            continue;
        int index = (int)(next() % 4) - 1;
        Decoded d;
        Decode(f, index, (next() & 1) != 0, &d);
        ASSERT_TRUE(Expected(d.status)) << "mutation " << i << " status " << d.status;
        decoded++;
    }
    EXPECT_GT(decoded, count / 2);
}

}  // namespace

TEST(GifDamage, RandomMutations)
{
    // LUMETTA_GIF_MUTATIONS=1000000 runs the long version by hand.
    const char* env = getenv("LUMETTA_GIF_MUTATIONS");
    int count = env ? atoi(env) : 3000;
    Mutate(count, 20261208u);
}
