#include "testing.h"

#undef min
#undef max

#include <map>
#include <random>
#include <string.h>

#include "cabinet.h"
#include "cabmemory.h"
#include "cabwrite.h"
#include "lzx.h"

namespace {

// Every block the engine allocates sits at the end of committed memory with
// a no-access page after it, so a write past any buffer faults.
std::map<void*, void*> guardedBlocks;
int allocationsLeft = -1;   // fail the allocation after this many, -1 never

void* __cdecl GuardedAlloc(ULONG size)
{
    if (allocationsLeft == 0)
        return nullptr;
    if (allocationsLeft > 0)
        allocationsLeft--;
    const size_t page = 4096;
    size_t rounded = (size + 15) / 16 * 16;
    size_t committed = (rounded + page - 1) / page * page;
    if (committed == 0)
        committed = page;
    uint8_t* base = (uint8_t*)VirtualAlloc(NULL, committed + page, MEM_RESERVE, PAGE_NOACCESS);
    VirtualAlloc(base, committed, MEM_COMMIT, PAGE_READWRITE);
    void* block = base + committed - rounded;
    guardedBlocks[block] = base;
    return block;
}

void __cdecl GuardedFree(void* block)
{
    auto it = guardedBlocks.find(block);
    ASSERT_NE(it, guardedBlocks.end());
    VirtualFree(it->second, 0, MEM_RELEASE);
    guardedBlocks.erase(it);
}

// The cabinet under test, read from guarded bytes; handles 100 + n.  A
// second cabinet "next.cab" may follow it in a set.
struct Reader {
    const uint8_t* data;
    long size;
    long position;
};
const GuardedBytes* cabinetBytes;
const GuardedBytes* nextBytes;
std::vector<Reader> readers;
std::vector<std::vector<uint8_t>> outputs;   // handles 1000 + n
std::vector<std::string> outputNames;
int openHandles;
int closedMembers;   // through the close routine or the close notification
bool failWrites;

INT_PTR __cdecl TestOpen(char* path, int, int)
{
    const GuardedBytes* bytes = nullptr;
    if (strcmp(path, "cab") == 0)
        bytes = cabinetBytes;
    else if (strcmp(path, "next.cab") == 0)
        bytes = nextBytes;
    if (!bytes)
        return -1;
    readers.push_back({bytes->data(), (long)bytes->size(), 0});
    openHandles++;
    return 100 + (INT_PTR)readers.size() - 1;
}

UINT __cdecl TestRead(INT_PTR h, void* buffer, UINT count)
{
    Reader& r = readers.at(h - 100);
    long n = r.position >= r.size ? 0 : std::min<long>((long)count, r.size - r.position);
    memcpy(buffer, r.data + r.position, n);
    r.position += n;
    return (UINT)n;
}

UINT __cdecl TestWrite(INT_PTR h, void* buffer, UINT count)
{
    if (failWrites)
        return 0;
    std::vector<uint8_t>& out = outputs.at(h - 1000);
    out.insert(out.end(), (uint8_t*)buffer, (uint8_t*)buffer + count);
    return count;
}

int __cdecl TestClose(INT_PTR h)
{
    if (h >= 100 && h < 1000)
        openHandles--;
    if (h >= 1000)
        closedMembers++;
    return 0;
}

long __cdecl TestSeek(INT_PTR h, long distance, int origin)
{
    Reader& r = readers.at(h - 100);
    long to = origin == 0 ? distance : origin == 1 ? r.position + distance : r.size + distance;
    if (to < 0)
        return -1;
    r.position = to;
    return to;
}

// Answers for the notification handler.
INT_PTR nextCabinetAnswer = -1;
INT_PTR closeAnswer = TRUE;
std::vector<int> notifications;

INT_PTR __cdecl TestNotify(int type, CabinetNotification* n)
{
    notifications.push_back(type);
    if (type == CabNotifyCopyFile) {
        outputs.emplace_back();
        outputNames.push_back(n->name);
        return 1000 + (INT_PTR)outputs.size() - 1;
    }
    if (type == CabNotifyCloseFile) {
        closedMembers++;
        return closeAnswer;
    }
    if (type == CabNotifyNextCabinet)
        return nextCabinetAnswer;
    return 0;
}

struct Extraction {
    BOOL ok;
    CabinetError error;
};

Extraction Extract(const std::vector<uint8_t>& cabinet, const std::vector<uint8_t>* next = nullptr)
{
    GuardedBytes bytes(cabinet);
    GuardedBytes nextGuarded(next ? *next : std::vector<uint8_t>());
    cabinetBytes = &bytes;
    nextBytes = next ? &nextGuarded : nullptr;
    readers.clear();
    outputs.clear();
    outputNames.clear();
    notifications.clear();
    openHandles = 0;
    closedMembers = 0;
    Extraction result = {};
    CabinetContext* c = CabinetCreate(GuardedAlloc, GuardedFree, TestOpen, TestRead, TestWrite,
                                      TestClose, TestSeek, 1, &result.error);
    EXPECT_TRUE(c != nullptr);
    if (!c)
        return result;
    result.ok = CabinetCopy(c, "cab", "", 0, TestNotify, nullptr, nullptr);
    EXPECT_EQ(openHandles, 0);
    EXPECT_EQ(closedMembers, (int)outputs.size()) << "members opened but not closed";
    EXPECT_TRUE(CabinetDestroy(c));
    EXPECT_TRUE(guardedBlocks.empty());
    cabinetBytes = nextBytes = nullptr;
    return result;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed, int alphabet)
{
    std::mt19937 r(seed);
    std::vector<uint8_t> v(size);
    for (auto& b : v)
        b = (uint8_t)(r() % alphabet);
    return v;
}

std::vector<uint8_t> CallsLike(size_t size, uint32_t seed)
{
    std::mt19937 r(seed);
    std::vector<uint8_t> v;
    while (v.size() < size) {
        if (r() % 5 == 0) {
            int32_t target = (int32_t)(r() % 200000) - 100000;
            v.push_back(0xE8);
            for (int k = 0; k < 4; k++)
                v.push_back((uint8_t)(target >> (8 * k)));
        } else {
            v.push_back((uint8_t)(0x80 + r() % 8));
        }
    }
    v.resize(size);
    return v;
}

std::vector<CabFileEntry> SampleFiles()
{
    std::vector<CabFileEntry> files(6);
    const char* names[] = {"empty", "one", "text", "random", "calls.exe", "repeat"};
    for (int i = 0; i < 6; i++)
        files[i].name = names[i];
    files[1].data = {'z'};
    files[2].data = Pattern(70001, 1, 12);
    files[3].data = Pattern(40000, 2, 256);
    files[4].data = CallsLike(90000, 3);
    for (int i = 0; i < 5000; i++)
        files[5].data.insert(files[5].data.end(), {'L', 'u', 'm', 'e', 't', 't', 'a', '!'});
    files[2].date = 0x5A21;
    files[2].time = 0x6C3E;
    return files;
}

std::vector<uint8_t> MakeCabinet(const std::vector<CabFileEntry>& files, const CabWriteOptions& options)
{
    std::vector<uint8_t> cab;
    EXPECT_TRUE(BuildCabinet(files, options, &cab));
    return cab;
}

void ExpectFiles(const std::vector<CabFileEntry>& files)
{
    ASSERT_EQ(outputs.size(), files.size());
    for (size_t i = 0; i < files.size(); i++) {
        EXPECT_EQ(outputNames[i], files[i].name);
        EXPECT_TRUE(outputs[i] == files[i].data) << files[i].name;
    }
}

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v[at + i] = (uint8_t)(x >> (8 * i));
}

} // namespace

