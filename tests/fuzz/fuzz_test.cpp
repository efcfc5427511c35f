// The fuzzer: mutated seed files of every format run over guarded bytes
// through the probes, the decoders (plain; with a requested size and a
// progress event, followed by a scaler as the Preview page does) and the
// icon handler's thumbnail recipe.  Inputs run in child processes started
// from this very program, so that a crash or a hang is caught, reported with
// its input saved, and the run goes on with the next input.
//
// Environment:
//   LUMETTA_FUZZ_SECONDS  the run's length over all formats (default 56)
//   LUMETTA_FUZZ_FORMATS  formats to run, comma-separated (default all)
//   LUMETTA_FUZZ_SEED     the run's seed (default fixed)
//   LUMETTA_FUZZ_FINDINGS folder for the inputs that failed
//   LUMETTA_FUZZ_CUT      set: every road runs over the input as a mapped
//                         file that is cut short from outside at a random
//                         moment (its view made unreadable from a random page
//                         on, as a file truncated under it faults), with
//                         pictures over a megapixel among the seeds
// A child is this program with --gtest_filter=FuzzChild.* and
// LUMETTA_FUZZ_CHILD set to "FORMAT FIRST COUNT SEED MAPPING".
#include "testing.h"
#include "mutate.h"
#include "formats.h"
#include "thumbnail.h"
#include "worker.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

// Limits for one input and for a child process.
const DWORD InputMilliseconds = 2000;
const uint64_t ProcessBytes = 512ull << 20;
const int InputsPerChild = 2000;

enum Failure { FailNone, FailCrash, FailHang, FailMemory, FailResult };

// What a child tells its parent, in a shared mapping.
struct ChildReport {
    volatile LONG current;           // input being run
    volatile LONG started;           // GetTickCount when it began
    volatile LONG done;              // inputs finished
    volatile LONG failure;           // Failure, set by the child for memory and results
    volatile LONG probed;            // inputs some probe accepted
    volatile LONG decoded;           // inputs whose plain decode finished with 0
    volatile LONG peakMegabytes;
    char message[256];
};

// The Windows environment: a child started by CreateProcess sees only that.
std::string Env(const char* name, const char* fallback = "")
{
    char value[1024];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string(fallback);
}

bool CutMode() { return !Env("LUMETTA_FUZZ_CUT").empty(); }

// The format tests' small files; for cuts also pictures over a megapixel,
// for which the decoders start their helper threads.
std::vector<std::vector<uint8_t>> SeedFiles(int format)
{
    const FuzzFormatInfo& f = FormatInfo(format);
    std::vector<std::vector<uint8_t>> seeds;
    AddSeeds(&seeds, TestDataPath(f.folder), f.extension, 48 * 1024);
    if (CutMode())
        AddSeeds(&seeds, TestDataPath("fuzz-large"), f.extension, 256 * 1024);
    return seeds;
}

// ---------------------------------------------------------------- child

bool SinglePass(uint32_t family)
{
    return family == FamilyBmp || family == FamilyTarga || family == FamilyPcx || family == FamilyTiff;
}

bool KnownStatus(int status) { return status <= ImgOk && status >= ImgNoTextSlot; }

// Checks one finished decode; a message when it broke a rule.
std::string CheckDecode(const char* road, int status, const PixelBuffer& b, uint32_t family)
{
    char text[200] = "";
    if (!KnownStatus(status))
        snprintf(text, sizeof text, "%s: status %d", road, status);
    else if (b.rowsDone < 0 || (SinglePass(family) && b.rowsDone > b.height))
        snprintf(text, sizeof text, "%s: rowsDone %d of %d", road, (int)b.rowsDone, (int)b.height);
    else if (status == ImgOk && b.rowsDone < b.height)
        snprintf(text, sizeof text, "%s: finished with rowsDone %d of %d", road, (int)b.rowsDone,
                 (int)b.height);
    return text;
}

int WaitFor(PixelBuffer* b)
{
    if (b->thread)
        WaitForSingleObject(b->thread, INFINITE);
    return StopJob(b);
}

