// shellhost: stands in for the desktop shell.  For each file it finds the
// icon handler the way the shell does (class, shellex\IconHandler, the
// CLSID's InprocServer32), loads the module and asks it for the icon.
//   shellhost icon FILE OUT          writes OUT-32.png and OUT-16.png
//   shellhost folder DIR OUT.png [--size N]  draws a folder window's icons, or
//                                 with --size its thumbnails as Explorer's
//                                 thumbnail views do
//   shellhost thumbnail FILE SIZE OUT.png  the type's thumbnail handler's picture
//   shellhost register DLL           writes the registration the installer will
//   shellhost properties FILE... OUTDIR  the shell's Properties dialog, its
//                                 texts, details.png and preview.png
//   shellhost reload                 signals "LumettaReload" as the control panel does
//   shellhost control-panel OUT.png  opens the Display control panel at Lumetta (controlpanel.cpp)
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <thumbcache.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "names.h"
#include "pinning.h"
#include "pngwrite.h"
#include "paths.h"
#include "properties.h"
#include "registration.h"

namespace {

typedef HRESULT(WINAPI* GetClassObjectProc)(REFCLSID, REFIID, void**);
typedef HRESULT(WINAPI* CanUnloadProc)(void);

const int MarkerIndex = (int)0x80000000u;

bool ReadDefault(HKEY root, const std::string& path, std::string* value)
{
    char buffer[MAX_PATH * 2] = {};
    LONG size = sizeof(buffer) - 1;
    if (RegQueryValueA(root, path.c_str(), buffer, &size) != ERROR_SUCCESS)
        return false;
    *value = buffer;
    return true;
}

// ---------------------------------------------------------------- icons
struct IconPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;   // mask applied
};