TEST(CabinetEngine, ExtractsWhatTheMakerWritesWithEveryBlockKindAndWindow)
{
    std::vector<CabFileEntry> files = SampleFiles();
    for (int block : std::initializer_list<int>{LzxBlockAuto, LzxBlockVerbatim, LzxBlockAligned, LzxBlockUncompressed}) {
        for (int bits : {15, 20, 21}) {
            CabWriteOptions options;
            options.lzx.blockType = block;
            options.lzx.windowBits = bits;
            options.lzx.e8 = bits != 21;
            Extraction x = Extract(MakeCabinet(files, options));
            EXPECT_TRUE(x.ok) << block << " " << bits << " error " << x.error.code;
            ExpectFiles(files);
        }
    }
    CabWriteOptions stored;
    stored.method = CabMethodStored;
    EXPECT_TRUE(Extract(MakeCabinet(files, stored)).ok);
    ExpectFiles(files);
}

USHORT seenAttributes, seenDate;
int runAfter;

INT_PTR __cdecl RecordingNotify(int type, CabinetNotification* n)
{
    if (type == CabNotifyCloseFile) {
        seenAttributes = n->attributes;
        seenDate = n->date;
        runAfter = n->runAfterExtract;
    }
    return TestNotify(type, n);
}

TEST(CabinetEngine, NotifiesInOrderWithTheFileRecords)
{
    std::vector<CabFileEntry> files = SampleFiles();
    files.resize(3);
    files[2].attributes = 0x20 | 0x40;
    GuardedBytes bytes(MakeCabinet(files, CabWriteOptions()));
    cabinetBytes = &bytes;
    readers.clear(), outputs.clear(), outputNames.clear(), notifications.clear();
    CabinetError error;
    CabinetContext* c = CabinetCreate(GuardedAlloc, GuardedFree, TestOpen, TestRead, TestWrite,
                                      TestClose, TestSeek, 1, &error);
    ASSERT_TRUE(CabinetCopy(c, "cab", "", 0, RecordingNotify, nullptr, nullptr));
    CabinetDestroy(c);
    std::vector<int> expected = {0, 5, 2, 3, 5, 2, 3, 5, 2, 3};
    EXPECT_EQ(notifications, expected);
    EXPECT_EQ(seenAttributes, 0x20);
    EXPECT_EQ(runAfter, 1);
    EXPECT_EQ(seenDate, 0x5A21);
}

