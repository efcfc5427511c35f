#include "testing.h"

#include <psapi.h>
#include <algorithm>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "iconhandler.h"
#include "lumetta.h"
#include "pinning.h"
#include "resource.h"

namespace {

typedef HRESULT(WINAPI* GetClassObjectProc)(REFCLSID, REFIID, void**);
typedef HRESULT(WINAPI* CanUnloadProc)(void);

const char WindowMetrics[] = "Control Panel\\Desktop\\WindowMetrics";

std::string BuildPath(const std::string& name)
{
    const char* base = getenv("LUMETTA_BUILD");
    std::string path = std::string("Z:") + (base ? base : ".") + "/" + name;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// Wide names for the shell's interfaces, kept out of std::wstring: the host
// runtime's wide characters are not WCHAR.
struct WideName {
    WCHAR text[MAX_PATH * 2] = {};
    const WCHAR* c_str() const { return text; }
};

WideName Wide(const std::string& s)
{
    WideName name;
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, name.text, MAX_PATH * 2);
    return name;
}

std::string Shell(const std::string& name) { return TestDataPath("shellext/" + name); }

void SetDword(HKEY root, const char* key, const char* name, DWORD value)
{
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &k, NULL));
    RegSetValueExA(k, name, 0, REG_DWORD, (const BYTE*)&value, 4);
    RegCloseKey(k);
}

void SetValue(HKEY root, const char* key, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &k, NULL));
    RegSetValueExA(k, name, 0, type, (const BYTE*)data, size);
    RegCloseKey(k);
}

void DeleteValue(HKEY root, const char* key, const char* name)
{
    HKEY k;
    if (RegOpenKeyExA(root, key, 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
        RegDeleteValueA(k, name);
        RegCloseKey(k);
    }
}

void ClearProductKey()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProductKey);
    DeleteValue(HKEY_CURRENT_USER, ProductKey, "HighColorNoAsk");
}

// Lumetta.dll loaded as the shell loads it, through its two exports.
struct Module {
    HMODULE module = NULL;
    GetClassObjectProc getClassObject = NULL;
    CanUnloadProc canUnload = NULL;
    Module()
    {
        module = LoadLibraryA(BuildPath("shellext/Lumetta.dll").c_str());
        // A pinned module keeps the settings it read when it was first
        // loaded: the reload signal has them read again, as a new load would.
        if (PinUnderSanitizer(module)) {
            HANDLE reload = OpenEventA(EVENT_MODIFY_STATE, FALSE, ReloadEventName);
            SetEvent(reload);
            CloseHandle(reload);
        }
        if (module) {
            getClassObject = (GetClassObjectProc)GetProcAddress(module, "DllGetClassObject");
            canUnload = (CanUnloadProc)GetProcAddress(module, "DllCanUnloadNow");
        }
    }
    ~Module()
    {
        if (module)
            FreeLibrary(module);
    }
    IExtractIconA* IconFor(const std::string& file)
    {
        IClassFactory* factory = NULL;
        if (FAILED(getClassObject(CLSID_LumettaIcons, IID_IClassFactory, (void**)&factory)))
            return NULL;
        IPersistFile* persist = NULL;
        factory->CreateInstance(NULL, IID_IPersistFile, (void**)&persist);
        factory->Release();
        if (!persist)
            return NULL;
        persist->Load(Wide(file).c_str(), STGM_READ);
        IExtractIconA* extract = NULL;
        persist->QueryInterface(IID_IExtractIconA, (void**)&extract);
        persist->Release();
        return extract;
    }
};

// Names of the files mapped into this process.
std::vector<std::string> MappedFiles()
{
    std::vector<std::string> names;
    MEMORY_BASIC_INFORMATION mbi;
    for (BYTE* p = NULL; VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi);
         p = (BYTE*)mbi.BaseAddress + mbi.RegionSize) {
        if (mbi.Type == MEM_MAPPED && mbi.State == MEM_COMMIT && mbi.BaseAddress == mbi.AllocationBase) {
            char name[MAX_PATH] = {};
            if (GetMappedFileNameA(GetCurrentProcess(), mbi.BaseAddress, name, sizeof(name)))
                names.push_back(name);
        }
        if ((BYTE*)mbi.BaseAddress + mbi.RegionSize < p)
            break;
    }
    return names;
}

int CountMapped(const char* part)
{
    int n = 0;
    for (auto& name : MappedFiles())
        n += strstr(name.c_str(), part) != NULL;
    return n;
}

struct IconPixels {
    int width = 0, height = 0;
    std::vector<uint32_t> colour, mask;
};

