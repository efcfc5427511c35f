#include "mutate.h"

#include <string.h>

#include <algorithm>

#include "image.h"
#include "testing.h"

namespace {

const FuzzFormatInfo Formats[FuzzFormats] = {
    { "bmp", "bmp", ".bmp", FamilyBmp },
    { "gif", "gif", ".gif", FamilyGif },
    { "targa", "targa", ".tga", FamilyTarga },
    { "png", "png", ".png", FamilyPng },
    { "tiff", "tiff", ".tif", FamilyTiff },
    { "pcx", "pcx", ".pcx", FamilyPcx },
    { "jpeg", "jpeg", ".jpg", FamilyJpeg },
    { "webp", "webp", ".webp", FamilyWebp },
};

uint32_t Get(const std::vector<uint8_t>& b, const Field& f)
{
    uint32_t v = 0;
    for (int i = 0; i < f.size; i++) {
        int shift = f.bigEndian ? 8 * (f.size - 1 - i) : 8 * i;
        v |= (uint32_t)b[f.offset + i] << shift;
    }
    return v;
}

void Put(std::vector<uint8_t>* b, const Field& f, uint32_t v)
{
    for (int i = 0; i < f.size; i++) {
        int shift = f.bigEndian ? 8 * (f.size - 1 - i) : 8 * i;
        (*b)[f.offset + i] = (uint8_t)(v >> shift);
    }
}

// Collects fields that lie wholly inside the file.
struct FieldList {
    const std::vector<uint8_t>& b;
    std::vector<Field> out;
    void Add(size_t offset, int size, bool bigEndian = false)
    {
        if (offset + size <= b.size())
            out.push_back(Field{ offset, size, bigEndian });
    }
    uint32_t Le16(size_t at) const { return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0; }
    uint32_t Be16(size_t at) const { return at + 2 <= b.size() ? b[at] << 8 | b[at + 1] : 0; }
    uint32_t Le32(size_t at) const { return at + 4 <= b.size() ? Le16(at) | Le16(at + 2) << 16 : 0; }
    uint32_t Be32(size_t at) const { return at + 4 <= b.size() ? Be16(at) << 16 | Be16(at + 2) : 0; }
};

void BmpFields(FieldList* l)
{
    l->Add(2, 4);
    l->Add(10, 4);
    l->Add(14, 4);
    if (l->Le32(14) == 12) {
        for (size_t at = 18; at < 26; at += 2)
            l->Add(at, 2);
        return;
    }
    l->Add(18, 4);
    l->Add(22, 4);
    l->Add(26, 2);
    l->Add(28, 2);
    for (size_t at = 30; at < 70; at += 4)   // compression to the masks
        l->Add(at, 4);
    // Run-length escapes: a zero count and a command byte anywhere in the data.
    size_t data = l->Le32(10);
    for (size_t at = data; at + 1 < l->b.size() && l->out.size() < 200; at += 2)
        l->Add(at, 2, true);
}

void SubBlockLengths(FieldList* l, size_t* p)
{
    const std::vector<uint8_t>& b = l->b;
    while (*p < b.size() && b[*p] != 0) {
        l->Add(*p, 1);
        *p += 1 + b[*p];
    }
    *p += 1;
}

void GifFields(FieldList* l)
{
    const std::vector<uint8_t>& b = l->b;
    l->Add(6, 2);
    l->Add(8, 2);
    l->Add(10, 1);
    l->Add(11, 1);
    if (b.size() < 13)
        return;
    size_t p = 13;
    if (b[10] & 0x80)
        p += 3u * (2u << (b[10] & 7));
    while (p < b.size() && b[p] != 0x3B) {
        if (b[p] == 0x21) {
            l->Add(p + 1, 1);
            l->Add(p + 2, 1);               // first sub-block's length
            if (p + 2 < b.size() && b[p + 1] == 0xF9) {
                l->Add(p + 3, 1);
                l->Add(p + 4, 2);
                l->Add(p + 6, 1);
            }
            p += 2;
            SubBlockLengths(l, &p);
        } else if (b[p] == 0x2C) {
            for (size_t at = p + 1; at < p + 9; at += 2)
                l->Add(at, 2);              // left, top, width, height
            l->Add(p + 9, 1);
            size_t q = p + 10;
            if (p + 9 < b.size() && (b[p + 9] & 0x80))
                q += 3u * (2u << (b[p + 9] & 7));
            l->Add(q, 1);                   // LZW minimum code size
            p = q + 1;
            SubBlockLengths(l, &p);
        } else {
            break;
        }
    }
}

void TargaFields(FieldList* l)
{
    const size_t at[] = { 0, 1, 2, 7, 16, 17 };
    for (size_t a : at)
        l->Add(a, 1);
    for (size_t a = 3; a < 16; a += 2)
        if (a != 7)
            l->Add(a, 2);
    size_t n = l->b.size();
    if (n >= 26 && !memcmp(&l->b[n - 18], "TRUEVISION-XFILE.", 17)) {
        l->Add(n - 26, 4);
        l->Add(n - 22, 4);
        size_t ext = l->Le32(n - 26);
        if (ext && ext < n) {
            l->Add(ext, 2);
            l->Add(ext + 486, 4);
            l->Add(ext + 494, 1);
            size_t stamp = l->Le32(ext + 486);
            l->Add(stamp, 1);
            l->Add(stamp + 1, 1);
        }
    }
}

void PcxFields(FieldList* l)
{
    for (size_t a : { 1, 2, 3, 65 })
        l->Add(a, 1);
    for (size_t a : { 4, 6, 8, 10, 12, 14, 66, 68 })
        l->Add(a, 2);
    if (l->b.size() > 769)
        l->Add(l->b.size() - 769, 1);       // the 256-colour palette's marker
}

void TiffFieldsAt(FieldList* l, size_t base);

void PngFields(FieldList* l)
{
    l->Add(16, 4, true);
    l->Add(20, 4, true);
    for (size_t a = 24; a < 29; a++)
        l->Add(a, 1);
    for (size_t p = 8; p + 8 <= l->b.size();) {
        l->Add(p, 4, true);
        l->Add(p + 4, 4, true);             // the type, as a number
        uint64_t length = l->Be32(p);
        if (!memcmp(&l->b[p + 4], "eXIf", 4))
            TiffFieldsAt(l, p + 8);
        p += 12 + length;
    }
}

// The RIFF size, every chunk's size, VP8X's flags and canvas, a frame's
// place and size, and the bitstream headers' sizes.
void WebpFields(FieldList* l)
{
    l->Add(4, 4);
    for (size_t p = 12; p + 8 <= l->b.size();) {
        l->Add(p + 4, 4);
        uint64_t size = l->Le32(p + 4);
        const uint8_t* tag = &l->b[p];
        if (!memcmp(tag, "VP8X", 4)) {
            for (size_t a = p + 8; a < p + 18; a += 2)
                l->Add(a, 2);
        } else if (!memcmp(tag, "VP8L", 4)) {
            l->Add(p + 9, 4);
        } else if (!memcmp(tag, "VP8 ", 4)) {
            l->Add(p + 14, 2);
            l->Add(p + 16, 2);
        } else if (!memcmp(tag, "ANMF", 4)) {
            for (size_t a = p + 8; a < p + 24; a += 2)
                l->Add(a, 2);
            p += 24;   // the frame's own chunks
            continue;
        }
        p += 8 + size + (size & 1);
    }
}

void JpegFields(FieldList* l)
{
    const std::vector<uint8_t>& b = l->b;
    for (size_t p = 2; p + 4 <= b.size();) {
        if (b[p] != 0xFF) {
            p++;
            continue;
        }
        uint8_t marker = b[p + 1];
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0xFF) {
            p += marker == 0xFF ? 1 : 2;
            continue;
        }
        if (marker == 0xD9)
            break;
        size_t length = l->Be16(p + 2);
        l->Add(p + 2, 2, true);
        size_t body = p + 4, end = p + 2 + length;
        if (marker == 0xE1 && end <= b.size() && length >= 8 && !memcmp(&b[body], "Exif\0\0", 6))
            TiffFieldsAt(l, body + 6);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            l->Add(body, 1);
            l->Add(body + 1, 2, true);
            l->Add(body + 3, 2, true);
            for (size_t a = body + 5; a < end && a < body + 5 + 1 + 3 * 4; a++)
                l->Add(a, 1);
        } else if (marker == 0xC4 || marker == 0xDB || marker == 0xDD || marker == 0xDA) {
            for (size_t a = body; a < end && a < body + 17; a++)
                l->Add(a, 1);
        }
        if (marker == 0xDA) {
            // Entropy-coded data: a few of its bytes, markers included.
            for (int k = 0; k < 8 && end + 8 * k < b.size(); k++)
                l->Add(end + 8 * k, 1);
            break;
        }
        p = end;
    }
}