TEST(CabinetEngine, FilesFromOtherWriters)
{
    for (std::string kind : {"mszip", "plain"}) {
        std::vector<uint8_t> cab = ReadFileBytes(TestDataPath("cabinet/gcab-" + kind + ".cab"));
        ASSERT_FALSE(cab.empty());
        Extraction x = Extract(cab);
        EXPECT_TRUE(x.ok) << kind << " error " << x.error.code;
        for (size_t i = 0; i < outputs.size(); i++)
            EXPECT_TRUE(outputs[i] == ReadFileBytes(TestDataPath("cabinet/gcab-" + kind + "/" + outputNames[i])))
                << outputNames[i];
        EXPECT_EQ(outputs.size(), 4u);
    }
    std::vector<uint8_t> made = ReadFileBytes(TestDataPath("cabinet/lzx-w21.cab"));
    EXPECT_TRUE(Extract(made).ok);
    for (size_t i = 0; i < outputs.size(); i++)
        EXPECT_TRUE(outputs[i] == ReadFileBytes(TestDataPath("cabinet/in/" + outputNames[i]))) << outputNames[i];
}

TEST(CabinetEngine, ChecksumsVersionsAndCompressionTypes)
{
    std::vector<CabFileEntry> files = SampleFiles();
    CabWriteOptions noSums;
    noSums.checksums = false;
    EXPECT_TRUE(Extract(MakeCabinet(files, noSums)).ok);
    ExpectFiles(files);

    std::vector<uint8_t> cab = MakeCabinet(files, CabWriteOptions());
    uint32_t firstBlock = cab[36] | cab[37] << 8 | cab[38] << 16;
    std::vector<uint8_t> wrong = cab;
    wrong[firstBlock] ^= 1;
    Extraction x = Extract(wrong);
    EXPECT_FALSE(x.ok);
    EXPECT_EQ(x.error.code, CabErrorCorrupt);
    EXPECT_TRUE(x.error.set);

    std::vector<uint8_t> old = cab;
    old[24] = 2;
    x = Extract(old);
    EXPECT_EQ(x.error.code, CabErrorVersion);
    EXPECT_EQ(x.error.extra, 0x0102);

    std::vector<uint8_t> notCab = cab;
    notCab[0] = 'N';
    EXPECT_EQ(Extract(notCab).error.code, CabErrorNotCabinet);
    EXPECT_EQ(Extract(std::vector<uint8_t>(cab.begin(), cab.begin() + 35)).error.code, CabErrorNotCabinet);

    for (int type : {2 | 15 << 8, 7, 3 | 14 << 8, 3 | 22 << 8}) {
        std::vector<uint8_t> other = cab;
        other[42] = (uint8_t)type, other[43] = (uint8_t)(type >> 8);
        EXPECT_EQ(Extract(other).error.code, CabErrorCompression) << type;
    }

    // A handler that refuses to close a file, and a writer that fails.
    closeAnswer = FALSE;
    EXPECT_EQ(Extract(cab).error.code, CabErrorTarget);
    closeAnswer = -1;
    EXPECT_EQ(Extract(cab).error.code, CabErrorAborted);
    closeAnswer = TRUE;
    failWrites = true;
    EXPECT_EQ(Extract(cab).error.code, CabErrorTarget);
    failWrites = false;

    CabinetError error;
    allocationsLeft = 0;
    EXPECT_EQ(CabinetCreate(GuardedAlloc, GuardedFree, TestOpen, TestRead, TestWrite, TestClose,
                            TestSeek, 1, &error), nullptr);
    EXPECT_EQ(error.code, CabErrorMemory);
    allocationsLeft = 2;   // the context and the output block; the window fails
    Extraction y = Extract(cab);
    EXPECT_EQ(y.error.code, CabErrorMemory);
    allocationsLeft = -1;
}