IconPixels PixelsOf(HICON icon)
{
    IconPixels out;
    ICONINFO ii = {};
    if (!icon || !GetIconInfo(icon, &ii))
        return out;
    BITMAP bm = {};
    GetObjectA(ii.hbmMask, sizeof(bm), &bm);
    out.width = bm.bmWidth;
    out.height = ii.hbmColor ? bm.bmHeight : bm.bmHeight / 2;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = out.width;
    bmi.bmiHeader.biHeight = -out.height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    out.colour.resize(out.width * out.height);
    out.mask.resize(out.width * out.height);
    HDC dc = GetDC(NULL);
    if (ii.hbmColor)
        GetDIBits(dc, ii.hbmColor, 0, out.height, out.colour.data(), &bmi, DIB_RGB_COLORS);
    GetDIBits(dc, ii.hbmMask, 0, out.height, out.mask.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(NULL, dc);
    if (ii.hbmColor)
        DeleteObject(ii.hbmColor);
    DeleteObject(ii.hbmMask);
    return out;
}

class ShellExt : public ::testing::Test {
protected:
    void SetUp() override { ClearProductKey(); }
    void TearDown() override
    {
        ClearProductKey();
        SetValue(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon BPP", REG_SZ, "32", 3);
    }
};

// ---------------------------------------------------------------- COM lifetimes
TEST_F(ShellExt, FactoryRefusesWhatItDoesNotMake)
{
    Module m;
    ASSERT_TRUE(m.getClassObject && m.canUnload);
    EXPECT_EQ(S_OK, m.canUnload());

    void* p = (void*)1;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m.getClassObject(IID_IUnknown, IID_IClassFactory, &p));
    EXPECT_EQ(nullptr, p);
    p = (void*)1;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m.getClassObject(CLSID_LumettaIcons, IID_IExtractIconA, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(S_OK, m.canUnload());

    IClassFactory* factory = NULL;
    ASSERT_EQ(S_OK, m.getClassObject(CLSID_LumettaIcons, IID_IClassFactory, (void**)&factory));
    EXPECT_EQ(S_FALSE, m.canUnload());
    p = (void*)1;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance((IUnknown*)factory, IID_IUnknown, &p));
    EXPECT_EQ(nullptr, p);
    p = (void*)1;
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(NULL, IID_IShellExtInit, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_FAIL, factory->LockServer(TRUE));
    EXPECT_EQ(2u, factory->AddRef());
    EXPECT_EQ(1u, factory->Release());
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(S_OK, m.canUnload());
}

TEST_F(ShellExt, ObjectsLiveUntilTheirLastRelease)
{
    Module m;
    ASSERT_TRUE(m.getClassObject);
    const GUID* classes[] = {&CLSID_LumettaIcons, &CLSID_LumettaPropertySheet, &CLSID_LumettaDisplayPage};
    const IID* firsts[] = {&IID_IExtractIconA, &IID_IShellPropSheetExt, &IID_IShellPropSheetExt};
    const IID* seconds[] = {&IID_IPersistFile, &IID_IShellExtInit, &IID_IShellExtInit};
    for (int i = 0; i < 3; i++) {
        IClassFactory* factory = NULL;
        ASSERT_EQ(S_OK, m.getClassObject(*classes[i], IID_IUnknown, (void**)&factory));
        IUnknown* first = NULL;
        ASSERT_EQ(S_OK, factory->CreateInstance(NULL, *firsts[i], (void**)&first));
        EXPECT_EQ(0u, factory->Release());
        EXPECT_EQ(S_FALSE, m.canUnload());
        IUnknown* second = NULL;
        ASSERT_EQ(S_OK, first->QueryInterface(*seconds[i], (void**)&second));
        EXPECT_EQ((BYTE*)first + sizeof(void*), (BYTE*)second);
        IUnknown* unknown = NULL;
        ASSERT_EQ(S_OK, second->QueryInterface(IID_IUnknown, (void**)&unknown));
        EXPECT_EQ(first, unknown);
        void* none = (void*)1;
        EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IClassFactory, &none));
        EXPECT_EQ(nullptr, none);
        EXPECT_EQ(4u, first->AddRef());
        EXPECT_EQ(3u, unknown->Release());
        EXPECT_EQ(2u, second->Release());
        EXPECT_EQ(1u, first->Release());
        EXPECT_EQ(S_FALSE, m.canUnload());
        EXPECT_EQ(0u, first->Release());
        EXPECT_EQ(S_OK, m.canUnload());
    }
}

TEST_F(ShellExt, SecondLoadLeavesOnlyTheSecondFileMapped)
{
    Module m;
    IClassFactory* factory = NULL;
    ASSERT_EQ(S_OK, m.getClassObject(CLSID_LumettaIcons, IID_IClassFactory, (void**)&factory));
    IPersistFile* persist = NULL;
    ASSERT_EQ(S_OK, factory->CreateInstance(NULL, IID_IPersistFile, (void**)&persist));
    factory->Release();
    EXPECT_EQ(S_FALSE, persist->IsDirty());
    CLSID id;
    EXPECT_EQ(E_FAIL, persist->GetClassID(&id));
    EXPECT_EQ(S_OK, persist->Load(Wide(Shell("first.bmp")).c_str(), 0));
    EXPECT_EQ(1, CountMapped("first.bmp"));
    EXPECT_EQ(S_OK, persist->Load(Wide(Shell("second.bmp")).c_str(), 0));
    EXPECT_EQ(0, CountMapped("first.bmp"));
    EXPECT_EQ(1, CountMapped("second.bmp"));
    persist->Release();
    EXPECT_EQ(0, CountMapped("second.bmp"));
}

// ---------------------------------------------------------------- registration
// The table's file types and the library's strings (shown by the pages) name
// the same extensions and types, in the same order.
TEST_F(ShellExt, FileTypeRowsMatchTheLibraryStrings)
{
    for (int i = 0; i < FileTypeCount; i++) {
        const FileTypeRow& row = FileTypes[i];
        EXPECT_EQ(row.family, (uint32_t)(i + 1));
        char text[256] = {};
        ASSERT_GT(LoadStringA(GetModuleHandleA(NULL), row.stringId, text, sizeof(text)), 0) << i;
        std::string patterns(text, strcspn(text, "\n")), expected;
        for (const char* p = row.extensions; *p;) {
            size_t n = strcspn(p, " ");
            expected += (expected.empty() ? "*" : ";*") + std::string(p, n);
            p += n + (p[n] == ' ');
        }
        EXPECT_EQ(patterns, expected);
        EXPECT_STREQ(strrchr(text, '\n') + 1, row.typeName);
    }
}