// A TIFF structure from `base` on: a TIFF file, or EXIF data inside a JPEG
// or PNG, whose offsets count from its own header.
void TiffFieldsAt(FieldList* l, size_t base)
{
    const std::vector<uint8_t>& b = l->b;
    if (b.size() < base + 8)
        return;
    bool be = b[base] == 'M';
    auto get16 = [&](size_t at) { return be ? l->Be16(base + at) : l->Le16(base + at); };
    auto get32 = [&](size_t at) { return be ? l->Be32(base + at) : l->Le32(base + at); };
    auto add = [&](size_t at, int size) { l->Add(base + at, size, be); };
    add(2, 2);
    add(4, 4);
    size_t ifd = get32(4);
    for (int directories = 0; ifd && base + ifd + 2 <= b.size() && directories < 4; directories++) {
        uint32_t count = get16(ifd);
        add(ifd, 2);
        for (uint32_t i = 0; i < count && i < 64; i++) {
            size_t e = ifd + 2 + 12 * i;
            add(e, 2);       // tag
            add(e + 2, 2);   // type
            add(e + 4, 4);   // count
            add(e + 8, 4);   // value or offset
            add(e + 8, 2);
        }
        size_t next = ifd + 2 + 12 * (size_t)count;
        add(next, 4);
        size_t following = get32(next);
        if (following <= ifd)
            break;
        ifd = following;
    }
}