// The roads one accepted input takes; each returns a message on a broken rule.
std::string PlainRoad(ImageInfo* info, const FuzzInput& in, bool* decoded)
{
    PixelBuffer plain = EmptyBuffer();
    int status = StartDecode(&plain, info, in.imageIndex, NULL, 0);
    if (status == ImgOk)
        status = WaitFor(&plain);
    std::string problem = CheckDecode("plain decode", status, plain, FamilyOf(info->format));
    *decoded = status == ImgOk;
    FreePixelBuffer(&plain);
    return problem;
}

// The Preview page's road: progress, and a scaler following the decoder.
std::string WatchedRoad(ImageInfo* info, const FuzzInput& in, bool*)
{
    PixelBuffer shown = EmptyBuffer(), scaled = EmptyBuffer();
    int status = StartDecode(&shown, info, in.imageIndex, in.request, 1);
    if (status == ImgOk) {
        scaled.width = 64;
        scaled.height = 48;
        int scaling = StartScale(&scaled, &shown, NULL, NULL);
        status = WaitFor(&shown);
        if (scaling == ImgOk)
            WaitFor(&scaled);
    }
    std::string problem = CheckDecode("decode with progress", status, shown, FamilyOf(info->format));
    FreePixelBuffer(&scaled);
    FreePixelBuffer(&shown);
    return problem;
}

std::string ThumbnailRoad(ImageInfo* info, const FuzzInput&, bool*)
{
    std::string problem;
    PixelBuffer decodedBuffer = EmptyBuffer(), large = EmptyBuffer(), little = EmptyBuffer();
    ThumbnailRequest request = { 32, 16, false, 0 };
    int status = MakeThumbnailPictures(info, request, &large, &little, &decodedBuffer);
    if (!KnownStatus(status))
        problem = "thumbnail: status " + std::to_string(status);
    else if (large.pixels && (large.width > 32 || large.height > 32 || little.width > 16 || little.height > 16))
        problem = "thumbnail of " + std::to_string(large.width) + "x" + std::to_string(large.height);
    if (large.pixels && problem.empty() && StartColourReduction(&large, NULL, 16) == ImgOk)
        WaitFor(&large);
    FreePixelBuffer(&decodedBuffer);
    FreePixelBuffer(&large);
    FreePixelBuffer(&little);
    return problem;
}

typedef std::string (*Road)(ImageInfo* info, const FuzzInput& in, bool* decoded);
const Road Roads[] = { PlainRoad, WatchedRoad, ThumbnailRoad };

std::string RunRoads(ImageInfo* info, const FuzzInput& in, bool* decoded)
{
    for (Road road : Roads) {
        std::string problem = road(info, in, decoded);
        if (!problem.empty())
            return problem;
    }
    return "";
}

// ---------------------------------------------------------------- cuts
// The cut: after a random wait, the view made unreadable from a random page
// on.  A file truncated under its view faults the same way, but cutting it
// from outside costs a process start.
struct Cut {
    const ImageInfo* info;
    uint32_t waitMicroseconds;
    size_t fromPage;
};

DWORD WINAPI CutLater(LPVOID argument)
{
    const Cut* c = (const Cut*)argument;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    do {
        SwitchToThread();
        QueryPerformanceCounter(&now);
    } while ((uint64_t)(now.QuadPart - start.QuadPart) * 1000000 / (uint64_t)frequency.QuadPart <
             c->waitMicroseconds);
    size_t from = c->fromPage * PageBytes;
    DWORD old;
    VirtualProtect((void*)(c->info->data + from), c->info->dataSize - from, PAGE_NOACCESS, &old);
    return 0;
}