TEST_F(ShellExt, RegistryTextsExpandTheirPlaces)
{
    RegistryPlaces places = {};
    places.module = "C:\\Lumetta\\System\\Lumetta.dll";
    char out[MAX_PATH];
    ASSERT_TRUE(ExpandRegistryText("CLSID\\{icons}\\InprocServer32", places, out, sizeof(out)));
    EXPECT_STREQ(out, "CLSID\\{4f7a2c12-6b3e-4d85-9a1c-72e5b0d3f861}\\InprocServer32");
    ASSERT_TRUE(ExpandRegistryText("{module},0", places, out, sizeof(out)));
    EXPECT_STREQ(out, "C:\\Lumetta\\System\\Lumetta.dll,0");
    EXPECT_FALSE(ExpandRegistryText("{nowhere}", places, out, sizeof(out)));
    EXPECT_FALSE(ExpandRegistryText("{module},0", places, out, 12));
    // Every entry names only known places and fits.
    places.uninstaller = places.fileClass = places.typeName = places.extension = "x";
    for (int i = 0; i < RegistryEntryCount; i++) {
        const RegistryEntry& e = RegistryEntries[i];
        EXPECT_TRUE(ExpandRegistryText(e.key, places, out, sizeof(out))) << e.key;
        EXPECT_TRUE(ExpandRegistryText(e.data, places, out, sizeof(out))) << e.data;
        if (e.value)
            EXPECT_TRUE(ExpandRegistryText(e.value, places, out, sizeof(out))) << e.value;
    }
}

// The shell host's registration (the test data's fixture) bound each class
// and the image types through the table.
TEST_F(ShellExt, RegistrationFromTheTable)
{
    for (const ProductClass& c : ProductClasses) {
        char model[32] = {};
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT,
                                              ("CLSID\\" + std::string(c.text) + "\\InprocServer32").c_str(),
                                              0, KEY_READ, &k)) << c.text;
        DWORD got = sizeof(model) - 1;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "ThreadingModel", NULL, NULL, (BYTE*)model, &got));
        RegCloseKey(k);
        EXPECT_STREQ(model, "Apartment");
    }
    char fileClass[MAX_PATH] = {}, handler[64] = {};
    LONG size = sizeof(fileClass);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueA(HKEY_CLASSES_ROOT, ".gif", fileClass, &size));
    size = sizeof(handler);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueA(HKEY_CLASSES_ROOT,
                                            (std::string(fileClass) + "\\shellex\\IconHandler").c_str(),
                                            handler, &size));
    EXPECT_STREQ(handler, ProductClasses[0].text);
}

// ---------------------------------------------------------------- settings
TEST_F(ShellExt, SettingsFromTheProductKey)
{
    Settings.enabled = 1;
    Settings.borderWidth[3] = 9;
    EXPECT_NE(ERROR_SUCCESS, LoadSettings());
    for (int i = 0; i < FamilyCount; i++) {
        EXPECT_EQ(1, Settings.borderWidth[i]);
        EXPECT_EQ(0u, Settings.borderColor[i]);
        EXPECT_EQ(1, Settings.enabledTypes[i]);
    }
    EXPECT_EQ(1, Settings.enabled);

    // Short values fill only their first bytes.
    BYTE types[3] = {0, 1, 0};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, types, 3);
    int32_t icon[2] = {2, 0x123456};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, icon, 8);
    EXPECT_EQ(ERROR_SUCCESS, LoadSettings());
    BYTE expectTypes[7] = {0, 1, 0, 1, 1, 1, 1};
    EXPECT_EQ(0, memcmp(expectTypes, Settings.enabledTypes, 7));
    EXPECT_EQ(2, Settings.borderWidth[0]);
    EXPECT_EQ(0x123456, Settings.borderWidth[1]);
    EXPECT_EQ(1, Settings.borderWidth[2]);

    // Long values are not read at all.
    BYTE longTypes[9] = {};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, longTypes, 9);
    BYTE longIcon[68] = {};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, longIcon, 68);
    LoadSettings();
    for (int i = 0; i < FamilyCount; i++) {
        EXPECT_EQ(1, Settings.enabledTypes[i]);
        EXPECT_EQ(1, Settings.borderWidth[i]);
    }

    // The previous version's values, of seven types: WebP keeps its defaults.
    BYTE oldTypes[7] = {0, 0, 0, 0, 0, 0, 0};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, oldTypes, 7);
    int32_t oldIcon[14] = {2, 2, 2, 2, 2, 2, 0, 5, 5, 5, 5, 5, 5, 0x654321};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, oldIcon, sizeof(oldIcon));
    LoadSettings();
    EXPECT_EQ(0, Settings.enabledTypes[FamilyJpeg - 1]);
    EXPECT_EQ(1, Settings.enabledTypes[FamilyWebp - 1]);
    EXPECT_EQ(0, Settings.borderWidth[FamilyJpeg - 1]);
    EXPECT_EQ(0x654321u, Settings.borderColor[FamilyJpeg - 1]);
    EXPECT_EQ(1, Settings.borderWidth[FamilyWebp - 1]);
    EXPECT_EQ(0u, Settings.borderColor[FamilyWebp - 1]);

    // "Enabled" 0 switches off; without the value it stays off.
    SetDword(HKEY_LOCAL_MACHINE, ProductKey, "Enabled", 0);
    LoadSettings();
    EXPECT_EQ(0, Settings.enabled);
    DeleteValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled");
    LoadSettings();
    EXPECT_EQ(0, Settings.enabled);
    SetDword(HKEY_LOCAL_MACHINE, ProductKey, "Enabled", 7);
    LoadSettings();
    EXPECT_EQ(1, Settings.enabled);

    DWORD value = 0;
    EXPECT_TRUE(WriteProductValue(HKEY_CURRENT_USER, "Custom Colors", REG_DWORD, "\x05\0\0\0", 4));
    EXPECT_TRUE(ReadProductValue(HKEY_CURRENT_USER, "Custom Colors", &value, 4));
    EXPECT_EQ(5u, value);
    EXPECT_FALSE(ReadProductValue(HKEY_CURRENT_USER, "Missing", &value, 4));
    DeleteValue(HKEY_CURRENT_USER, ProductKey, "Custom Colors");
}