void TiffFields(FieldList* l) { TiffFieldsAt(l, 0); }

const uint32_t Interesting[] = { 0, 1, 2, 3, 4, 7, 8, 12, 15, 16, 17, 24, 31, 32, 33, 63, 64,
                                 127, 128, 255, 256, 1000, 4096, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF,
                                 0x10000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu };

uint32_t NewValue(Random* r, uint32_t old)
{
    switch (r->Below(5)) {
    case 0: return old + 1 + r->Below(16);
    case 1: return old - 1 - r->Below(16);
    case 2: return r->OneIn(2) ? old * 2 : old / 2;
    case 3: return (uint32_t)r->Next();
    default: return Interesting[r->Below(sizeof Interesting / sizeof *Interesting)];
    }
}

void ChangeField(int format, std::vector<uint8_t>* b, Random* r, std::string* recipe)
{
    std::vector<Field> fields = FieldsOf(format, *b);
    if (fields.empty())
        return;
    const Field& f = fields[r->Below(fields.size())];
    uint32_t v = NewValue(r, Get(*b, f));
    Put(b, f, v);
    *recipe += " field@" + std::to_string(f.offset) + "=" + std::to_string(v & (f.size == 4 ? 0xFFFFFFFFu : (1u << 8 * f.size) - 1));
}

// Offsets weighted toward the first bytes, where the headers are; a PNG's
// signature is left alone, or nearly every change would just be refused.
size_t Position(int format, Random* r, size_t size)
{
    size_t skip = format == FuzzPng && size > 8 && !r->OneIn(16) ? 8 : 0;
    if (r->OneIn(2) && size > 64 + skip)
        return skip + r->Below(64);
    return skip + r->Below(size - skip);
}

const size_t MostRepeatedBytes = 1u << 20;

// A JPEG's scan (from its SOS marker to the next marker that is not a
// restart) repeated hundreds or thousands of times: every progressive scan
// costs a pass over the whole picture, however few its bytes.
bool RepeatScan(std::vector<uint8_t>* b, Random* r, std::string* recipe)
{
    std::vector<size_t> scans;
    for (size_t p = 2; p + 1 < b->size(); p++)
        if ((*b)[p] == 0xFF && (*b)[p + 1] == 0xDA)
            scans.push_back(p);
    if (scans.empty())
        return false;
    size_t from = scans[r->Below(scans.size())], to = from + 2;
    while (to + 1 < b->size() && !((*b)[to] == 0xFF && (*b)[to + 1] != 0 &&
                                    ((*b)[to + 1] < 0xD0 || (*b)[to + 1] > 0xD7)))
        to++;
    std::vector<uint8_t> scan(b->begin() + from, b->begin() + to);
    size_t times = 100 + r->Below(3000);
    if (scan.size() * times > MostRepeatedBytes)
        times = MostRepeatedBytes / scan.size() + 1;
    std::vector<uint8_t> repeated;
    repeated.reserve(scan.size() * times);
    for (size_t k = 0; k < times; k++)
        repeated.insert(repeated.end(), scan.begin(), scan.end());
    b->insert(b->begin() + to, repeated.begin(), repeated.end());
    *recipe += " scans@" + std::to_string(from) + "x" + std::to_string(times);
    return true;
}