// Every road over the input as a mapped file, each cut at a moment of its own.
std::string RunCutRoads(const FuzzInput& in, uint64_t inputSeed, ChildReport* report)
{
    std::string path = Env("TEMP", ".") + "\\lumetta-fuzz-" + std::to_string(GetCurrentProcessId());
    if (!WriteFileBytes(path, in.bytes))
        return "cannot write " + path;
    ImageInfo info = EmptyInfo();
    if (OpenImageFile(path.c_str(), &info) != ImgOk)
        return "";
    InterlockedIncrement(&report->probed);
    Random r(inputSeed);
    size_t pages = (info.dataSize + PageBytes - 1) / PageBytes;
    std::string problem;
    bool decoded = false;
    for (Road road : Roads) {
        Cut cut = { &info, r.Below(8000), r.Below(pages) };
        DWORD id;
        HANDLE cutter = CreateThread(NULL, 0, CutLater, &cut, 0, &id);
        problem = road(&info, in, &decoded);
        if (cutter) {
            WaitForSingleObject(cutter, INFINITE);
            CloseHandle(cutter);
        }
        DWORD old;
        VirtualProtect((void*)info.data, info.dataSize, PAGE_READONLY, &old);
        if (!problem.empty())
            break;
    }
    if (decoded)
        InterlockedIncrement(&report->decoded);
    ReleaseImageInfo(&info);
    return problem.empty() ? problem : "cut: " + problem;
}

int (*OwnProbe(uint32_t family))(ImageInfo*)
{
    for (const ImageFormat* f = ImageFormats; f->family; f++)
        if (f->family == family)
            return f->probe;
    return ProbeJpeg;
}

// The library's probe order, as opening a file runs it; and the format's
// own probe too when an earlier one took the bytes, so that a format without
// a signature is not lost to its neighbours.
std::string RunInput(int format, const FuzzInput& in, ChildReport* report)
{
    GuardedBytes guarded(in.bytes);
    std::string problem;
    bool accepted = false, decoded = false;
    uint32_t first = 0;
    for (int round = 0; round < 2 && problem.empty(); round++) {
        ImageInfo info = InfoOver(guarded.data(), guarded.size());
        int status = ImgUnsupported;
        if (round == 0) {
            for (const ImageFormat* f = ImageFormats; f->family; f++)
                if ((status = f->probe(&info)) >= 0)
                    break;
        } else if (first != FormatInfo(format).family) {
            status = OwnProbe(FormatInfo(format).family)(&info);
        }
        if (status >= 0) {
            if (round == 0)
                first = FamilyOf(info.format);
            accepted = true;
            bool ok = false;
            problem = RunRoads(&info, in, &ok);
            decoded = decoded || ok;
        }
        ReleaseImageInfo(&info);
    }
    if (accepted)
        InterlockedIncrement(&report->probed);
    if (decoded)
        InterlockedIncrement(&report->decoded);
    return problem;
}

LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* e)
{
    // No debugger, no dialog: the parent reads the code and the input.
    TerminateProcess(GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

uint64_t ProcessMemory()
{
    PROCESS_MEMORY_COUNTERS c = { sizeof c };
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c))
        return 0;
    return c.PeakWorkingSetSize > c.PeakPagefileUsage ? c.PeakWorkingSetSize : c.PeakPagefileUsage;
}

void RunChildJob(const std::string& job)
{
    int format = 0, first = 0, count = 0;
    unsigned long long seed = 0;
    char mapping[100] = "";
    if (sscanf(job.c_str(), "%d %d %d %llu %99s", &format, &first, &count, &seed, mapping) != 5)
        return;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    HANDLE map = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, mapping);
    ChildReport* report = map ? (ChildReport*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
    if (!report)
        ExitProcess(90);
    std::vector<std::vector<uint8_t>> seeds = SeedFiles(format);
    if (seeds.empty())
        ExitProcess(91);
    for (int i = first; i < first + count; i++) {
        FuzzInput in = MakeInput(format, seeds, seed, (uint64_t)i);
        report->current = i;
        InterlockedExchange(&report->started, (LONG)GetTickCount());
        std::string problem = CutMode() ? RunCutRoads(in, seed ^ (uint64_t)i, report)
                                        : RunInput(format, in, report);
        uint64_t memory = ProcessMemory();
        report->peakMegabytes = (LONG)(memory >> 20);
        if (!problem.empty() || memory > ProcessBytes) {
            report->failure = problem.empty() ? FailMemory : FailResult;
            if (problem.empty())
                problem = "the process reached " + std::to_string(memory >> 20) + " MB";
            lstrcpynA(report->message, problem.c_str(), sizeof report->message);
            ExitProcess(3);
        }
        InterlockedIncrement(&report->done);
    }
    ExitProcess(0);
}

