// Opening files: the record's lifecycle, the probe order, text slots.
#include "testing.h"

#include <string.h>

#include <string>

namespace {

std::string TempPath(const char* name)
{
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "lumetta-open-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::vector<uint8_t> TinyBmp(int32_t height)
{
    std::vector<uint8_t> b(58, 0);
    b[0] = 'B', b[1] = 'M', b[10] = 54, b[14] = 40;
    b[18] = 1;
    memcpy(&b[22], &height, 4);
    b[26] = 1, b[28] = 24;
    return b;
}

}  // namespace

TEST(OpenImageFile, ArgumentsAndEmptyPath)
{
    ImageInfo info = EmptyInfo();
    EXPECT_EQ(OpenImageFile((const WCHAR*)NULL, &info), ImgBadArgument);
    EXPECT_EQ(OpenImageFile("x", NULL), ImgBadArgument);
    ImageInfo wrong = info;
    wrong.size = 112;
    EXPECT_EQ(OpenImageFile("x", &wrong), ImgBadArgument);
    EXPECT_EQ(ReleaseImageInfo(&wrong), ImgBadArgument);
    EXPECT_EQ(ReleaseImageInfo(NULL), ImgBadArgument);

    // An empty path leaves the record as it was, open file included.
    std::string path = TempPath("a.bmp");
    ASSERT_TRUE(WriteFileBytes(path, TinyBmp(1)));
    ASSERT_EQ(OpenImageFile(path.c_str(), &info), ImgOk);
    ImageInfo before = info;
    EXPECT_EQ(OpenImageFile("", &info), ImgCannotOpen);
    EXPECT_EQ(memcmp(&before, &info, sizeof info), 0);
    EXPECT_EQ(ReleaseImageInfo(&info), ImgOk);
    EXPECT_EQ(info.data, (const uint8_t*)NULL);
    EXPECT_EQ(info.size, ImageInfoSize);
    DeleteFileA(path.c_str());
}

TEST(OpenImageFile, FilesThatAreNotImages)
{
    ImageInfo info = EmptyInfo();
    EXPECT_EQ(OpenImageFile(TempPath("missing").c_str(), &info), ImgCannotOpen);

    std::string empty = TempPath("empty.bmp");
    ASSERT_TRUE(WriteFileBytes(empty, {}));
    EXPECT_EQ(OpenImageFile(empty.c_str(), &info), ImgSystemError);
    EXPECT_EQ(info.data, (const uint8_t*)NULL);
    ReleaseImageInfo(&info);

    std::string text = TempPath("text.bmp");
    const char words[] = "these are words, not pixels\n";
    ASSERT_TRUE(WriteFileBytes(text, std::vector<uint8_t>(words, words + sizeof words - 1)));
    EXPECT_EQ(OpenImageFile(text.c_str(), &info), ImgUnsupported);
    EXPECT_EQ(info.data, (const uint8_t*)NULL);
    EXPECT_EQ(info.dataSize, sizeof words - 1);     // what was learned stays until release
    ReleaseImageInfo(&info);
    DeleteFileA(empty.c_str());
    DeleteFileA(text.c_str());
}

TEST(OpenImageFile, DescribesAndTimesTheFile)
{
    std::string path = TempPath("topdown.bmp");
    ASSERT_TRUE(WriteFileBytes(path, TinyBmp(-1)));
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(path.c_str(), &info), ImgOk);
    EXPECT_EQ(info.format, FormatBmpInfo | StorageMappedView);
    EXPECT_EQ(info.height, 1);
    EXPECT_EQ(info.dataSize, 58u);
    EXPECT_EQ(info.dataSizeHigh, 0u);
    EXPECT_EQ(info.data[0], 'B');

    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    FILETIME written;
    GetFileTime(f, NULL, NULL, &written);
    CloseHandle(f);
    EXPECT_EQ(CompareFileTime(&written, &info.modified), 0);

    // The mapping is all that holds the file: it may be renamed meanwhile,
    // and another program may still write to it.
    ReleaseImageInfo(&info);
    DeleteFileA(path.c_str());
}