TEST_F(ShellExt, ShellIconDepthDecidesWithoutAsking)
{
    moduleInstance = GetModuleHandleA(NULL);
    const char* high[] = {"16", "24", "32", "1 6", "x1y6"};
    for (const char* text : high) {
        SetValue(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon BPP", REG_SZ, text, strlen(text) + 1);
        EXPECT_FALSE(ShellDrawsLowColorIcons()) << text;
    }
    // Low depths would ask, but the user said not to.
    SetDword(HKEY_CURRENT_USER, ProductKey, "HighColorNoAsk", 1);
    const char* low[] = {"8", "4", ""};
    for (const char* text : low) {
        SetValue(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon BPP", REG_SZ, text, strlen(text) + 1);
        EXPECT_TRUE(ShellDrawsLowColorIcons()) << text;
    }
    SetDword(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon BPP", 32);
    EXPECT_TRUE(ShellDrawsLowColorIcons());
}

// The answering side: waits for the question, ticks the box if asked,
// presses a button, then confirms the restart notice if one comes.
struct Answer {
    WORD button;
    bool tick;
    bool sawDialog = false;
    bool sawNotice = false;
    int patience = 1200;                   // looks, 50 ms apart: a first window in a
                                           // new prefix, beside other tests, can take
                                           // more than ten seconds
    volatile LONG* loaded = nullptr;       // read when the question comes
    LONG loadedWhenAsked = 0;
};

DWORD WINAPI AnswerQuestion(LPVOID param)
{
    Answer* a = (Answer*)param;
    HWND dialog = NULL;
    for (int i = 0; i < a->patience && !dialog; i++) {
        dialog = FindWindowA(NULL, "High-Color Icons");
        if (!dialog || !GetDlgItem(dialog, IDC_HIGHCOLOR_NOASK)) {
            dialog = NULL;
            Sleep(50);
        }
    }
    if (!dialog)
        return 1;
    a->sawDialog = true;
    if (a->loaded)
        a->loadedWhenAsked = *a->loaded;
    if (a->tick)
        SendMessageA(GetDlgItem(dialog, IDC_HIGHCOLOR_NOASK), BM_CLICK, 0, 0);
    if (a->button == IDCANCEL)
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    else
        PostMessageA(GetDlgItem(dialog, a->button), BM_CLICK, 0, 0);
    if (a->button != IDYES)
        return 0;
    for (int i = 0; i < 200; i++) {
        HWND notice = FindWindowA(NULL, "High-Color Icons");
        if (notice && notice != dialog && !GetDlgItem(notice, IDC_HIGHCOLOR_NOASK)) {
            a->sawNotice = true;
            PostMessageA(notice, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(50);
    }
    return 1;
}

bool RunQuestion(Answer* answer)
{
    HANDLE t = CreateThread(NULL, 0, AnswerQuestion, answer, 0, NULL);
    bool result = ShellDrawsLowColorIcons();
    // The answer lives in the caller's frame: its thread, whose looks are
    // counted, must have ended before that frame does.
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    return result;
}

std::string ShellDepthText()
{
    char text[16] = {};
    LONG size = sizeof(text);
    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, WindowMetrics, 0, KEY_READ, &k) == ERROR_SUCCESS) {
        DWORD s = sizeof(text) - 1;
        RegQueryValueExA(k, "Shell Icon BPP", NULL, NULL, (BYTE*)text, &s);
        RegCloseKey(k);
    }
    (void)size;
    return text;
}

TEST_F(ShellExt, HighColourQuestionOnARealWindow)
{
    if (!getenv("DISPLAY"))
        GTEST_SKIP() << "no display";
    // With the sanitizer preloaded into every Wine process, Wine's desktop
    // process does not start, and no window can be made.
    if (getenv("LUMETTA_ASAN"))
        GTEST_SKIP() << "windows cannot be made under the sanitizer";
    moduleInstance = GetModuleHandleA(NULL);
    DWORD noAsk = 0;

    SetValue(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon BPP", REG_SZ, "8", 2);
    Answer no = {IDNO, false};
    EXPECT_TRUE(RunQuestion(&no));
    EXPECT_TRUE(no.sawDialog);
    EXPECT_EQ("8", ShellDepthText());
    EXPECT_FALSE(ReadProductValue(HKEY_CURRENT_USER, "HighColorNoAsk", &noAsk, 4));

    Answer cancel = {IDCANCEL, true};
    EXPECT_TRUE(RunQuestion(&cancel));
    EXPECT_TRUE(cancel.sawDialog);
    EXPECT_EQ("8", ShellDepthText());
    EXPECT_TRUE(ReadProductValue(HKEY_CURRENT_USER, "HighColorNoAsk", &noAsk, 4));
    EXPECT_EQ(1u, noAsk);
    // Asked never again.
    EXPECT_TRUE(ShellDrawsLowColorIcons());

    DeleteValue(HKEY_CURRENT_USER, ProductKey, "HighColorNoAsk");
    Answer yes = {IDYES, false};
    EXPECT_TRUE(RunQuestion(&yes));
    EXPECT_TRUE(yes.sawDialog);
    EXPECT_TRUE(yes.sawNotice);
    EXPECT_EQ("16", ShellDepthText());
    EXPECT_FALSE(ReadProductValue(HKEY_CURRENT_USER, "HighColorNoAsk", &noAsk, 4));
    // Now the shell draws 16 bits: no more question.
    EXPECT_FALSE(ShellDrawsLowColorIcons());
}

// Loading the module asks nothing (a dialog under the loader lock can hang
// the shell); the first file given to an icon handler does, once.
TEST_F(ShellExt, HighColourQuestionWaitsForTheFirstFile)
{
    if (!getenv("DISPLAY"))
        GTEST_SKIP() << "no display";
    if (getenv("LUMETTA_ASAN"))
        GTEST_SKIP() << "windows cannot be made under the sanitizer";
    SetValue(HKEY_CURRENT_USER, WindowMetrics, "Shell Icon BPP", REG_SZ, "8", 2);
    volatile LONG loaded = 0;
    Answer first = {IDNO, false};
    first.loaded = &loaded;
    HANDLE t = CreateThread(NULL, 0, AnswerQuestion, &first, 0, NULL);
    {
        Module m;
        ASSERT_TRUE(m.getClassObject);
        InterlockedExchange(&loaded, 1);
        IExtractIconA* extract = m.IconFor(Shell("first.bmp"));
        WaitForSingleObject(t, 15000);
        CloseHandle(t);
        EXPECT_TRUE(first.sawDialog);
        EXPECT_EQ(1, first.loadedWhenAsked);
        if (extract)
            extract->Release();

        Answer again = {IDNO, false};
        again.patience = 20;
        t = CreateThread(NULL, 0, AnswerQuestion, &again, 0, NULL);
        extract = m.IconFor(Shell("second.bmp"));
        WaitForSingleObject(t, 15000);
        CloseHandle(t);
        EXPECT_FALSE(again.sawDialog);
        if (extract)
            extract->Release();
    }
    EXPECT_EQ("8", ShellDepthText());
}

// ---------------------------------------------------------------- locations
std::string ExpectedLocation(const std::string& name, const char* dims, int border, const char* colour)
{
    HANDLE f = CreateFileA(Shell(name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    FILETIME written = {};
    GetFileTime(f, NULL, NULL, &written);
    DWORD size = GetFileSize(f, NULL);
    CloseHandle(f);
    WORD date = 0, time = 0;
    FileTimeToDosDateTime(&written, &date, &time);
    char text[MAX_PATH];
    snprintf(text, sizeof(text), "%s%s%04X%04X%08X%02X%s", name.c_str(), dims, date, time,
             (unsigned)size, border, border ? colour : "");
    return text;
}

TEST_F(ShellExt, IconLocationKeysTheCache)
{
    int32_t icon[14] = {1, 0, 1, 1, 1, 1, 1, 0xABCDEF, 0, 0, 0, 0, 0, 0};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, icon, sizeof(icon));
    Module m;
    IExtractIconA* extract = m.IconFor(Shell("wide.bmp"));
    ASSERT_TRUE(extract);
    char location[MAX_PATH];
    int index = 0;
    UINT flags = 0;
    EXPECT_EQ(S_OK, extract->GetIconLocation(0, location, sizeof(location), &index, &flags));
    EXPECT_EQ(ExpectedLocation("wide.bmp", "00640032", 1, "ABCDEF"), location);
    EXPECT_EQ(IconIndexMarker, index);
    EXPECT_EQ((UINT)(GIL_PERINSTANCE | GIL_NOTFILENAME), flags);

    // Tiny buffers keep the (cut) name and whatever fields still fit.
    memset(location, 'x', sizeof(location));
    extract->GetIconLocation(0, location, 5, &index, &flags);
    EXPECT_STREQ("wide", location);
    extract->GetIconLocation(0, location, 12, &index, &flags);
    EXPECT_STREQ("wide.bmp01", location);
    extract->GetIconLocation(0, location, 18, &index, &flags);
    EXPECT_STREQ("wide.bmp00640032", location);
    extract->GetIconLocation(0, location, 1, &index, &flags);
    EXPECT_STREQ("", location);

    // A switch after Load does not take the picture away.
    HICON largeIcon = (HICON)1, smallIcon = (HICON)1;
    EXPECT_EQ(S_FALSE, extract->Extract(location, 0, &largeIcon, &smallIcon, MAKELONG(32, 16)));
    EXPECT_EQ((HICON)1, largeIcon);
    extract->Release();

    // Border 0 (family 1 ... the first width) leaves the colour out.
    icon[0] = 0;
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, icon, sizeof(icon));
    HANDLE reload = OpenEventA(EVENT_MODIFY_STATE, FALSE, ReloadEventName);
    ASSERT_TRUE(reload);
    SetEvent(reload);
    CloseHandle(reload);
    extract = m.IconFor(Shell("wide.bmp"));
    ASSERT_TRUE(extract);
    extract->GetIconLocation(0, location, sizeof(location), &index, &flags);
    EXPECT_EQ(ExpectedLocation("wide.bmp", "00640032", 0, ""), location);
    extract->Release();
}

TEST_F(ShellExt, ReloadSignalFromAnotherProcess)
{
    Module m;
    IExtractIconA* extract = m.IconFor(Shell("wide.bmp"));
    ASSERT_TRUE(extract);
    char location[MAX_PATH];
    int index = 0;
    UINT flags = 0;
    extract->GetIconLocation(0, location, sizeof(location), &index, &flags);
    EXPECT_EQ(IconIndexMarker, index);
    extract->Release();

    // The control panel's part: new settings, then the signal from its process.
    BYTE types[1] = {0};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, types, 1);
    const char* suffix = getenv("LUMETTA_PROGRAM_SUFFIX");
    std::string command =
        BuildPath("tools/shellhost/shellhost.exe") + (suffix ? suffix : "") + " reload";
    STARTUPINFOA si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        << command;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 30000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    extract = m.IconFor(Shell("wide.bmp"));
    ASSERT_TRUE(extract);
    extract->GetIconLocation(0, location, sizeof(location), &index, &flags);
    EXPECT_NE(IconIndexMarker, index);
    EXPECT_EQ((UINT)GIL_PERINSTANCE, flags);
    extract->Release();
}

TEST_F(ShellExt, DefaultIconLocationOfTheType)
{
    moduleInstance = GetModuleHandleA(NULL);
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof(self));
    SetValue(HKEY_CLASSES_ROOT, ".ltst", NULL, REG_SZ, "ltstfile", 9);
    struct Case {
        const char* value;
        bool ok;
        const char* location;
        int index;
    } cases[] = {
        {"Z:\\lib\\icons.dll,-154", true, "Z:\\lib\\icons.dll", -154},
        {"icons.dll, 3", true, "icons.dll", 3},
        {"icons.dll, -3", true, "icons.dll", 3},
        {"a,b.dll,12", true, "a,b.dll", 12},
        {"icons.dll", false, self, 0},
        {",5", false, self, 0},
    };
    for (auto& c : cases) {
        SetValue(HKEY_CLASSES_ROOT, "ltstfile\\DefaultIcon", NULL, REG_SZ, c.value, strlen(c.value) + 1);
        char location[MAX_PATH] = {};
        int index = 99;
        EXPECT_EQ(c.ok, DefaultIconLocation("Z:\\x\\pic.ltst", location, sizeof(location), &index)) << c.value;
        EXPECT_STREQ(c.location, location) << c.value;
        EXPECT_EQ(c.index, index) << c.value;
    }
    char location[MAX_PATH];
    int index = 5;
    EXPECT_FALSE(DefaultIconLocation("", location, sizeof(location), &index));
    EXPECT_FALSE(DefaultIconLocation(".ltst", location, sizeof(location), &index));
    EXPECT_FALSE(DefaultIconLocation("noextension", location, sizeof(location), &index));
    EXPECT_FALSE(DefaultIconLocation("a.unknownext", location, sizeof(location), &index));
    EXPECT_STREQ(self, location);
    EXPECT_EQ(0, index);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "ltstfile");
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ".ltst");
}