// A stored cabinet built by hand: optional reserve areas and a next
// cabinet; each block is {bytes held, decoded size} (decoded size 0: the
// block goes on in the next cabinet).
std::vector<uint8_t> HandCabinet(const std::vector<uint8_t>& data, const std::vector<std::pair<UINT, UINT>>& blocks,
                                 UINT flags, UINT index, UINT folderIndex, int reserve = 0)
{
    std::vector<uint8_t> v(36, 0);
    memcpy(v.data(), "MSCF", 4);
    v[24] = 3, v[25] = 1, v[26] = 1, v[28] = 1;
    v[30] = (uint8_t)(flags | (reserve ? 4 : 0));
    v[32] = 0x34, v[34] = (uint8_t)index;
    if (reserve) {
        v.insert(v.end(), {(uint8_t)reserve, 0, (uint8_t)reserve, (uint8_t)reserve});
        v.resize(v.size() + reserve, 0xAA);
    }
    if (flags & 2)
        for (const char* s : {"next.cab", "disk 2"})
            v.insert(v.end(), s, s + strlen(s) + 1);
    size_t folder = v.size();
    v.resize(v.size() + 8 + reserve, 0);
    v[folder + 4] = (uint8_t)blocks.size();
    Put32(v, 16, (uint32_t)v.size());
    size_t file = v.size();
    v.resize(v.size() + 16, 0);
    Put32(v, file, 20000);
    v[file + 8] = (uint8_t)folderIndex, v[file + 9] = (uint8_t)(folderIndex >> 8);
    v[file + 14] = 0x20;
    v.insert(v.end(), {'f', 0});
    Put32(v, folder, (uint32_t)v.size());
    size_t at = 0;
    for (auto block : blocks) {
        std::vector<uint8_t> h(8 + reserve, 0);
        h[4] = (uint8_t)block.first, h[5] = (uint8_t)(block.first >> 8);
        h[6] = (uint8_t)block.second, h[7] = (uint8_t)(block.second >> 8);
        v.insert(v.end(), h.begin(), h.end());
        v.insert(v.end(), data.begin() + at, data.begin() + at + block.first);
        at += block.first;
    }
    Put32(v, 8, (uint32_t)v.size());
    return v;
}

TEST(CabinetEngine, ContinuationIntoTheNextCabinet)
{
    std::vector<uint8_t> data = Pattern(20000, 5, 256);
    // 7000 bytes whole, then a block of 13000 split 3000 / 10000 between
    // the two cabinets.
    std::vector<uint8_t> first = HandCabinet(data, {{7000, 7000}, {3000, 0}}, 2, 0, 0xFFFE);
    std::vector<uint8_t> tail(data.begin() + 10000, data.end());
    std::vector<uint8_t> second = HandCabinet(tail, {{10000, 13000}}, 0, 1, 0xFFFD);
    nextCabinetAnswer = -1;
    Extraction x = Extract(first, &second);
    EXPECT_FALSE(x.ok);
    EXPECT_EQ(x.error.code, CabErrorAborted);

    nextCabinetAnswer = 0;
    x = Extract(first, &second);
    EXPECT_TRUE(x.ok) << x.error.code;
    ASSERT_GE(outputs.size(), 1u);
    EXPECT_TRUE(outputs[0] == data);

    std::vector<uint8_t> wrongSet = second;
    wrongSet[32] ^= 1;
    EXPECT_EQ(Extract(first, &wrongSet).error.code, CabErrorWrongCabinet);
    std::vector<uint8_t> otherReserve = HandCabinet(tail, {{10000, 13000}}, 0, 1, 0xFFFD, 4);
    EXPECT_EQ(Extract(first, &otherReserve).error.code, CabErrorReserve);
    EXPECT_EQ(Extract(first).error.code, CabErrorOpen);
    nextCabinetAnswer = -1;

    // Reserve areas are skipped by their sizes.
    std::vector<uint8_t> reserved = HandCabinet(data, {{12000, 12000}, {8000, 8000}}, 0, 0, 0, 6);
    x = Extract(reserved);
    EXPECT_TRUE(x.ok) << x.error.code;
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_TRUE(outputs[0] == data);
}