// A name of more than MAX_PATH characters opens, whole or relative, and so
// does one already in the "\\?\" form.
TEST(OpenImageFile, LongAndRelativeNames)
{
    std::string top = TempPath("名前"), deep = top + "\\" + std::string(120, 'd') + "\\" + std::string(120, 'e');
    std::string file = deep + "\\写真.bmp", longForm = "\\\\?\\" + file;
    ASSERT_GT(Utf16(file).size(), (size_t)MAX_PATH);
    for (const std::string& d : {top, top + "\\" + std::string(120, 'd'), deep})
        CreateDirectoryW(Utf16("\\\\?\\" + d).data(), NULL);
    ASSERT_TRUE(WriteFileBytes(longForm, TinyBmp(3)));
    WCHAR before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    SetCurrentDirectoryW(Utf16(top).data());
    std::string relative = "..\\" + top.substr(top.rfind('\\') + 1) + file.substr(top.size());
    ASSERT_GT(Utf16(relative).size(), (size_t)MAX_PATH);
    for (const std::string& name : {file, longForm, relative}) {
        ImageInfo info = EmptyInfo();
        EXPECT_EQ(OpenImageFile(name.c_str(), &info), ImgOk) << name;
        EXPECT_EQ(info.height, 3);
        ReleaseImageInfo(&info);
    }
    SetCurrentDirectoryW(before);
    DeleteFileW(Utf16(longForm).data());
    for (const std::string& d : {deep, top + "\\" + std::string(120, 'd'), top})
        RemoveDirectoryW(Utf16("\\\\?\\" + d).data());
}

TEST(OpenImageFile, ReopeningReleasesTheFirstFile)
{
    std::string a = TempPath("first.bmp"), b = TempPath("second.bmp");
    ASSERT_TRUE(WriteFileBytes(a, TinyBmp(1)));
    std::vector<uint8_t> second = TinyBmp(1);
    second[18] = 2;
    second.resize(60);
    ASSERT_TRUE(WriteFileBytes(b, second));
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(a.c_str(), &info), ImgOk);
    ASSERT_EQ(AttachImageText(&info, TextIsString | TextComments | TextAddTerminator, "hi", 2), ImgOk);
    const uint8_t* firstView = info.data;
    ASSERT_EQ(OpenImageFile(b.c_str(), &info), ImgOk);
    EXPECT_EQ(info.width, 2);
    EXPECT_EQ(info.text[0], (char*)NULL);
    MEMORY_BASIC_INFORMATION mbi;
    VirtualQuery(firstView, &mbi, sizeof mbi);
    if (firstView != info.data)
        EXPECT_NE(mbi.State, (DWORD)MEM_COMMIT);   // the first view is gone
    ReleaseImageInfo(&info);
    DeleteFileA(a.c_str());
    DeleteFileA(b.c_str());
}

TEST(AttachImageText, SlotsTerminatorsAndTheSixthText)
{
    ImageInfo info = EmptyInfo();
    // Raw bytes without a terminator of their own get one.
    ASSERT_EQ(AttachImageText(&info, TextIsString | TextComments | TextAddTerminator, "abc", 3), ImgOk);
    EXPECT_EQ(info.textSize[0], 4u);
    EXPECT_EQ(info.textKind[0], 0x105u);
    EXPECT_STREQ(info.text[0], "abc");
    // A text passed with its terminator keeps its length.
    ASSERT_EQ(AttachImageText(&info, TextIsString | TextTitle, "title", 6), ImgOk);
    EXPECT_EQ(info.textSize[1], 6u);
    // A string whose last byte is not NUL is cut to keep it a string.
    ASSERT_EQ(AttachImageText(&info, TextIsString | TextAuthor, "xyz", 3), ImgOk);
    EXPECT_STREQ(info.text[2], "xy");
    ASSERT_EQ(AttachImageText(&info, TextIsString | TextSource, "4", 2), ImgOk);
    ASSERT_EQ(AttachImageText(&info, TextIsString | TextJob, "5", 2), ImgOk);
    EXPECT_EQ(AttachImageText(&info, TextIsString | TextWarning, "6", 2), ImgNoTextSlot);
    EXPECT_STREQ(info.text[4], "5");
    // Nothing to hold: no slot is taken.
    ReleaseImageInfo(&info);
    EXPECT_EQ(AttachImageText(&info, TextIsString | TextTitle, "", 0), ImgBadArgument);
    EXPECT_EQ(info.text[0], (char*)NULL);
    ReleaseImageInfo(&info);
}