// The icon's colour with its mask as transparency.  Icons whose colour
// bitmap carries alpha (the system's own) keep that alpha.
bool IconToRgba(HICON icon, bool useAlpha, IconPicture* out)
{
    ICONINFO ii = {};
    if (!icon || !GetIconInfo(icon, &ii))
        return false;
    BITMAP bm = {};
    GetObjectA(ii.hbmMask, sizeof(bm), &bm);
    int w = bm.bmWidth, h = ii.hbmColor ? bm.bmHeight : bm.bmHeight / 2;
    BITMAPINFO bmi = TopDownInfo(w, h);
    std::vector<uint32_t> colour((size_t)w * h), mask((size_t)w * h);
    HDC dc = GetDC(NULL);
    if (ii.hbmColor)
        GetDIBits(dc, ii.hbmColor, 0, h, colour.data(), &bmi, DIB_RGB_COLORS);
    GetDIBits(dc, ii.hbmMask, 0, h, mask.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(NULL, dc);
    bool hasAlpha = false;
    for (uint32_t c : colour)
        hasAlpha |= (c >> 24) != 0;
    out->width = w;
    out->height = h;
    out->rgba.resize((size_t)w * h * 4);
    for (size_t i = 0; i < colour.size(); i++) {
        uint32_t c = colour[i];
        uint8_t* p = &out->rgba[i * 4];
        p[0] = (c >> 16) & 0xFF;
        p[1] = (c >> 8) & 0xFF;
        p[2] = c & 0xFF;
        p[3] = (mask[i] & 0xFFFFFF) ? 0 : 255;
        if (useAlpha && hasAlpha)
            p[3] = c >> 24;
    }
    if (ii.hbmColor)
        DeleteObject(ii.hbmColor);
    DeleteObject(ii.hbmMask);
    return true;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    HANDLE f = CreateFileW(Utf16(WindowsPath(path)).data(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(f);
    return ok && written == bytes.size();
}

bool WritePng(const std::string& path, const IconPicture& picture)
{
    std::vector<uint8_t> png;
    return EncodeRgbaPng(picture.rgba.data(), picture.width, picture.height, &png) &&
           WriteBytes(path, png);
}

// ---------------------------------------------------------------- the shell's road
struct LoadedModule {
    HMODULE module = NULL;
    GetClassObjectProc getClassObject = NULL;
    CanUnloadProc canUnload = NULL;
};

struct ShellIcons {
    std::string location;
    int index = 0;
    UINT flags = 0;
    bool fromHandler = false;   // the handler's own Extract made them
    HICON largeIcon = NULL, smallIcon = NULL;
};

// What the thumbnail road gave: the bitmap as RGBA, and how it got there.
struct ShellThumbnail {
    IconPicture picture;
    std::string handler;        // the CLSID found, empty when none
    HRESULT result = E_FAIL;
    bool alpha = false;         // the handler said WTSAT_ARGB
};

class Shell {
public:
    ~Shell();
    // Gets both icons of a file; always ends with some icon.
    void IconsOf(const std::string& file, ShellIcons* icons);
    // Asks the type's thumbnail handler as Explorer does: created, handed the
    // file as a stream, asked for a picture of up to side x side.
    bool ThumbnailOf(const std::string& file, int side, ShellThumbnail* thumbnail);
    void Finish();

private:
    IClassFactory* FactoryFor(const std::string& clsidText);
    bool HandlerIcons(const std::string& file, ShellIcons* icons);
    LoadedModule* ModuleFor(const std::string& path);
    void ClassIcons(const std::string& file, ShellIcons* icons);

    std::map<std::string, LoadedModule> modules;
    std::map<std::string, std::pair<HICON, HICON>> cache;   // the shell's icon cache
};

Shell::~Shell()
{
    for (auto& entry : cache) {
        if (entry.second.first)
            DestroyIcon(entry.second.first);
        if (entry.second.second)
            DestroyIcon(entry.second.second);
    }
}

LoadedModule* Shell::ModuleFor(const std::string& path)
{
    auto found = modules.find(path);
    if (found != modules.end())
        return &found->second;
    LoadedModule m;
    m.module = LoadLibraryA(path.c_str());
    PinUnderSanitizer(m.module);
    if (!m.module) {
        fprintf(stderr, "shellhost: cannot load %s (error %u)\n", path.c_str(), (unsigned)GetLastError());
        return NULL;
    }
    m.getClassObject = (GetClassObjectProc)GetProcAddress(m.module, "DllGetClassObject");
    m.canUnload = (CanUnloadProc)GetProcAddress(m.module, "DllCanUnloadNow");
    return &(modules[path] = m);
}

IClassFactory* Shell::FactoryFor(const std::string& clsidText)
{
    std::string server;
    if (!ReadDefault(HKEY_CLASSES_ROOT, "CLSID\\" + clsidText + "\\InprocServer32", &server))
        return NULL;
    WCHAR wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, clsidText.c_str(), -1, wide, 64);
    CLSID clsid;
    if (FAILED(CLSIDFromString(wide, &clsid)))
        return NULL;
    LoadedModule* m = ModuleFor(server);
    if (!m || !m->getClassObject)
        return NULL;
    IClassFactory* factory = NULL;
    if (FAILED(m->getClassObject(clsid, IID_IClassFactory, (void**)&factory)))
        return NULL;
    return factory;
}

bool Shell::HandlerIcons(const std::string& file, ShellIcons* icons)
{
    const char* dot = strrchr(file.c_str(), '.');
    std::string className, clsidText;
    if (!dot || !ReadDefault(HKEY_CLASSES_ROOT, dot, &className) || className.empty() ||
        !ReadDefault(HKEY_CLASSES_ROOT, className + "\\shellex\\IconHandler", &clsidText))
        return false;
    IClassFactory* factory = FactoryFor(clsidText);
    if (!factory)
        return false;
    IPersistFile* persist = NULL;
    HRESULT hr = factory->CreateInstance(NULL, IID_IPersistFile, (void**)&persist);
    factory->Release();
    if (FAILED(hr) || !persist)
        return false;
    // The shell hands over the name whole and asks for the wide interface.
    IExtractIconW* extract = NULL;
    if (FAILED(persist->Load(Utf16(file).data(), STGM_READ)) ||
        FAILED(persist->QueryInterface(IID_IExtractIconW, (void**)&extract)) || !extract) {
        persist->Release();
        return false;
    }
    persist->Release();

    WCHAR location[MAX_PATH] = {};
    int index = 0;
    UINT flags = 0;
    hr = extract->GetIconLocation(GIL_FORSHELL, location, MAX_PATH, &index, &flags);
    if (FAILED(hr)) {
        extract->Release();
        return false;
    }
    icons->location = Utf8(location);
    icons->index = index;
    icons->flags = flags;
    std::string key = icons->location + "," + std::to_string(index);
    auto cached = cache.find(key);
    if (cached == cache.end()) {
        HICON largeIcon = NULL, smallIcon = NULL;
        hr = extract->Extract(location, index, &largeIcon, &smallIcon, MAKELONG(32, 16));
        if (hr == S_OK && largeIcon && smallIcon) {
            icons->fromHandler = true;
        } else {
            if (largeIcon)
                DestroyIcon(largeIcon);
            if (smallIcon)
                DestroyIcon(smallIcon);
            largeIcon = smallIcon = NULL;
            ExtractIconExW(location, index, &largeIcon, &smallIcon, 1);
        }
        cached = cache.emplace(key, std::make_pair(largeIcon, smallIcon)).first;
    } else {
        icons->fromHandler = index == MarkerIndex;
    }
    extract->Release();
    icons->largeIcon = cached->second.first;
    icons->smallIcon = cached->second.second;
    return icons->largeIcon || icons->smallIcon;
}

// Without a handler the shell shows the type's DefaultIcon, or its own
// document icon (a folder's icon for directories).
void Shell::ClassIcons(const std::string& file, ShellIcons* icons)
{
    std::string location = "shell32.dll";
    int index = 0;
    DWORD attributes = GetFileAttributesW(Utf16(file).data());
    const char* dot = strrchr(file.c_str(), '.');
    std::string className, value;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        index = 3;
    } else if (dot && ReadDefault(HKEY_CLASSES_ROOT, dot, &className) &&
               ReadDefault(HKEY_CLASSES_ROOT, className + "\\DefaultIcon", &value)) {
        size_t comma = value.rfind(',');
        if (comma != std::string::npos && comma > 0) {
            location = value.substr(0, comma);
            index = atoi(value.c_str() + comma + 1);
        }
    }
    icons->location = location;
    icons->index = index;
    icons->flags = 0;
    ExtractIconExW(Utf16(location).data(), index, &icons->largeIcon, &icons->smallIcon, 1);
    if (!icons->largeIcon || !icons->smallIcon) {
        if (!icons->largeIcon)
            icons->largeIcon = LoadIconA(NULL, (LPCSTR)IDI_APPLICATION);
        if (!icons->smallIcon)
            icons->smallIcon = LoadIconA(NULL, (LPCSTR)IDI_APPLICATION);
    }
    std::string key = file + "|class";
    cache.emplace(key, std::make_pair(icons->largeIcon, icons->smallIcon));
}

void Shell::IconsOf(const std::string& file, ShellIcons* icons)
{
    if (!HandlerIcons(file, icons))
        ClassIcons(file, icons);
}

namespace {

// Explorer looks under the extension first, then under its class.
bool FindThumbnailHandler(const std::string& file, std::string* clsidText)
{
    const char* dot = strrchr(file.c_str(), '.');
    std::string className;
    if (!dot)
        return false;
    if (ReadDefault(HKEY_CLASSES_ROOT, std::string(dot) + "\\" ClassThumbnailHandlerKey, clsidText) &&
        !clsidText->empty())
        return true;
    return ReadDefault(HKEY_CLASSES_ROOT, dot, &className) && !className.empty() &&
           ReadDefault(HKEY_CLASSES_ROOT, className + "\\" ClassThumbnailHandlerKey, clsidText) &&
           !clsidText->empty();
}

// A 32-bit DIB section as RGBA, read top-down through GetDIBits (Wine's
// GetObject does not tell a top-down section from a bottom-up one); alpha
// from the bitmap only when the handler said it has one.
bool BitmapToRgba(HBITMAP bitmap, bool alpha, IconPicture* out)
{
    DIBSECTION dib = {};
    if (GetObjectA(bitmap, sizeof(dib), &dib) != sizeof(dib) || dib.dsBm.bmBitsPixel != 32)
        return false;
    int w = dib.dsBm.bmWidth, h = dib.dsBm.bmHeight;
    BITMAPINFO bmi = TopDownInfo(w, h);
    std::vector<uint32_t> pixels((size_t)w * h);
    HDC dc = GetDC(NULL);
    int rows = GetDIBits(dc, bitmap, 0, h, pixels.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(NULL, dc);
    if (rows != h)
        return false;
    out->width = w;
    out->height = h;
    out->rgba.resize(pixels.size() * 4);
    for (size_t i = 0; i < pixels.size(); i++) {
        uint8_t* p = &out->rgba[i * 4];
        p[0] = (pixels[i] >> 16) & 0xFF;
        p[1] = (pixels[i] >> 8) & 0xFF;
        p[2] = pixels[i] & 0xFF;
        p[3] = alpha ? pixels[i] >> 24 : 255;
    }
    return true;
}

}  // namespace

bool Shell::ThumbnailOf(const std::string& file, int side, ShellThumbnail* thumbnail)
{
    if (!FindThumbnailHandler(file, &thumbnail->handler))
        return false;
    IClassFactory* factory = FactoryFor(thumbnail->handler);
    if (!factory)
        return false;
    IInitializeWithStream* init = NULL;
    thumbnail->result = factory->CreateInstance(NULL, IidInitializeWithStream, (void**)&init);
    factory->Release();
    if (FAILED(thumbnail->result))
        return false;
    IStream* stream = NULL;
    thumbnail->result = SHCreateStreamOnFileEx(Utf16(file).data(), STGM_READ | STGM_SHARE_DENY_NONE,
                                               FILE_ATTRIBUTE_NORMAL, FALSE, NULL, &stream);
    if (SUCCEEDED(thumbnail->result)) {
        thumbnail->result = init->Initialize(stream, STGM_READ);
        stream->Release();
    }
    IThumbnailProvider* provider = NULL;
    if (SUCCEEDED(thumbnail->result))
        thumbnail->result = init->QueryInterface(IidThumbnailProvider, (void**)&provider);
    init->Release();
    if (FAILED(thumbnail->result))
        return false;
    HBITMAP bitmap = NULL;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    thumbnail->result = provider->GetThumbnail((UINT)side, &bitmap, &alpha);
    provider->Release();
    if (FAILED(thumbnail->result) || !bitmap)
        return false;
    thumbnail->alpha = alpha == WTSAT_ARGB;
    bool ok = BitmapToRgba(bitmap, thumbnail->alpha, &thumbnail->picture);
    DeleteObject(bitmap);
    return ok;
}

void Shell::Finish()
{
    for (auto& entry : modules) {
        HRESULT hr = entry.second.canUnload ? entry.second.canUnload() : S_FALSE;
        printf("unload: %s %s\n", entry.first.c_str(), hr == S_OK ? "S_OK" : "S_FALSE");
        if (hr == S_OK)
            FreeLibrary(entry.second.module);
    }
    modules.clear();
}

// ---------------------------------------------------------------- commands
int IconCommand(const std::string& file, const std::string& out)
{
    Shell shell;
    ShellIcons icons;
    shell.IconsOf(WindowsPath(file), &icons);
    printf("location: %s\n", icons.location.c_str());
    printf("index: %d\n", icons.index);
    printf("flags: 0x%x\n", icons.flags);
    printf("thumbnail: %s\n", icons.fromHandler ? "yes" : "no");
    int status = 0;
    IconPicture largeIcon, smallIcon;
    if (!IconToRgba(icons.largeIcon, !icons.fromHandler, &largeIcon) || !WritePng(out + "-32.png", largeIcon))
        status = 1;
    if (!IconToRgba(icons.smallIcon, !icons.fromHandler, &smallIcon) || !WritePng(out + "-16.png", smallIcon))
        status = 1;
    printf("sizes: %dx%d %dx%d\n", largeIcon.width, largeIcon.height, smallIcon.width, smallIcon.height);
    shell.Finish();
    return status;
}

int ThumbnailCommand(const std::string& file, int side, const std::string& out)
{
    Shell shell;
    ShellThumbnail thumbnail;
    bool made = shell.ThumbnailOf(WindowsPath(file), side, &thumbnail);
    printf("handler: %s\n", thumbnail.handler.empty() ? "none" : thumbnail.handler.c_str());
    printf("result: 0x%08x\n", (unsigned)thumbnail.result);
    printf("thumbnail: %s\n", made ? "yes" : "no");
    int status = 1;
    if (made) {
        printf("size: %dx%d\n", thumbnail.picture.width, thumbnail.picture.height);
        printf("alpha: %s\n", thumbnail.alpha ? "argb" : "rgb");
        status = WritePng(out, thumbnail.picture) ? 0 : 1;
    }
    shell.Finish();
    return status;
}

std::vector<std::string> ListFolder(const std::string& dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(Utf16(dir + "\\*").data(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L".."))
            names.push_back(Utf8(fd.cFileName));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return lstrcmpiW(Utf16(a).data(), Utf16(b).data()) < 0;
    });
    return names;
}