// ---------------------------------------------------------------- parent

struct Finding {
    int format;
    int index;
    Failure kind;
    std::string detail;
    std::string saved;
};

struct FormatTally {
    long inputs = 0, probed = 0, decoded = 0, children = 0;
    double seconds = 0;
};

const char* KindName(Failure kind)
{
    switch (kind) {
    case FailCrash: return "crash";
    case FailHang: return "over 2 s";
    case FailMemory: return "over 512 MB";
    default: return "broken rule";
    }
}

class Parent {
public:
    Parent() : seed_(strtoull(Env("LUMETTA_FUZZ_SEED", "20261208").c_str(), NULL, 10)) {}

    // Runs one format for the given time; returns its tally.
    FormatTally Run(int format, double seconds)
    {
        FormatTally t;
        seeds_ = SeedFiles(format);
        if (seeds_.empty()) {
            ADD_FAILURE() << "no seed files for " << FormatInfo(format).name << " in "
                          << TestDataPath(FormatInfo(format).folder);
            return t;
        }
        DWORD begin = GetTickCount(), deadline = begin + (DWORD)(seconds * 1000);
        int next = 0;
        while ((LONG)(GetTickCount() - deadline) < 0) {
            int done = RunChild(format, next, deadline, &t);
            if (done < 0)
                break;
            next += done;
        }
        t.inputs = next;
        t.seconds = (GetTickCount() - begin) / 1000.0;
        return t;
    }

    const std::vector<Finding>& Findings() const { return findings_; }

private:
    uint64_t seed_;
    std::vector<std::vector<uint8_t>> seeds_;
    std::vector<Finding> findings_;
    int serial_ = 0;

    // Runs a child over inputs from `first`; returns how many inputs it
    // got through (a failed one counts), or -1 when no child could run.
    int RunChild(int format, int first, DWORD deadline, FormatTally* t)
    {
        char name[100];
        snprintf(name, sizeof name, "LumettaFuzz-%lu-%d", (unsigned long)GetCurrentProcessId(), serial_++);
        HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                        sizeof(ChildReport), name);
        ChildReport* report = map ? (ChildReport*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
        if (!report) {
            ADD_FAILURE() << "no shared memory for the child";
            return -1;
        }
        memset(report, 0, sizeof *report);
        report->current = -1;
        char job[200];
        snprintf(job, sizeof job, "%d %d %d %llu %s", format, first, InputsPerChild,
                 (unsigned long long)seed_, name);
        SetEnvironmentVariableA("LUMETTA_FUZZ_CHILD", job);
        std::string command = "\"" + SelfPath() + "\" --gtest_filter=FuzzChild.*";
        STARTUPINFOA si = { sizeof si };
        PROCESS_INFORMATION pi = {};
        BOOL started = CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
        SetEnvironmentVariableA("LUMETTA_FUZZ_CHILD", NULL);
        if (!started) {
            ADD_FAILURE() << "cannot start " << command;
            UnmapViewOfFile(report);
            CloseHandle(map);
            return -1;
        }
        t->children++;
        int got = Watch(format, first, pi.hProcess, report, deadline);
        t->probed += report->probed;
        t->decoded += report->decoded;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        UnmapViewOfFile(report);
        CloseHandle(map);
        return got;
    }