TEST(CabinetEngine, MalformedCabinetsFailCleanly)
{
    std::vector<CabFileEntry> files = SampleFiles();
    files.resize(3);
    std::vector<uint8_t> cab = MakeCabinet(files, CabWriteOptions());
    for (size_t n = 0; n < cab.size(); n += (n < 200 ? 1 : 97)) {
        Extraction x = Extract(std::vector<uint8_t>(cab.begin(), cab.begin() + n));
        EXPECT_FALSE(x.ok) << n;
        EXPECT_TRUE(x.error.code >= 1 && x.error.code <= 11) << n;
    }
    struct Lie { size_t at; uint32_t value; int bytes; };
    uint32_t filesAt = 44;
    for (Lie lie : std::vector<Lie>{{26, 0, 2},              // no folders
                                    {28, 9, 2},              // more files than records
                                    {16, 0x7FFFFFF0, 4},     // file records beyond the end
                                    {36, 0x7FFFFFF0, 4},     // data blocks beyond the end
                                    {40, 1, 2},              // fewer data blocks than data
                                    {filesAt + 8, 5, 2},     // a folder that does not exist
                                    {filesAt + 22 + 4, 0x10000000, 4}}) {   // data past the folder
        std::vector<uint8_t> bad = cab;
        for (int i = 0; i < lie.bytes; i++)
            bad[lie.at + i] = (uint8_t)(lie.value >> (8 * i));
        Extraction x = Extract(bad);
        EXPECT_FALSE(x.ok) << lie.at;
        EXPECT_NE(x.error.code, 0) << lie.at;
    }
    // A compressed size beyond the input buffer, and a decoded size beyond
    // the output block.
    uint32_t block = cab[36] | cab[37] << 8 | cab[38] << 16;
    std::vector<uint8_t> big = cab;
    big[block] = big[block + 1] = big[block + 2] = big[block + 3] = 0;
    big[block + 4] = 0x40, big[block + 5] = 0x9C;   // 40000
    EXPECT_EQ(Extract(big).error.code, CabErrorCorrupt);
    big = cab;
    big[block] = big[block + 1] = big[block + 2] = big[block + 3] = 0;
    big[block + 6] = 0x01, big[block + 7] = 0x90;
    EXPECT_EQ(Extract(big).error.code, CabErrorDecompress);
    // A name with no end.
    std::vector<uint8_t> longName = cab;
    longName.resize(longName.size() + 300, 'n');
    memset(longName.data() + filesAt + 16, 'n', longName.size() - filesAt - 16);
    EXPECT_EQ(Extract(longName).error.code, CabErrorCorrupt);
}

// Each member the handler opened is closed before the error returns, when a
// later data block of its folder is damaged, cut off or undecodable.
TEST(CabinetEngine, DamagedLaterBlocksCloseTheOpenMember)
{
    std::vector<CabFileEntry> files = SampleFiles();
    for (bool sums : { true, false }) {
        CabWriteOptions options;
        options.checksums = sums;
        std::vector<uint8_t> cab = MakeCabinet(files, options);
        uint32_t first = cab[36] | cab[37] << 8 | cab[38] << 16;
        UINT blocks = cab[40] | cab[41] << 8;
        ASSERT_GT(blocks, 3u);
        size_t at = first;
        for (UINT k = 0; k < blocks; k++) {
            UINT held = cab[at + 4] | cab[at + 5] << 8;
            for (size_t spot : { at + 8, at + 8 + held / 2, at + 4 }) {
                std::vector<uint8_t> bad = cab;
                bad[spot] ^= 0x5A;
                Extract(bad);
            }
            Extract(std::vector<uint8_t>(cab.begin(), cab.begin() + at + 8 + held / 2));
            at += 8 + held;
        }
    }
}

TEST(CabinetEngine, MutatedCabinetsNeverCrash)
{
    std::vector<CabFileEntry> files = SampleFiles();
    files.resize(4);
    files[2].data.resize(40000);
    CabWriteOptions options;
    options.checksums = false;   // let the damage reach the decoder
    std::vector<uint8_t> cab = MakeCabinet(files, options);
    std::mt19937 r(20261208);
    int failures = 0;
    for (int round = 0; round < 300; round++) {
        std::vector<uint8_t> bad = cab;
        int changes = 1 + r() % 8;
        for (int i = 0; i < changes; i++) {
            size_t at = r() % (r() % 4 ? bad.size() : 200);
            bad[at] = (uint8_t)r();
        }
        Extraction x = Extract(bad);
        if (!x.ok) {
            failures++;
            EXPECT_TRUE(x.error.code >= 1 && x.error.code <= 11);
        }
    }
    EXPECT_GT(failures, 0);
}