TEST(ProbeBmp, NeedsItsHeaderBytes)
{
    std::vector<uint8_t> bmp = TinyBmp(1);
    GuardedBytes guarded(bmp);
    ImageInfo info = InfoOver(guarded.data(), guarded.size());
    EXPECT_EQ(ProbeBmp(&info), ImgOk);
    EXPECT_EQ(ProbeBmp(NULL), ImgBadArgument);
    ImageInfo none = EmptyInfo();
    EXPECT_EQ(ProbeBmp(&none), ImgBadArgument);
    // Fewer than 19 bytes is not a bitmap, whatever they say.
    for (size_t n = 0; n <= 18; n++) {
        GuardedBytes cut(bmp.data(), n);
        ImageInfo i = InfoOver(cut.data(), n);
        EXPECT_EQ(ProbeBmp(&i), ImgUnsupported) << n;
    }
}

TEST(OpenImageFile, RefusingProbesLeaveNoTexts)
{
    // A little-endian TIFF starts with "II", which a Targa header would read
    // as a 73-byte identification field: whatever a probe that refuses the
    // file attached must not be described as the file's.
    // One 8-bit grey pixel: header, a directory of nine entries, the pixel.
    const uint32_t pixelAt = 8 + 2 + 9 * 12 + 4;
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    } entries[] = {
        { 256, 3, 1, 1 }, { 257, 3, 1, 1 }, { 258, 3, 1, 8 }, { 259, 3, 1, 1 },
        { 262, 3, 1, 1 }, { 273, 4, 1, pixelAt }, { 277, 3, 1, 1 },
        { 278, 3, 1, 1 }, { 279, 4, 1, 1 },
    };
    std::vector<uint8_t> tiff = { 'I', 'I', 42, 0, 8, 0, 0, 0, 9, 0 };
    for (const Entry& e : entries) {
        const uint8_t* p = (const uint8_t*)&e;
        tiff.insert(tiff.end(), p, p + 12);
    }
    tiff.insert(tiff.end(), { 0, 0, 0, 0, 0x80 });
    std::string path = TempPath("plain.tif");
    ASSERT_TRUE(WriteFileBytes(path, tiff));
    ImageInfo info = EmptyInfo();
    ASSERT_EQ(OpenImageFile(path.c_str(), &info), ImgOk);
    EXPECT_EQ(FamilyOf(info.format), (uint32_t)FamilyTiff);
    for (int i = 0; i < ImageTextSlots; i++)
        EXPECT_EQ(info.text[i], (char*)NULL) << i;
    ReleaseImageInfo(&info);
    DeleteFileA(path.c_str());
}

// Every damage test relies on this: the byte after the data cannot be read,
// so a decoder that reads past the end faults instead of passing.
TEST(GuardedBytesTest, TheByteAfterTheDataFaults)
{
    for (size_t length : { (size_t)1, (size_t)100, (size_t)4096, (size_t)5000 }) {
        std::vector<uint8_t> bytes(length, 0x5A);
        GuardedBytes g(bytes);
        ASSERT_EQ(g.size(), length);
        EXPECT_EQ(g.data()[length - 1], 0x5A);
        EXPECT_FALSE(IsBadReadPtr(g.data(), length)) << length;
        EXPECT_TRUE(IsBadReadPtr(g.data() + length, 1)) << length;
        MEMORY_BASIC_INFORMATION mbi = {};
        ASSERT_EQ(VirtualQuery(g.data() + length, &mbi, sizeof mbi), sizeof mbi);
        EXPECT_EQ(mbi.BaseAddress, (void*)(g.data() + length)) << "the data ends at a page boundary";
        EXPECT_NE(mbi.State, (DWORD)MEM_COMMIT) << length;
    }
}