    int Watch(int format, int first, HANDLE process, ChildReport* report, DWORD deadline)
    {
        for (;;) {
            if (WaitForSingleObject(process, 20) == WAIT_OBJECT_0)
                break;
            LONG current = report->current;
            DWORD now = GetTickCount();
            bool running = current >= 0 && report->done < current - first + 1;
            if (running && now - (DWORD)report->started > InputMilliseconds) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, INFINITE);
                Record(format, current, FailHang, "still running after 2 s");
                return current - first + 1;
            }
            if ((LONG)(now - deadline) >= 0) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, INFINITE);
                return report->done;
            }
        }
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        if (code == 0)
            return report->done;
        if (report->current < 0) {
            ADD_FAILURE() << "the child ended with " << code << " before its first input";
            return -1;
        }
        Failure kind = report->failure ? (Failure)report->failure : FailCrash;
        char detail[300];
        if (kind == FailCrash)
            snprintf(detail, sizeof detail, "exit code 0x%08lX", (unsigned long)code);
        else
            snprintf(detail, sizeof detail, "%s", report->message);
        Record(format, report->current, kind, detail);
        return report->current - first + 1;
    }

    void Record(int format, int index, Failure kind, const std::string& detail)
    {
        FuzzInput in = MakeInput(format, seeds_, seed_, (uint64_t)index);
        std::string folder = Env("LUMETTA_FUZZ_FINDINGS");
        if (folder.empty())
            folder = Env("LUMETTA_BUILD", ".") + "/fuzz-findings";
        if (folder[0] == '/')
            folder = "Z:" + folder;
        CreateDirectoryA(folder.c_str(), NULL);
        std::string saved = folder + "/" + FormatInfo(format).name + "-" + std::to_string(seed_) +
                            "-" + std::to_string(index) + FormatInfo(format).extension;
        WriteFileBytes(saved, in.bytes);
        printf("FOUND %s: %s input %d (%s; index %d, request %dx%d): %s\n      saved as %s\n",
               KindName(kind), FormatInfo(format).name, index, in.recipe.c_str(), (int)in.imageIndex,
               (int)in.request[0], (int)in.request[1], detail.c_str(), saved.c_str());
        fflush(stdout);
        findings_.push_back(Finding{ format, index, kind, detail, saved });
    }
};

std::vector<int> ChosenFormats()
{
    std::string list = Env("LUMETTA_FUZZ_FORMATS");
    std::vector<int> formats;
    if (list.empty()) {
        for (int f = 0; f < FuzzFormats; f++)
            formats.push_back(f);
        return formats;
    }
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int f = FormatByName(name);
        if (f >= 0)
            formats.push_back(f);
        else
            ADD_FAILURE() << "unknown format " << name;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return formats;
}

}  // namespace

// Runs only inside a child the fuzzer started.
TEST(FuzzChild, Inputs)
{
    std::string job = Env("LUMETTA_FUZZ_CHILD");
    if (job.empty())
        GTEST_SKIP() << "started by the fuzzer only";
    RunChildJob(job);
    FAIL() << "bad child job " << job;
}

TEST(Fuzz, MutatedFilesOfEveryFormat)
{
    if (!Env("LUMETTA_FUZZ_CHILD").empty())
        GTEST_SKIP();
    std::vector<int> formats = ChosenFormats();
    ASSERT_FALSE(formats.empty());
    double seconds = atof(Env("LUMETTA_FUZZ_SECONDS", "56").c_str());
    Parent parent;
    printf("%-6s %8s %8s %8s %8s %9s %9s\n", "format", "inputs", "probed", "decoded", "children",
           "seconds", "inputs/s");
    for (int format : formats) {
        FormatTally t = parent.Run(format, seconds / formats.size());
        printf("%-6s %8ld %8ld %8ld %8ld %9.1f %9.1f\n", FormatInfo(format).name, t.inputs, t.probed,
               t.decoded, t.children, t.seconds, t.seconds > 0 ? t.inputs / t.seconds : 0.0);
        fflush(stdout);
        // The mutations must leave files readable now and then, or they test
        // nothing past the headers (cut files rarely are).
        if (!CutMode())
            EXPECT_GT(t.decoded * 100, t.inputs) << FormatInfo(format).name;
    }
    for (const Finding& f : parent.Findings())
        ADD_FAILURE() << FormatInfo(f.format).name << " input " << f.index << ": " << KindName(f.kind)
                      << ", " << f.detail << " (saved as " << f.saved << ")";
}