// Hand-made LZX streams: a pretree able to write any length, then a main
// tree of 512 symbols of 9 bits (code = symbol) and an empty length tree.
struct LzxWriter {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    void Put(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            acc = acc << 1 | ((v >> i) & 1);
            if (++bits == 16) {
                out.push_back((uint8_t)acc), out.push_back((uint8_t)(acc >> 8));
                acc = 0, bits = 0;
            }
        }
    }
    void Align() { while (bits) Put(0, 1); }
    // Pretree: symbols 0-11 of 4 bits, 12-19 of 5 bits.
    void PreTree(const uint8_t* lengths, int n, bool overfull = false)
    {
        for (int i = 0; i < 20; i++)
            Put(overfull ? 1 : (i < 12 ? 4 : 5), 4);
        for (int i = 0; i < n; i++) {
            int s = (17 - lengths[i]) % 17;
            if (s < 12)
                Put((uint32_t)s, 4);
            else
                Put((uint32_t)(24 + s - 12), 5);
        }
    }
    void Verbatim(uint32_t size, bool badMain = false)
    {
        Put(0, 1);   // no E8 translation
        Put(1, 3);
        Put(size >> 8, 16), Put(size & 0xFF, 8);
        uint8_t main[256 + 42 * 8] = {0};
        for (int i = 0; i < 512; i++)
            main[i] = 9;
        if (badMain)
            main[3] = 8;   // over-subscribed
        uint8_t lengths[249] = {0};
        PreTree(main, 256);
        PreTree(main + 256, 42 * 8);
        PreTree(lengths, 249);
    }
    void Symbol(int s) { Put((uint32_t)s, 9); }
};

int DecodeHandStream(const LzxWriter& w, size_t outSize, std::vector<uint8_t>* result = nullptr)
{
    LzxState* s = (LzxState*)GuardedAlloc(sizeof(LzxState));
    uint8_t* window = (uint8_t*)GuardedAlloc(1 << 20);
    uint8_t* out = (uint8_t*)GuardedAlloc(32768);
    LzxStart(s, 20, window);
    GuardedBytes in(w.out);
    int status = LzxDecodeBlock(s, in.data(), in.size(), out + 32768 - outSize, outSize);
    if (result)
        result->assign(out + 32768 - outSize, out + 32768);
    GuardedFree(out), GuardedFree(window), GuardedFree(s);
    return status;
}

TEST(LzxDecoder, HandMadeStreams)
{
    // "ab" then a match of 8 at offset 2 (slot 4, footer 0): "ababababab".
    auto stream = [](uint32_t size, int matchSlot, uint32_t footerBits, int footerValue) {
        LzxWriter w;
        w.Verbatim(size);
        w.Symbol('a'), w.Symbol('b');
        w.Symbol(256 + matchSlot * 8 + 6);
        if (footerBits)
            w.Put((uint32_t)footerValue, (int)footerBits);
        w.Align();
        return w;
    };
    std::vector<uint8_t> result;
    EXPECT_EQ(DecodeHandStream(stream(10, 4, 1, 0), 10, &result), 0);
    EXPECT_EQ(std::string(result.begin(), result.end()), "ababababab");
    // The match would run past the frame.
    EXPECT_EQ(DecodeHandStream(stream(10, 4, 1, 0), 9), -1);
    // Offsets beyond the data seen so far (3, then 2^16 - 2).
    EXPECT_EQ(DecodeHandStream(stream(10, 4, 1, 1), 10), -1);
    EXPECT_EQ(DecodeHandStream(stream(10, 31, 15, 0), 10), -1);
    // Trees that are not prefix codes.
    LzxWriter bad;
    bad.Verbatim(10, true);
    bad.Align();
    EXPECT_EQ(DecodeHandStream(bad, 10), -1);
    LzxWriter overfull;
    overfull.Put(0, 1), overfull.Put(1, 3), overfull.Put(0, 16), overfull.Put(10, 8);
    uint8_t zeros[256] = {0};
    overfull.PreTree(zeros, 256, true);
    overfull.Align();
    EXPECT_EQ(DecodeHandStream(overfull, 10), -1);
    // Block types 0 and 4 to 7, and a stream that stops short.
    for (uint32_t type : {0u, 4u, 7u}) {
        LzxWriter w;
        w.Put(0, 1), w.Put(type, 3), w.Put(0, 16), w.Put(10, 8);
        w.Align();
        EXPECT_EQ(DecodeHandStream(w, 10), -1);
    }
    LzxWriter shortStream = stream(10, 4, 1, 0);
    shortStream.out.resize(shortStream.out.size() / 2);
    EXPECT_EQ(DecodeHandStream(shortStream, 10), -1);
    // An uncompressed block whose bytes are missing.
    LzxWriter raw;
    raw.Put(0, 1), raw.Put(3, 3), raw.Put(0, 16), raw.Put(100, 8);
    raw.Align();
    raw.out.resize(raw.out.size() + 12 + 50, 'r');
    EXPECT_EQ(DecodeHandStream(raw, 100), -1);
}