// ---------------------------------------------------------------- icons
bool SameIcon(HICON a, HICON b)
{
    IconPixels pa = PixelsOf(a), pb = PixelsOf(b);
    return pa.width > 0 && pa.width == pb.width && pa.height == pb.height && pa.colour == pb.colour &&
           pa.mask == pb.mask;
}

// Every file the shell hands over gets an icon: a thumbnail, or the type's own.
TEST_F(ShellExt, EveryFileGetsAnIcon)
{
    SetValue(HKEY_CLASSES_ROOT, ".ltst", NULL, REG_SZ, "ltstfile", 9);
    SetValue(HKEY_CLASSES_ROOT, "ltstfile\\DefaultIcon", NULL, REG_SZ, "shell32.dll,3", 14);
    HICON typeLarge = NULL, typeSmall = NULL;
    ExtractIconExA("shell32.dll", 3, &typeLarge, &typeSmall, 1);
    ASSERT_TRUE(typeLarge && typeSmall);

    // The vanishing file is copied afresh, the locked one held open.
    std::string vanishing = Shell("vanishing.ltst");
    CopyFileA(Shell("wide.bmp").c_str(), vanishing.c_str(), FALSE);
    std::string locked = Shell("locked.ltst");
    CopyFileA(Shell("wide.bmp").c_str(), locked.c_str(), FALSE);
    HANDLE lock = CreateFileA(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    std::string truncated = Shell("truncated.ltst");
    CopyFileA(Shell("truncated.bmp").c_str(), truncated.c_str(), FALSE);
    std::string text = Shell("text.ltst");
    CopyFileA(Shell("text.bmp").c_str(), text.c_str(), FALSE);
    std::string empty = Shell("empty.ltst");
    CopyFileA(Shell("empty.bmp").c_str(), empty.c_str(), FALSE);
    CreateDirectoryA(Shell("folder.ltst").c_str(), NULL);

    std::string cut = Shell("cut.ltst");
    CopyFileA(Shell("cut.bmp").c_str(), cut.c_str(), FALSE);
    enum { No, Yes, Either };
    struct Case {
        std::string file;
        int thumbnail;
    } cases[] = {
        {Shell("wide.ltst"), Yes},     {vanishing, Yes},          {locked, No},
        {text, No},                    {empty, No},               {Shell("folder.ltst"), No},
        {Shell("missing.ltst"), No},   {cut, No},                 {truncated, Either},
    };
    Module m;
    for (auto& c : cases) {
        IExtractIconA* extract = m.IconFor(c.file);
        ASSERT_TRUE(extract) << c.file;
        char location[MAX_PATH] = {};
        int index = 0;
        UINT flags = 0;
        EXPECT_EQ(S_OK, extract->GetIconLocation(0, location, sizeof(location), &index, &flags));
        if (c.file == vanishing)
            DeleteFileA(vanishing.c_str());
        HICON largeIcon = NULL, smallIcon = NULL;
        if (index == IconIndexMarker) {
            EXPECT_EQ(S_OK, extract->Extract(location, index, &largeIcon, &smallIcon, MAKELONG(32, 16)));
        } else {
            EXPECT_EQ(S_FALSE, extract->Extract(location, index, &largeIcon, &smallIcon, MAKELONG(32, 16)));
            EXPECT_STREQ("shell32.dll", location) << c.file;
            EXPECT_EQ(3, index);
            ExtractIconExA(location, index, &largeIcon, &smallIcon, 1);
        }
        if (c.thumbnail != Either)
            EXPECT_EQ(c.thumbnail == Yes, index == IconIndexMarker) << c.file;
        ASSERT_TRUE(largeIcon && smallIcon) << c.file;
        EXPECT_EQ(32, PixelsOf(largeIcon).width);
        EXPECT_EQ(16, PixelsOf(smallIcon).width);
        if (c.thumbnail == No)
            EXPECT_TRUE(SameIcon(typeLarge, largeIcon) && SameIcon(typeSmall, smallIcon)) << c.file;
        DestroyIcon(largeIcon);
        DestroyIcon(smallIcon);
        extract->Release();
    }
    EXPECT_EQ(S_OK, m.canUnload());

    // A family switched off gets the type's icon too.
    BYTE types[1] = {0};
    SetValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, types, 1);
    HANDLE reload = OpenEventA(EVENT_MODIFY_STATE, FALSE, ReloadEventName);
    SetEvent(reload);
    CloseHandle(reload);
    IExtractIconA* extract = m.IconFor(Shell("wide.ltst"));
    char location[MAX_PATH] = {};
    int index = 0;
    UINT flags = 0;
    extract->GetIconLocation(0, location, sizeof(location), &index, &flags);
    EXPECT_STREQ("shell32.dll", location);
    EXPECT_EQ(3, index);
    extract->Release();

    CloseHandle(lock);
    DestroyIcon(typeLarge);
    DestroyIcon(typeSmall);
    for (const char* name : {"locked.ltst", "cut.ltst", "truncated.ltst", "text.ltst", "empty.ltst"})
        DeleteFileA(Shell(name).c_str());
    RemoveDirectoryA(Shell("folder.ltst").c_str());
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "ltstfile");
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ".ltst");
}