// Tahoma has no glyphs for Chinese or Japanese names: those are drawn
// with a font that has.
HFONT FontFor(HDC dc, const WCHAR* name, HFONT font, HFONT fallback)
{
    SelectObject(dc, font);
    int length = lstrlenW(name);
    std::vector<WORD> glyphs(length + 1);
    if (GetGlyphIndicesW(dc, name, length, glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR)
        return font;
    for (int i = 0; i < length; i++) {
        if (glyphs[i] == 0xFFFF)
            return fallback;
    }
    return font;
}

// A white window's picture to draw a folder on, with the names' fonts, and
// written as a PNG when done.
struct FolderCanvas {
    int width, height;
    HDC dc = NULL;
    HBITMAP bitmap = NULL;
    uint32_t* bits = NULL;
    HGDIOBJ oldBitmap = NULL, oldFont = NULL;
    HFONT font = NULL, fallback = NULL;

    FolderCanvas(int w, int h, int fontHeight) : width(w), height(h)
    {
        BITMAPINFO bmi = TopDownInfo(width, height);
        dc = CreateCompatibleDC(NULL);
        bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, (void**)&bits, NULL, 0);
        if (!bitmap)
            return;
        oldBitmap = SelectObject(dc, bitmap);
        RECT all = {0, 0, width, height};
        FillRect(dc, &all, (HBRUSH)GetStockObject(WHITE_BRUSH));
        font = CreateFontA(-fontHeight, 0, 0, 0, FW_NORMAL, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, "Tahoma");
        fallback = CreateFontA(-fontHeight, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0,
                               "WenQuanYi Micro Hei");
        oldFont = SelectObject(dc, font);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(0, 0, 0));
    }
    ~FolderCanvas()
    {
        if (bitmap) {
            SelectObject(dc, oldFont);
            SelectObject(dc, oldBitmap);
            DeleteObject(font);
            DeleteObject(fallback);
            DeleteObject(bitmap);
        }
        DeleteDC(dc);
    }
    bool Ready() const { return bitmap != NULL; }
    // A name under or beside its picture, in a font that has its glyphs.
    void DrawName(const std::string& name, RECT* box, UINT format)
    {
        std::vector<WCHAR> wide = Utf16(name);
        SelectObject(dc, FontFor(dc, wide.data(), font, fallback));
        DrawTextW(dc, wide.data(), -1, box, format | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
    bool Write(const std::string& path)
    {
        GdiFlush();
        IconPicture picture;
        picture.width = width;
        picture.height = height;
        picture.rgba.resize((size_t)width * height * 4);
        for (size_t i = 0; i < (size_t)width * height; i++) {
            picture.rgba[i * 4] = (bits[i] >> 16) & 0xFF;
            picture.rgba[i * 4 + 1] = (bits[i] >> 8) & 0xFF;
            picture.rgba[i * 4 + 2] = bits[i] & 0xFF;
            picture.rgba[i * 4 + 3] = 255;
        }
        return WritePng(path, picture);
    }
};

// A white folder window: large icons with their names under them, then a
// list of small icons.
int FolderCommand(const std::string& dirArg, const std::string& out)
{
    std::string dir = WindowsPath(dirArg);
    std::vector<std::string> names = ListFolder(dir);
    const int cellW = 96, cellH = 76, columns = 8, smallW = 192, smallH = 20;
    int rows = ((int)names.size() + columns - 1) / columns;
    int smallRows = ((int)names.size() + 3) / 4;
    FolderCanvas canvas(columns * cellW + 16, 16 + rows * cellH + 24 + smallRows * smallH + 16, 11);
    if (!canvas.Ready()) {
        fprintf(stderr, "shellhost: no canvas\n");
        return 1;
    }
    Shell shell;
    int thumbnails = 0;
    for (size_t i = 0; i < names.size(); i++) {
        ShellIcons icons;
        shell.IconsOf(dir + "\\" + names[i], &icons);
        thumbnails += icons.fromHandler;
        int cx = 8 + (int)(i % columns) * cellW, cy = 16 + (int)(i / columns) * cellH;
        DrawIconEx(canvas.dc, cx + (cellW - 32) / 2, cy, icons.largeIcon, 32, 32, 0, NULL, DI_NORMAL);
        RECT text = {cx + 2, cy + 36, cx + cellW - 2, cy + cellH - 2};
        canvas.DrawName(names[i], &text, DT_CENTER | DT_WORDBREAK | DT_EDITCONTROL);
        int sx = 8 + (int)(i % 4) * smallW, sy = 16 + rows * cellH + 24 + (int)(i / 4) * smallH;
        DrawIconEx(canvas.dc, sx, sy + 2, icons.smallIcon, 16, 16, 0, NULL, DI_NORMAL);
        RECT line = {sx + 20, sy + 3, sx + smallW - 4, sy + smallH};
        canvas.DrawName(names[i], &line, DT_LEFT | DT_SINGLELINE);
        printf("%s: %s\n", names[i].c_str(), icons.fromHandler ? "thumbnail" : "type icon");
    }
    printf("files: %d thumbnails: %d\n", (int)names.size(), thumbnails);
    shell.Finish();
    return canvas.Write(out) ? 0 : 1;
}

// Lays an RGBA picture over a checkerboard (where it is transparent) at
// (left, top) of a top-down 32-bit canvas.
void DrawOverCheckerboard(uint32_t* canvas, int canvasWidth, const IconPicture& picture, int left,
                          int top)
{
    for (int y = 0; y < picture.height; y++) {
        for (int x = 0; x < picture.width; x++) {
            const uint8_t* p = &picture.rgba[((size_t)y * picture.width + x) * 4];
            uint32_t board = ((x / 8 + y / 8) & 1) ? 0xCC : 0xFF;
            uint32_t out = 0;
            for (int c = 0; c < 3; c++) {
                uint32_t v = (p[c] * p[3] + board * (255 - p[3]) + 127) / 255;
                out |= v << (16 - 8 * c);
            }
            canvas[(size_t)(top + y) * canvasWidth + left + x] = out;
        }
    }
}

// Explorer's thumbnail views: each file's thumbnail fitted into side x side
// at the bottom of its cell, the type's icon for a file without one, the
// name below.
int ThumbnailFolderCommand(const std::string& dirArg, const std::string& out, int side)
{
    std::string dir = WindowsPath(dirArg);
    std::vector<std::string> names = ListFolder(dir);
    const int cellW = side + 24, cellH = side + 48;
    const int columns = std::max(1, 1040 / cellW);
    int rows = std::max(1, ((int)names.size() + columns - 1) / columns);
    FolderCanvas canvas(columns * cellW + 16, rows * cellH + 24, 12);
    if (!canvas.Ready()) {
        fprintf(stderr, "shellhost: no canvas\n");
        return 1;
    }
    Shell shell;
    int thumbnails = 0;
    for (size_t i = 0; i < names.size(); i++) {
        int cx = 8 + (int)(i % columns) * cellW, cy = 12 + (int)(i / columns) * cellH;
        ShellThumbnail thumbnail;
        bool made = shell.ThumbnailOf(dir + "\\" + names[i], side, &thumbnail) &&
                    thumbnail.picture.width <= side && thumbnail.picture.height <= side;
        GdiFlush();
        if (made) {
            thumbnails++;
            DrawOverCheckerboard(canvas.bits, canvas.width, thumbnail.picture,
                                 cx + (cellW - thumbnail.picture.width) / 2,
                                 cy + side - thumbnail.picture.height);
            printf("%s: thumbnail %dx%d%s\n", names[i].c_str(), thumbnail.picture.width,
                   thumbnail.picture.height, thumbnail.alpha ? " with alpha" : "");
        } else {
            ShellIcons icons;
            shell.IconsOf(dir + "\\" + names[i], &icons);
            int iconSide = std::min(side, 48);
            DrawIconEx(canvas.dc, cx + (cellW - iconSide) / 2, cy + side - iconSide, icons.largeIcon,
                       iconSide, iconSide, 0, NULL, DI_NORMAL);
            printf("%s: type icon\n", names[i].c_str());
        }
        RECT text = {cx + 2, cy + side + 4, cx + cellW - 2, cy + cellH - 2};
        canvas.DrawName(names[i], &text, DT_CENTER | DT_WORDBREAK | DT_EDITCONTROL);
    }
    printf("files: %d thumbnails: %d\n", (int)names.size(), thumbnails);
    shell.Finish();
    return canvas.Write(out) ? 0 : 1;
}

// ---------------------------------------------------------------- registration
// What the installer writes for the classes and what the library writes for
// the file types, both from the product's registration table.
int RegisterCommand(const std::string& dllArg)
{
    std::string dll = WindowsPath(dllArg);
    RegistryPlaces places = {};
    places.module = dll.c_str();
    bool ok = WriteRegistryEntries(RegGroupClasses | RegGroupShellLists | RegGroupFileTypes, places);
    // This prefix's shell draws high-colour icons: without the depth the
    // library would ask its question in every process.
    HKEY metrics;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop\\WindowMetrics", 0, NULL, 0,
                        KEY_ALL_ACCESS, NULL, &metrics, NULL) == ERROR_SUCCESS) {
        char depth[16] = {};
        DWORD size = sizeof(depth) - 1;
        if (RegQueryValueExA(metrics, "Shell Icon BPP", NULL, NULL, (BYTE*)depth, &size) != ERROR_SUCCESS ||
            depth[0] == 0)
            ok &= RegSetValueExA(metrics, "Shell Icon BPP", 0, REG_SZ, (const BYTE*)"32", 3) == ERROR_SUCCESS;
        RegCloseKey(metrics);
    } else {
        ok = false;
    }
    printf("registered %s\n", dll.c_str());
    return ok ? 0 : 1;
}