std::string target;
std::vector<std::string> written;

// The installer's way: each file goes to the extraction folder.
INT_PTR __cdecl InstallerNotify(int type, CabinetNotification* n)
{
    if (type == CabNotifyCopyFile) {
        std::string path = target + n->name;
        written.push_back(path);
        return CabOpenFile((char*)path.c_str(), CabOpenWriteOnly | CabOpenCreate | CabOpenTruncate | CabOpenBinary,
                           CabModeWritable);
    }
    if (type == CabNotifyCloseFile)
        return CabCloseFile(n->handle) == 0;
    return type == CabNotifyNextCabinet || type == CabNotifyPartialFile ? -1 : 0;
}

TEST(InstallerRoutines, EmbeddedCabinetAndFiles)
{
    // Extract the test program's own "CABINET" 114 into a temporary folder
    // with the installer's routines.
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    target = std::string(folder) + "lumetta-cab-test\\";
    CreateDirectoryA(target.c_str(), NULL);
    written.clear();
    CabinetError error;
    CabinetContext* c = CabinetCreate(CabMemAlloc, CabMemFree, CabOpenFile, CabReadFile, CabWriteFile,
                                      CabCloseFile, CabSeekFile, 1, &error);
    ASSERT_TRUE(c != nullptr);
    EXPECT_TRUE(CabinetCopy(c, CabMainName, "", 0, InstallerNotify, nullptr, nullptr)) << error.code;
    CabinetDestroy(c);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(ReadFileBytes(written[0]) == ReadFileBytes(SourcePath("tests/cabinet/make-cabinets.sh")));
    EXPECT_TRUE(ReadFileBytes(written[1]) == ReadFileBytes(SourcePath("tests/cabinet/CMakeLists.txt")));
    for (auto& p : written)
        DeleteFileA(p.c_str());
    RemoveDirectoryA(target.c_str());

    // Memory handles: reads stop at the header's length, a seek before the
    // start lands at 0, and there are 32 slots, freed by closing.
    INT_PTR h = CabOpenFile((char*)CabMainName, CabOpenBinary, 0);
    ASSERT_GE((UINT_PTR)h, (UINT_PTR)CabMemoryHandleBase);
    uint8_t header[36];
    EXPECT_EQ(CabReadFile(h, header, 36), 36u);
    long length = (long)(header[8] | header[9] << 8 | header[10] << 16 | header[11] << 24);
    EXPECT_EQ(CabSeekFile(h, -5, 0), 0);
    EXPECT_EQ(CabSeekFile(h, -100, 1), 0);
    EXPECT_EQ(CabSeekFile(h, -length - 9, 2), 0);
    EXPECT_EQ(CabSeekFile(h, -4, 2), length - 4);
    uint8_t tail[16];
    EXPECT_EQ(CabReadFile(h, tail, 16), 4u);
    EXPECT_EQ(CabReadFile(h, tail, 16), 0u);
    EXPECT_EQ(CabSeekFile(h, 10, 1), length + 10);
    EXPECT_EQ(CabReadFile(h, tail, 16), 0u);
    EXPECT_EQ(CabCloseFile(h), 0);
    EXPECT_EQ(CabWriteFile(h, tail, 1), (UINT)-1);
    EXPECT_EQ(CabReadFile(h, tail, 1), (UINT)-1);
    EXPECT_EQ(CabCloseFile(h), -1);
    std::vector<INT_PTR> open;
    for (INT_PTR m; (m = CabOpenFile((char*)CabMainName, CabOpenBinary, 0)) != -1 && open.size() <= 40;)
        open.push_back(m);
    EXPECT_EQ(open.size(), (size_t)CabMemorySlots);
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(CabCloseFile(open.back()), 0);
    open.back() = CabOpenFile((char*)CabMainName, CabOpenBinary, 0);
    EXPECT_NE(open.back(), -1);
    for (INT_PTR m : open)
        EXPECT_EQ(CabCloseFile(m), 0);

    // Files: the flags pick the creation mode.
    std::string path = std::string(folder) + "lumetta-cab-flags.bin";
    DeleteFileA(path.c_str());
    EXPECT_EQ(CabOpenFile((char*)path.c_str(), CabOpenReadOnly, 0), -1);
    INT_PTR f = CabOpenFile((char*)path.c_str(), CabOpenReadWrite | CabOpenCreate | CabOpenExclusive, CabModeWritable);
    ASSERT_NE(f, -1);
    EXPECT_EQ(CabWriteFile(f, (void*)"abcdef", 6), 6u);
    EXPECT_EQ(CabSeekFile(f, 2, 0), 2);
    char back[4] = {0};
    EXPECT_EQ(CabReadFile(f, back, 3), 3u);
    EXPECT_EQ(std::string(back), "cde");
    EXPECT_EQ(CabCloseFile(f), 0);
    EXPECT_EQ(CabOpenFile((char*)path.c_str(), CabOpenWriteOnly | CabOpenCreate | CabOpenExclusive, CabModeWritable), -1);
    f = CabOpenFile((char*)path.c_str(), CabOpenWriteOnly | CabOpenTruncate, CabModeWritable);
    ASSERT_NE(f, -1);
    EXPECT_EQ(CabSeekFile(f, 0, 2), 0);
    CabCloseFile(f);
    DeleteFileA(path.c_str());
}