void MutateOnce(int format, std::vector<uint8_t>* b, const std::vector<std::vector<uint8_t>>& seeds,
                Random* r, std::string* recipe)
{
    if (b->empty())
        return;
    if (format == FuzzJpeg && r->OneIn(24) && RepeatScan(b, r, recipe))
        return;
    size_t at = Position(format, r, b->size());
    switch (r->Below(9)) {
    case 0:
        (*b)[at] ^= (uint8_t)(1u << r->Below(8));
        *recipe += " flip@" + std::to_string(at);
        break;
    case 1:
        (*b)[at] = (uint8_t)r->Next();
        *recipe += " byte@" + std::to_string(at);
        break;
    case 2: {
        static const uint8_t values[] = { 0, 1, 0x7F, 0x80, 0xFE, 0xFF };
        size_t n = 1 + r->Below(4);
        for (size_t k = at; k < at + n && k < b->size(); k++)
            (*b)[k] = values[r->Below(sizeof values)];
        *recipe += " set@" + std::to_string(at);
        break;
    }
    case 3:
        b->resize(r->OneIn(2) ? b->size() - 1 - r->Below(b->size() < 64 ? b->size() : 64) : at);
        *recipe += " cut" + std::to_string(b->size());
        break;
    case 4: {
        const std::vector<uint8_t>& other = seeds[r->Below(seeds.size())];
        size_t from = r->Below(other.size());
        b->resize(at);
        b->insert(b->end(), other.begin() + from, other.end());
        *recipe += " splice@" + std::to_string(at) + "+" + std::to_string(from);
        break;
    }
    case 5: {
        size_t n = 1 + r->Below(b->size() - at < 256 ? b->size() - at : 256);
        if (r->OneIn(2)) {
            b->erase(b->begin() + at, b->begin() + at + n);
            *recipe += " erase@" + std::to_string(at) + "+" + std::to_string(n);
        } else {
            std::vector<uint8_t> copy(b->begin() + at, b->begin() + at + n);
            b->insert(b->begin() + at, copy.begin(), copy.end());
            *recipe += " repeat@" + std::to_string(at) + "+" + std::to_string(n);
        }
        break;
    }
    default:
        ChangeField(format, b, r, recipe);
        break;
    }
}

}  // namespace

const FuzzFormatInfo& FormatInfo(int format) { return Formats[format]; }

int FormatByName(const std::string& name)
{
    for (int f = 0; f < FuzzFormats; f++)
        if (name == Formats[f].name)
            return f;
    return -1;
}

std::vector<Field> FieldsOf(int format, const std::vector<uint8_t>& bytes)
{
    FieldList l{ bytes, {} };
    switch (format) {
    case FuzzBmp: BmpFields(&l); break;
    case FuzzGif: GifFields(&l); break;
    case FuzzTarga: TargaFields(&l); break;
    case FuzzPng: PngFields(&l); break;
    case FuzzTiff: TiffFields(&l); break;
    case FuzzPcx: PcxFields(&l); break;
    case FuzzJpeg: JpegFields(&l); break;
    case FuzzWebp: WebpFields(&l); break;
    }
    return l.out;
}

void FixPngCrcs(std::vector<uint8_t>* bytes)
{
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    std::vector<uint8_t>& b = *bytes;
    for (size_t p = 8; p + 12 <= b.size();) {
        uint64_t length = (uint32_t)b[p] << 24 | b[p + 1] << 16 | b[p + 2] << 8 | b[p + 3];
        if (p + 12 + length > b.size())
            break;
        uint32_t c = 0xFFFFFFFFu;
        for (size_t i = p + 4; i < p + 8 + length; i++)
            c = table[(c ^ b[i]) & 0xFF] ^ (c >> 8);
        c ^= 0xFFFFFFFFu;
        size_t at = p + 8 + (size_t)length;
        b[at] = (uint8_t)(c >> 24);
        b[at + 1] = (uint8_t)(c >> 16);
        b[at + 2] = (uint8_t)(c >> 8);
        b[at + 3] = (uint8_t)c;
        p = at + 4;
    }
}

FuzzInput MakeInput(int format, const std::vector<std::vector<uint8_t>>& seeds, uint64_t runSeed,
                    uint64_t index)
{
    Random r(runSeed * 0x100000001B3ull ^ (uint64_t)format << 56 ^ index * 0x9E3779B97F4A7C15ull);
    r.Next();
    FuzzInput in;
    size_t seed = r.Below(seeds.size());
    in.bytes = seeds[seed];
    in.recipe = "seed " + std::to_string(seed) + ":";
    int changes = 1 + (int)r.Below(4);
    for (int c = 0; c < changes; c++)
        MutateOnce(format, &in.bytes, seeds, &r, &in.recipe);
    if (format == FuzzPng && !r.OneIn(4))
        FixPngCrcs(&in.bytes);
    in.imageIndex = r.OneIn(4) ? (int32_t)r.Below(3) : -1;
    static const int32_t sides[] = { 16, 32, 48, 96, 1 };
    int32_t side = sides[r.Below(5)];
    in.request[0] = side;
    in.request[1] = r.OneIn(4) ? side / 2 + 1 : side;
    return in;
}

void AddSeeds(std::vector<std::vector<uint8_t>>* seeds, const std::string& folder,
              const char* extension, unsigned long largest)
{
    WIN32_FIND_DATAA found;
    std::vector<std::string> names;
    HANDLE h = FindFirstFileA((folder + "/*" + extension).c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (found.nFileSizeLow > 0 && found.nFileSizeLow <= largest && !found.nFileSizeHigh)
                names.push_back(found.cFileName);
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        seeds->push_back(ReadFileBytes(folder + "/" + name));
}