int ReloadCommand()
{
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, ReloadEventName);
    if (!event)
        return 1;
    SetEvent(event);
    CloseHandle(event);
    return 0;
}

int Usage()
{
    fprintf(stderr,
            "usage: shellhost icon FILE OUT\n"
            "       shellhost folder DIR OUT.png [--size N]\n"
            "       shellhost thumbnail FILE SIZE OUT.png\n"
            "       shellhost register DLL\n"
            "       shellhost reload\n"
            "       shellhost control-panel OUT.png\n");
    return 2;
}

}  // namespace

int ControlPanelCommand(const std::string& out);

// Names come in UTF-16, as the shell has them, and go on in UTF-8.
extern "C" int wmain(int argc, wchar_t** wargv)
{
    std::vector<std::string> argv;
    for (int i = 0; i < argc; i++)
        argv.push_back(Utf8(wargv[i]));
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    CoInitialize(NULL);
    int status;
    if (command == "icon" && argc == 4)
        status = IconCommand(argv[2], argv[3]);
    else if (command == "folder" && argc == 4)
        status = FolderCommand(argv[2], argv[3]);
    else if (command == "folder" && argc == 6 && argv[4] == "--size" && atoi(argv[5].c_str()) > 0)
        status = ThumbnailFolderCommand(argv[2], argv[3], atoi(argv[5].c_str()));
    else if (command == "thumbnail" && argc == 5 && atoi(argv[3].c_str()) > 0)
        status = ThumbnailCommand(argv[2], atoi(argv[3].c_str()), argv[4]);
    else if (command == "register" && argc == 3)
        status = RegisterCommand(argv[2]);
    else if (command == "properties" && argc >= 4)
        status = PropertiesCommand(std::vector<std::string>(argv.begin() + 2, argv.end() - 1), argv[argc - 1]);
    else if (command == "reload" && argc == 2)
        status = ReloadCommand();
    else if (command == "control-panel" && argc == 3)
        status = ControlPanelCommand(argv[2]);
    else
        status = Usage();
    CoUninitialize();
    return status;
}