// A handle that swallows what is written to it, beside the installer's own.
const INT_PTR DiscardHandle = 77;
int closedFiles;

UINT __cdecl WriteOrDiscard(INT_PTR handle, void* buffer, UINT count)
{
    return handle == DiscardHandle ? count : CabWriteFile(handle, buffer, count);
}

int __cdecl CloseOrDiscard(INT_PTR handle)
{
    return handle == DiscardHandle ? 0 : CabCloseFile(handle);
}

INT_PTR __cdecl DiscardNotify(int type, CabinetNotification*)
{
    if (type == CabNotifyCopyFile)
        return DiscardHandle;
    if (type == CabNotifyCloseFile)
        return ++closedFiles, TRUE;
    return 0;
}

// Each extraction opens the embedded cabinet twice; its slots come back at
// the end, so an installer may extract as often as it likes.
TEST(InstallerRoutines, ManyExtractionsInOneProcess)
{
    closedFiles = 0;
    const int rounds = 3 * CabMemorySlots;
    for (int round = 0; round < rounds; round++) {
        CabinetError error;
        CabinetContext* c = CabinetCreate(CabMemAlloc, CabMemFree, CabOpenFile, CabReadFile,
                                          WriteOrDiscard, CloseOrDiscard, CabSeekFile, 1, &error);
        ASSERT_TRUE(c != nullptr);
        EXPECT_TRUE(CabinetCopy(c, CabMainName, "", 0, DiscardNotify, nullptr, nullptr))
            << "round " << round << ", error " << error.code;
        CabinetDestroy(c);
    }
    EXPECT_EQ(closedFiles, 2 * rounds);
}

// After an error nothing more decodes until the decoder is started again:
// its window and trees are in an unknown state.
TEST(LzxDecoder, StaysUnusableAfterAnError)
{
    LzxWriter w;
    w.Verbatim(10);
    w.Symbol('a'), w.Symbol('b');
    w.Symbol(256 + 4 * 8 + 6);
    w.Put(0, 1);
    w.Align();
    LzxState* s = (LzxState*)GuardedAlloc(sizeof(LzxState));
    uint8_t* window = (uint8_t*)GuardedAlloc(1 << 20);
    uint8_t out[10];
    GuardedBytes in(w.out);
    LzxStart(s, 20, window);
    EXPECT_EQ(LzxDecodeBlock(s, in.data(), in.size(), out, 0), -1);
    EXPECT_EQ(LzxDecodeBlock(s, in.data(), in.size(), out, 10), -1);
    LzxStart(s, 20, window);
    EXPECT_EQ(LzxDecodeBlock(s, in.data(), in.size(), out, 10), 0);
    EXPECT_EQ(std::string(out, out + 10), "ababababab");
    GuardedFree(window), GuardedFree(s);
}
