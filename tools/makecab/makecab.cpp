// makecab [options] OUT.cab FILE...: a one-folder LZX cabinet of the files
// in the order given, each under its own name with its date, time and the
// archive attribute.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <stdlib.h>

#include "cabwrite.h"

static int Usage()
{
    fprintf(stderr,
            "usage: makecab [--block=auto|verbatim|aligned|uncompressed] [--window=15..21]\n"
            "               [--no-e8] [--stored] [--no-checksums] [--block-frames=N] OUT.cab FILE...\n");
    return 2;
}

static bool ReadInput(const char* path, CabFileEntry* entry)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD high = 0, low = GetFileSize(file, &high);
    bool ok = high == 0 && low < 0x7FFF0000u;
    if (ok) {
        entry->data.resize(low);
        DWORD done = 0;
        ok = low == 0 || (ReadFile(file, entry->data.data(), low, &done, NULL) && done == low);
    }
    FILETIME written, local;
    WORD date = 0, time = 0;
    if (ok && GetFileTime(file, NULL, NULL, &written) && FileTimeToLocalFileTime(&written, &local))
        FileTimeToDosDateTime(&local, &date, &time);
    CloseHandle(file);
    entry->date = date;
    entry->time = time;
    entry->attributes = FILE_ATTRIBUTE_ARCHIVE;
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    entry->name = name;
    return ok;
}

int main(int argc, char** argv)
{
    CabWriteOptions options;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        const char* a = argv[i];
        if (!strcmp(a, "--block=auto")) options.lzx.blockType = LzxBlockAuto;
        else if (!strcmp(a, "--block=verbatim")) options.lzx.blockType = LzxBlockVerbatim;
        else if (!strcmp(a, "--block=aligned")) options.lzx.blockType = LzxBlockAligned;
        else if (!strcmp(a, "--block=uncompressed")) options.lzx.blockType = LzxBlockUncompressed;
        else if (!strncmp(a, "--window=", 9)) options.lzx.windowBits = atoi(a + 9);
        else if (!strncmp(a, "--block-frames=", 15)) options.lzx.blockFrames = (uint32_t)atoi(a + 15);
        else if (!strcmp(a, "--no-e8")) options.lzx.e8 = false;
        else if (!strcmp(a, "--stored")) options.method = CabMethodStored;
        else if (!strcmp(a, "--no-checksums")) options.checksums = false;
        else return Usage();
    }
    if (argc - i < 2)
        return Usage();
    const char* out = argv[i++];
    std::vector<CabFileEntry> files;
    for (; i < argc; i++) {
        CabFileEntry e;
        if (!ReadInput(argv[i], &e)) {
            fprintf(stderr, "makecab: cannot read %s\n", argv[i]);
            return 1;
        }
        files.push_back(std::move(e));
    }
    std::vector<uint8_t> cab;
    if (!BuildCabinet(files, options, &cab)) {
        fprintf(stderr, "makecab: the files do not fit one cabinet with these options\n");
        return 1;
    }
    FILE* f = fopen(out, "wb");
    if (!f || fwrite(cab.data(), 1, cab.size(), f) != cab.size() || fclose(f) != 0) {
        fprintf(stderr, "makecab: cannot write %s\n", out);
        return 1;
    }
    return 0;
}
