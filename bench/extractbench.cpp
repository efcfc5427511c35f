// extractbench: the whole thumbnail road as the shell runs it, in-process:
// Lumetta.dll's class factory, IPersistFile::Load, GetIconLocation and
// Extract of both icons, for every file of a folder; or with --thumbnail
// the thumbnail handler's road as today's Explorer takes it (the file as a
// stream, IInitializeWithStream, GetThumbnail of N pixels).  Prints the
// median and mean milliseconds per file.
//   extractbench DLL DIR [--reps N] [--thumbnail N]
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <thumbcache.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clock.h"
#include "registration.h"

namespace {

typedef HRESULT(WINAPI* GetClassObjectProc)(REFCLSID, REFIID, void**);

std::string WindowsPath(std::string p)
{
    if (!p.empty() && p[0] == '/')
        p = "Z:" + p;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

// A new object of the class through its factory, as the shell makes one;
// null when it cannot be had.
void* CreateObject(GetClassObjectProc getClassObject, REFCLSID clsid, REFIID iid)
{
    IClassFactory* factory = NULL;
    if (FAILED(getClassObject(clsid, IID_IClassFactory, (void**)&factory)))
        return NULL;
    void* object = NULL;
    factory->CreateInstance(NULL, iid, &object);
    factory->Release();
    return object;
}

// One file through the shell's calls; false when no thumbnail came.
bool IconsFor(GetClassObjectProc getClassObject, const std::string& file)
{
    IPersistFile* persist =
        (IPersistFile*)CreateObject(getClassObject, CLSID_LumettaIcons, IID_IPersistFile);
    if (!persist)
        return false;
    WCHAR wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    persist->Load(wide, STGM_READ);
    IExtractIconA* extract = NULL;
    persist->QueryInterface(IID_IExtractIconA, (void**)&extract);
    persist->Release();
    if (!extract)
        return false;
    char location[MAX_PATH];
    int index = 0;
    UINT flags = 0;
    extract->GetIconLocation(GIL_FORSHELL, location, sizeof(location), &index, &flags);
    HICON largeIcon = NULL, smallIcon = NULL;
    HRESULT hr = extract->Extract(location, index, &largeIcon, &smallIcon, MAKELONG(32, 16));
    extract->Release();
    if (largeIcon)
        DestroyIcon(largeIcon);
    if (smallIcon)
        DestroyIcon(smallIcon);
    return hr == S_OK && largeIcon && smallIcon;
}

// Time spent handing the stream over (reading it whole), in milliseconds.
double initialising = 0;

bool ThumbnailFor(GetClassObjectProc getClassObject, const std::string& file, UINT side)
{
    IInitializeWithStream* init = (IInitializeWithStream*)CreateObject(
        getClassObject, CLSID_LumettaThumbnails, IidInitializeWithStream);
    if (!init)
        return false;
    WCHAR wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    IStream* stream = NULL;
    HRESULT hr = SHCreateStreamOnFileEx(wide, STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL,
                                        FALSE, NULL, &stream);
    if (SUCCEEDED(hr)) {
        double t0 = Now();
        hr = init->Initialize(stream, STGM_READ);
        initialising += Now() - t0;
        stream->Release();
    }
    IThumbnailProvider* provider = NULL;
    if (SUCCEEDED(hr))
        init->QueryInterface(IidThumbnailProvider, (void**)&provider);
    init->Release();
    if (!provider)
        return false;
    HBITMAP bitmap = NULL;
    WTS_ALPHATYPE alpha;
    hr = provider->GetThumbnail(side, &bitmap, &alpha);
    provider->Release();
    if (bitmap)
        DeleteObject(bitmap);
    return hr == S_OK && bitmap;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: extractbench DLL DIR [--reps N] [--thumbnail N]\n");
        return 2;
    }
    int reps = 1, side = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--reps"))
            reps = atoi(argv[i + 1]) > 0 ? atoi(argv[i + 1]) : 1;
        else if (!strcmp(argv[i], "--thumbnail"))
            side = atoi(argv[i + 1]) > 0 ? atoi(argv[i + 1]) : 0;
    }
    if (side)
        CoInitialize(NULL);
    HMODULE module = LoadLibraryA(WindowsPath(argv[1]).c_str());
    GetClassObjectProc getClassObject =
        module ? (GetClassObjectProc)GetProcAddress(module, "DllGetClassObject") : NULL;
    if (!getClassObject) {
        fprintf(stderr, "extractbench: cannot load %s\n", argv[1]);
        return 1;
    }
    std::string dir = WindowsPath(argv[2]);
    std::vector<std::string> files;
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files.push_back(dir + "\\" + fd.cFileName);
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    std::sort(files.begin(), files.end());

    std::vector<double> times;
    int thumbnails = 0;
    double total = 0;
    for (int r = 0; r < reps; r++) {
        for (auto& f : files) {
            double t0 = Now();
            thumbnails += side ? ThumbnailFor(getClassObject, f, (UINT)side) : IconsFor(getClassObject, f);
            double t = Now() - t0;
            times.push_back(t);
            total += t;
        }
    }
    if (times.empty()) {
        fprintf(stderr, "extractbench: no files\n");
        return 1;
    }
    std::sort(times.begin(), times.end());
    printf("files: %d reps: %d thumbnails: %d\n", (int)files.size(), reps, thumbnails);
    printf("extract median ms/file: %.2f\n", times[times.size() / 2]);
    printf("extract mean ms/file: %.2f\n", total / times.size());
    if (side)
        printf("of which Initialize mean ms/file: %.2f\n", initialising / times.size());
    FreeLibrary(module);
    return 0;
}