// The two interfaces of one object for a name as the shell hands it over.
struct NameIcons {
    int wideIndex = 0, ansiIndex = 0;
    std::string wideKey, ansiKey;   // the wide one in UTF-8
    HICON wideIcon = NULL, ansiIcon = NULL;
    ~NameIcons()
    {
        for (HICON icon : {wideIcon, ansiIcon})
            if (icon)
                DestroyIcon(icon);
    }
};

void IconsOf(Module& m, const WCHAR* name, NameIcons* out)
{
    IClassFactory* factory = NULL;
    IPersistFile* persist = NULL;
    ASSERT_EQ(S_OK, m.getClassObject(CLSID_LumettaIcons, IID_IClassFactory, (void**)&factory));
    factory->CreateInstance(NULL, IID_IPersistFile, (void**)&persist);
    factory->Release();
    ASSERT_TRUE(persist);
    persist->Load(name, STGM_READ);
    IExtractIconW* wide = NULL;
    IExtractIconA* ansi = NULL;
    persist->QueryInterface(IID_IExtractIconW, (void**)&wide);
    persist->QueryInterface(IID_IExtractIconA, (void**)&ansi);
    persist->Release();
    ASSERT_TRUE(wide && ansi);
    WCHAR wideKey[MAX_PATH] = {};
    char ansiKey[MAX_PATH] = {};
    UINT flags = 0;
    HICON small = NULL;
    wide->GetIconLocation(0, wideKey, MAX_PATH, &out->wideIndex, &flags);
    ansi->GetIconLocation(0, ansiKey, MAX_PATH, &out->ansiIndex, &flags);
    out->wideKey = Utf8(wideKey);
    out->ansiKey = ansiKey;
    if (out->wideIndex == IconIndexMarker && wide->Extract(wideKey, out->wideIndex, &out->wideIcon, &small, MAKELONG(32, 16)) == S_OK)
        DestroyIcon(small);
    if (out->ansiIndex == IconIndexMarker && ansi->Extract(ansiKey, out->ansiIndex, &out->ansiIcon, &small, MAKELONG(32, 16)) == S_OK)
        DestroyIcon(small);
    wide->Release();
    ansi->Release();
}

// Names in any script, with a surrogate pair, with a combining accent, and
// in a path of more than 300 characters get their thumbnails through both
// interfaces; "ｆile.bmp" (fullwidth f) beside "file.bmp" gets its own
// picture and its own cache key; a name with an unpaired surrogate gets
// none, and no other file is opened for it.
TEST_F(ShellExt, IconsForEveryName)
{
    Module m;
    std::string names = Shell("names\\");
    std::string deep = names + std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\" + std::string(100, 'c');
    NameIcons wideBmp, tallBmp;
    IconsOf(m, Utf16(Shell("wide.bmp")).data(), &wideBmp);
    IconsOf(m, Utf16(Shell("tall.bmp")).data(), &tallBmp);
    ASSERT_TRUE(wideBmp.wideIcon && tallBmp.wideIcon);
    struct Case {
        std::string name, folder;
        HICON picture;
    } cases[] = {
        {"Φωτογραφία.bmp", names, wideBmp.wideIcon}, {"Фотография.bmp", names, wideBmp.wideIcon},
        {"写真.bmp", names, wideBmp.wideIcon},        {"日の出 🌅.bmp", names, wideBmp.wideIcon},
        {"Cafe\xCC\x81.bmp", names, wideBmp.wideIcon}, {"file.bmp", names, wideBmp.wideIcon},
        {"ｆile.bmp", names, tallBmp.wideIcon},       {"写真.bmp", deep + "\\", wideBmp.wideIcon},
    };
    ASSERT_GT(Utf16(deep).size(), 300u);
    std::vector<std::string> wideKeys, ansiKeys;
    for (auto& c : cases) {
        NameIcons icons;
        IconsOf(m, Utf16(c.folder + c.name).data(), &icons);
        EXPECT_EQ(IconIndexMarker, icons.wideIndex) << c.name;
        EXPECT_EQ(IconIndexMarker, icons.ansiIndex) << c.name;
        EXPECT_EQ(0u, icons.wideKey.find(c.name)) << icons.wideKey;
        EXPECT_TRUE(std::all_of(icons.ansiKey.begin(), icons.ansiKey.end(), [](char k) { return k > 0; }))
            << icons.ansiKey;
        EXPECT_TRUE(SameIcon(c.picture, icons.wideIcon) && SameIcon(c.picture, icons.ansiIcon)) << c.name;
        wideKeys.push_back(icons.wideKey);
        ansiKeys.push_back(icons.ansiKey);
    }
    EXPECT_NE(wideKeys[5], wideKeys[6]);
    EXPECT_NE(ansiKeys[5], ansiKeys[6]);

    // Beside the name the system would make of it: "\uFFFD.bmp".
    std::vector<WCHAR> lone = Utf16(names + "?.bmp");
    lone[lone.size() - 6] = 0xD800;
    NameIcons none;
    IconsOf(m, lone.data(), &none);
    EXPECT_NE(IconIndexMarker, none.wideIndex);
    EXPECT_NE(IconIndexMarker, none.ansiIndex);
}

// A 16-colour shell gets icons in the standard 16 colours.
TEST_F(ShellExt, LowColourIconsUseSixteenColours)
{
    LoadSettings();
    // The first Load of the process would otherwise settle the depth anew.
    SettleIconColorsOnce();
    Settings.enabled = 1;
    Settings.lowColorIcons = 1;
    IconHandler* handler = new IconHandler();
    IPersistFile* persist = static_cast<IPersistFile*>(handler);
    persist->Load(Wide(Shell("photo.bmp")).c_str(), 0);
    HICON largeIcon = NULL, smallIcon = NULL;
    EXPECT_EQ(S_OK, handler->Extract("", IconIndexMarker, &largeIcon, &smallIcon, MAKELONG(32, 16)));
    const uint32_t standard[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                   0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                   0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (HICON icon : {largeIcon, smallIcon}) {
        IconPixels p = PixelsOf(icon);
        ASSERT_GT(p.width, 0);
        int distinct = 0;
        std::vector<uint32_t> seen;
        for (size_t i = 0; i < p.colour.size(); i++) {
            if (p.mask[i] & 0xFFFFFF)
                continue;
            uint32_t c = p.colour[i] & 0xFFFFFF;
            bool known = false;
            for (uint32_t s : standard)
                known |= s == c;
            EXPECT_TRUE(known) << std::hex << c;
            if (std::find(seen.begin(), seen.end(), c) == seen.end()) {
                seen.push_back(c);
                distinct++;
            }
        }
        EXPECT_GT(distinct, 2);
        DestroyIcon(icon);
    }
    handler->Release();
    Settings.lowColorIcons = 0;
}

TEST_F(ShellExt, ThumbnailFrameRejectsBadPictures)
{
    EXPECT_EQ(nullptr, BuildThumbnailIcon(nullptr, 1, 0));
    PixelBuffer b = {};
    b.size = 40;
    EXPECT_EQ(nullptr, BuildThumbnailIcon(&b, 1, 0));
    uint32_t pixels[6] = {1, 2, 3, 4, 5, 6};
    b.size = PixelBufferSize;
    b.width = 3;
    b.height = 2;
    b.pixels = pixels;
    HICON icon = BuildThumbnailIcon(&b, 2, 0x00FF00);
    IconPixels p = PixelsOf(icon);
    ASSERT_EQ(7, p.width);
    // 3 x 2 with a border of 2 in a 7 x 7 icon: frame rows 0-5, the last row clear.
    EXPECT_EQ(0x00FF00u, p.colour[0] & 0xFFFFFF);
    EXPECT_EQ(0u, p.mask[0] & 0xFFFFFF);
    EXPECT_NE(0u, p.mask[6 * 7] & 0xFFFFFF);
    EXPECT_EQ(1u, p.colour[2 * 7 + 2] & 0xFFFFFF);
    EXPECT_EQ(6u, p.colour[3 * 7 + 4] & 0xFFFFFF);
    DestroyIcon(icon);
}

// A picture whose fourth bytes are 0xFF (the JPEG decoder's filler) still
// shows its frame when the system draws the icon.
TEST_F(ShellExt, ThumbnailFrameShowsOverAFilledFourthByte)
{
    uint32_t pixels[4] = {0xFF102030, 0xFF102030, 0xFF102030, 0xFF102030};
    PixelBuffer b = {};
    b.size = PixelBufferSize;
    b.width = 2;
    b.height = 2;
    b.pixels = pixels;
    HICON icon = BuildThumbnailIcon(&b, 1, 0xFF2020);
    ASSERT_TRUE(icon);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = 4;
    bmi.bmiHeader.biHeight = -4;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* bits = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP canvas = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    ASSERT_TRUE(canvas);
    HGDIOBJ old = SelectObject(dc, canvas);
    memset(bits, 0xFF, 4 * 4 * 4);
    EXPECT_TRUE(DrawIconEx(dc, 0, 0, icon, 4, 4, 0, NULL, DI_NORMAL));
    GdiFlush();
    const uint32_t* drawn = (const uint32_t*)bits;
    EXPECT_EQ(0xFF2020u, drawn[0] & 0xFFFFFF);
    EXPECT_EQ(0xFF2020u, drawn[3 * 4 + 3] & 0xFFFFFF);
    EXPECT_EQ(0x102030u, drawn[1 * 4 + 1] & 0xFFFFFF);
    SelectObject(dc, old);
    DeleteObject(canvas);
    DeleteDC(dc);
    DestroyIcon(icon);
}

}  // namespace
