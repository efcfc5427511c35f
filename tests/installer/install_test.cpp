// The installer's work after Finish: copying with version checks and
// replacement at restart, the registry entries, the shortcuts and the
// control panel's messages.  Runs in a prefix of its own (the registration
// points the shell at a test folder).
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "folder.h"
#include "install.h"
#include "wininit.h"

namespace {

std::string BuildFile(const char* relative)
{
    return std::string("Z:") + getenv("LUMETTA_BUILD") + "/" + relative;
}

std::string ReadAll(const std::string& path)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    DWORD size = GetFileSize(file, NULL), done = 0;
    bytes.resize(size);
    ReadFile(file, &bytes[0], size, &done, NULL);
    CloseHandle(file);
    return bytes;
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD done;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &done, NULL);
    CloseHandle(file);
}

// A fresh folder of its own for each test.
struct Scratch {
    std::string path;
    Scratch()
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int count;
        // Wine gives the same process ids run after run.
        path = std::string(temp) + "install test " + std::to_string(GetTickCount()) + "-" +
               std::to_string(++count);
        CreateDirectoryA(path.c_str(), NULL);
    }
    std::string operator/(const char* name) const { return path + "\\" + name; }
};

// Answers the next message box of this process that has the given caption,
// remembering its text.
struct BoxAnswer {
    std::string caption;
    int button;
    std::string text;
    std::atomic<bool> seen{false};
    std::atomic<bool> done{false};
    std::thread watcher;

    BoxAnswer(const char* c, int b) : caption(c), button(b)
    {
        watcher = std::thread([this] {
            for (DWORD start = GetTickCount(); !done && GetTickCount() - start < 20000; Sleep(20)) {
                HWND box = FindWindowA("#32770", caption.c_str());
                if (!box)
                    continue;
                char buffer[2048] = "";
                GetDlgItemTextA(box, 0xFFFF, buffer, sizeof(buffer));
                text = buffer;
                seen = true;
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                             (LPARAM)GetDlgItem(box, button));
                return;
            }
        });
    }
    ~BoxAnswer() { Finish(); }
    // Stops looking: the box, if any, has come and gone.
    void Finish()
    {
        done = true;
        if (watcher.joinable())
            watcher.join();
    }
};

const std::string Lumetta = BuildFile("shellext/Lumetta.dll");
const std::string Newer = BuildFile("tests/installer/newer.dll");

std::string RegistryText(HKEY root, const char* key, const char* value)
{
    HKEY k;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return "<no key>";
    char data[1024] = "";
    DWORD size = sizeof(data) - 1, type = 0;
    LONG error = RegQueryValueExA(k, value, NULL, &type, (BYTE*)data, &size);
    RegCloseKey(k);
    if (error != ERROR_SUCCESS)
        return "<no value>";
    return type == REG_SZ ? std::string(data) : "<not a string>";
}

const char* const UninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta";

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

const char* const NewerText =
    "There is already a newer version of this file on your\ncomputer. It is recommended that you "
    "continue to use\nthis newer version. To do so, click Yes below.\n\nDo you want to continue to "
    "use the newer version of\nthis file?";

}  // namespace

TEST(InstallFolder, BrowserRule)
{
    char out[MAX_PATH];
    struct Case {
        const char* chosen;
        const char* expected;
    } cases[] = {
        {"C:\\", "C:\\Norvane Information\\Lumetta"},
        {"D:\\Apps\\Norvane Information", "D:\\Apps\\Norvane Information\\Lumetta"},
        {"D:\\Apps\\norvane information\\\\", "D:\\Apps\\norvane information\\Lumetta"},
        {"D:\\Tools\\Lumetta", "D:\\Tools\\Lumetta"},
        {"D:\\Tools\\LUMETTA\\", "D:\\Tools\\LUMETTA"},
        {"D:\\Tools\\NotLumetta", "D:\\Tools\\NotLumetta"},
        {"D:\\Apps", "D:\\Apps\\Norvane Information\\Lumetta"},
        {"\\\\server\\share", "\\\\server\\share\\Norvane Information\\Lumetta"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(InstallFolderFor(c.chosen, out, sizeof(out))) << c.chosen;
        EXPECT_STREQ(c.expected, out) << c.chosen;
    }
    // Appending the subpath to a path near the limit must not cut it off.
    std::string deep = "C:\\" + std::string(240, 'a');
    EXPECT_FALSE(InstallFolderFor(deep.c_str(), out, sizeof(out)));
}

namespace {

const size_t SubpathLength = strlen("\\Norvane Information\\Lumetta");

// `path` made exactly `length` characters long by folders of at most 50
// characters (never a trailing backslash).
std::string Deepen(std::string path, size_t length)
{
    while (path.size() < length) {
        size_t remaining = length - path.size();
        size_t part = remaining <= 51 ? remaining - 1 : remaining > 52 ? 50 : 48;
        path += "\\" + std::string(part, 'd');
    }
    return path;
}

std::string PathOfLength(size_t length) { return Deepen("C:", length); }

}  // namespace

// The files' longest path, the uninstaller's, must stay whole: 259
// characters at most, so the install folder can have 220.
TEST(InstallFolder, LongestFolderStillHoldsTheFiles)
{
    ASSERT_EQ(220u, FolderLengthMax);
    char out[MAX_PATH];
    std::string chosen = PathOfLength(FolderLengthMax - SubpathLength);
    ASSERT_TRUE(InstallFolderFor(chosen.c_str(), out, sizeof(out)));
    EXPECT_EQ(FolderLengthMax, strlen(out));
    EXPECT_EQ(MAX_PATH - 1, strlen(out) + strlen("\\System\\Norvane Lumetta Uninstaller.exe"));
    chosen += "e";
    EXPECT_FALSE(InstallFolderFor(chosen.c_str(), out, sizeof(out)));
    std::string named = PathOfLength(FolderLengthMax - 8) + "\\Lumetta";
    ASSERT_TRUE(InstallFolderFor(named.c_str(), out, sizeof(out)));
    EXPECT_EQ(named, out);
    named.insert(3, "e");
    EXPECT_FALSE(InstallFolderFor((named + "\\").c_str(), out, sizeof(out)));
}

// The program folder comes from the registry: what is there, trailing
// backslash and all, up to the longest folder; past it, or when empty,
// "C:\Program Files".
TEST(InstallFolder, DefaultFromTheProgramFolderSetting)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                                           KEY_READ | KEY_WRITE, &key));
    char saved[MAX_PATH] = "";
    DWORD size = sizeof(saved);
    RegQueryValueExA(key, "ProgramFilesDir", NULL, NULL, (BYTE*)saved, &size);
    auto defaultFor = [&](const std::string& programs) {
        RegSetValueExA(key, "ProgramFilesDir", 0, REG_SZ, (const BYTE*)programs.c_str(),
                       (DWORD)programs.size() + 1);
        char out[MAX_PATH];
        DefaultInstallFolder(out, sizeof(out));
        return std::string(out);
    };
    const std::string standard = "C:\\Program Files\\Norvane Information\\Lumetta";
    EXPECT_EQ("D:\\Apps\\Norvane Information\\Lumetta", defaultFor("D:\\Apps\\"));
    EXPECT_EQ(standard, defaultFor(""));
    std::string longest = PathOfLength(FolderLengthMax - SubpathLength);
    EXPECT_EQ(longest + "\\Norvane Information\\Lumetta", defaultFor(longest));
    EXPECT_EQ(longest + "\\Norvane Information\\Lumetta", defaultFor(longest + "\\"));
    EXPECT_EQ(standard, defaultFor(longest + "e"));
    EXPECT_EQ(standard, defaultFor(std::string(MAX_PATH - 2, 'x')));
    RegSetValueExA(key, "ProgramFilesDir", 0, REG_SZ, (const BYTE*)saved, (DWORD)strlen(saved) + 1);
    RegCloseKey(key);
    char out[MAX_PATH];
    DefaultInstallFolder(out, sizeof(out));
    EXPECT_EQ(standard, out);
}

TEST(InstallFile, CopiesIntoAnEmptyFolder)
{
    Scratch s;
    bool restart = false;
    ASSERT_TRUE(InstallFile(Lumetta.c_str(), s.path.c_str(), &restart));
    EXPECT_EQ(ReadAll(Lumetta), ReadAll(s / "Lumetta.dll"));
    EXPECT_FALSE(restart);
}

TEST(InstallFile, NewerInstalledCopyAsksAndYesKeepsIt)
{
    Scratch s;
    ASSERT_GT(ReadFileVersion(Newer.c_str()), ReadFileVersion(Lumetta.c_str()));
    ASSERT_TRUE(CopyFileA(Newer.c_str(), (s / "Lumetta.dll").c_str(), FALSE));
    bool restart = false;
    {
        BoxAnswer yes("Lumetta.dll", IDYES);
        EXPECT_TRUE(InstallFile(Lumetta.c_str(), s.path.c_str(), &restart));
        yes.Finish();
        EXPECT_TRUE(yes.seen);
        EXPECT_EQ(NewerText, yes.text);
    }
    EXPECT_EQ(ReadAll(Newer), ReadAll(s / "Lumetta.dll"));
    {
        BoxAnswer no("Lumetta.dll", IDNO);
        EXPECT_TRUE(InstallFile(Lumetta.c_str(), (s.path + "\\").c_str(), &restart));
        no.Finish();
        EXPECT_TRUE(no.seen);
    }
    EXPECT_EQ(ReadAll(Lumetta), ReadAll(s / "Lumetta.dll"));
    EXPECT_FALSE(restart);
}

TEST(InstallFile, FileWithoutVersionIsNeverNewer)
{
    Scratch s;
    WriteAll(s / "Lumetta.dll", "not a library at all");
    EXPECT_EQ(0u, ReadFileVersion((s / "Lumetta.dll").c_str()));
    bool restart = false;
    BoxAnswer none("Lumetta.dll", IDYES);
    EXPECT_TRUE(InstallFile(Lumetta.c_str(), s.path.c_str(), &restart));
    none.Finish();
    EXPECT_FALSE(none.seen);
    EXPECT_EQ(ReadAll(Lumetta), ReadAll(s / "Lumetta.dll"));
}

TEST(InstallFile, MissingFolderIsReportedAndFails)
{
    Scratch s;
    bool restart = false;
    BoxAnswer ok("Lumetta.dll", IDOK);
    EXPECT_FALSE(InstallFile(Lumetta.c_str(), (s / "no such folder").c_str(), &restart));
    ok.Finish();
    EXPECT_TRUE(ok.seen);
    EXPECT_EQ(0u, ok.text.find("The Lumetta Installer was unable to install this file on\n"));
}

// A library in use cannot be overwritten: the new copy goes beside it under
// a temporary name and both moves wait for the restart.  Wine lets a loaded
// library be overwritten, so the file is held the way Windows holds a
// loaded one: open, shared with nobody.
TEST(InstallFile, FileInUseIsReplacedAtRestart)
{
    Scratch s;
    std::string installed = s / "Lumetta.dll";
    ASSERT_TRUE(CopyFileA(Lumetta.c_str(), installed.c_str(), FALSE));
    HANDLE held = CreateFileA(installed.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Scratch from;
    ASSERT_TRUE(CopyFileA(Newer.c_str(), (from / "Lumetta.dll").c_str(), FALSE));
    bool restart = false;
    EXPECT_TRUE(InstallFile((from / "Lumetta.dll").c_str(), s.path.c_str(), &restart));
    CloseHandle(held);
    EXPECT_TRUE(restart);
    EXPECT_EQ(ReadAll(Lumetta), ReadAll(installed));

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((s / "temp????.dll").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    FindClose(search);
    std::string temporary = s / found.cFileName;
    EXPECT_EQ(ReadAll(Newer), ReadAll(temporary));
    for (const char* p = found.cFileName + 4; p < found.cFileName + 8; p++)
        EXPECT_TRUE(isxdigit((unsigned char)*p) && !islower((unsigned char)*p)) << found.cFileName;

    // Wine keeps the moves where Windows NT does: pairs of NT paths, the
    // second empty for a deletion.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                                           0, KEY_READ | KEY_WRITE, &key));
    std::vector<WCHAR> pending(65536);
    DWORD size = (DWORD)(pending.size() * sizeof(WCHAR));
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL,
                                              (BYTE*)pending.data(), &size));
    std::vector<std::string> entries;
    for (const WCHAR* p = pending.data(); p < pending.data() + size / sizeof(WCHAR);) {
        char text[MAX_PATH * 2] = "";
        WideCharToMultiByte(CP_ACP, 0, p, -1, text, sizeof(text), NULL, NULL);
        entries.push_back(text);
        p += wcslen(p) + 1;
    }
    // Nothing of ours may move when the prefix next starts.
    RegDeleteValueA(key, "PendingFileRenameOperations");
    RegCloseKey(key);
    auto nt = [](const std::string& path) { return "\\??\\" + path; };
    ASSERT_GE(entries.size(), 4u);
    EXPECT_EQ(nt(installed), entries[0]);
    EXPECT_EQ("", entries[1]);
    EXPECT_EQ(nt(temporary), entries[2]);
    EXPECT_EQ(nt(installed), entries[3]);
}

TEST(Registration, EveryEntryWithItsData)
{
    // The whole-road test binds the file types in this prefix afterwards.
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "giffile\\shellex\\IconHandler");
    ASSERT_TRUE(WriteRegistration("C:\\Program Files\\Norvane Information\\Lumetta"));
    const char* module = "C:\\Program Files\\Norvane Information\\Lumetta\\System\\Lumetta.dll";
    const char* approved = "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
    EXPECT_EQ("Norvane Lumetta Control Panel Extension",
              RegistryText(HKEY_LOCAL_MACHINE, approved, "{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}"));
    EXPECT_EQ("Norvane Lumetta Property Sheet Shell Extension",
              RegistryText(HKEY_LOCAL_MACHINE, approved, "{4f7a2c11-6b3e-4d85-9a1c-72e5b0d3f861}"));
    EXPECT_EQ("Norvane Lumetta Thumbnail Icon Shell Extension",
              RegistryText(HKEY_LOCAL_MACHINE, approved, "{4f7a2c12-6b3e-4d85-9a1c-72e5b0d3f861}"));
    EXPECT_EQ("{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}",
              RegistryText(HKEY_LOCAL_MACHINE,
                           "Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\Display\\"
                           "shellex\\PropertySheetHandlers\\Lumetta",
                           NULL));
    const char* names[] = {"Norvane Lumetta Control Panel Extension",
                           "Norvane Lumetta Property Sheet Shell Extension",
                           "Norvane Lumetta Thumbnail Icon Shell Extension",
                           "Norvane Lumetta Thumbnail Handler"};
    for (int i = 0; i < 4; i++) {
        std::string key = "CLSID\\{4f7a2c1" + std::to_string(i) + "-6b3e-4d85-9a1c-72e5b0d3f861}";
        EXPECT_EQ(names[i], RegistryText(HKEY_CLASSES_ROOT, key.c_str(), NULL));
        EXPECT_EQ(module, RegistryText(HKEY_CLASSES_ROOT, (key + "\\InprocServer32").c_str(), NULL));
        EXPECT_EQ("Apartment",
                  RegistryText(HKEY_CLASSES_ROOT, (key + "\\InprocServer32").c_str(), "ThreadingModel"));
    }
    const char* uninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta";
    EXPECT_EQ("Norvane Lumetta", RegistryText(HKEY_LOCAL_MACHINE, uninstall, "DisplayName"));
    EXPECT_EQ("\"C:\\Program Files\\Norvane Information\\Lumetta\\System\\Norvane Lumetta Uninstaller.exe\"",
              RegistryText(HKEY_LOCAL_MACHINE, uninstall, "UninstallString"));
    // The file types are the library's to bind.
    EXPECT_EQ("<no key>", RegistryText(HKEY_CLASSES_ROOT, "giffile\\shellex\\IconHandler", NULL));
}

TEST(Shortcuts, ReadBackThroughTheShellLink)
{
    CoInitialize(NULL);
    Scratch s;
    CreateShortcuts(s.path.c_str());
    struct Expected {
        const char* link;
        std::string path, arguments, icon;
        int index;
    } expected[] = {
        {"Configure Norvane Lumetta.lnk", "rundll32.exe",
         "shell32.dll,Control_RunDLL desk.cpl @0,@Lumetta", s / "System\\Lumetta.dll", 4},
        {"Uninstall Norvane Lumetta.lnk", s / "System\\Norvane Lumetta Uninstaller.exe", "", "", 0},
    };
    for (const Expected& e : expected) {
        IShellLinkA* link = NULL;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                         (void**)&link));
        IPersistFile* file = NULL;
        ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistFile, (void**)&file));
        WCHAR wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, (s / e.link).c_str(), -1, wide, MAX_PATH);
        ASSERT_EQ(S_OK, file->Load(wide, STGM_READ)) << e.link;
        char text[MAX_PATH] = "";
        int index = -1;
        link->GetPath(text, MAX_PATH, NULL, SLGP_RAWPATH);
        // Wine resolves a bare program name against the system folder.
        std::string path = text;
        if (e.path == "rundll32.exe")
            path = path.substr(path.find_last_of('\\') + 1);
        EXPECT_EQ(e.path, path) << e.link;
        link->GetArguments(text, MAX_PATH);
        EXPECT_EQ(e.arguments, text) << e.link;
        link->GetIconLocation(text, MAX_PATH, &index);
        EXPECT_EQ(e.icon, text) << e.link;
        EXPECT_EQ(e.index, index) << e.link;
        file->Release();
        link->Release();
    }
    CoUninitialize();
}

namespace {

std::string SystemFolder()
{
    char folder[MAX_PATH] = "";
    GetSystemDirectoryA(folder, MAX_PATH);
    return folder;
}

// The test module in the system folder in place of the prefix's own Display
// control panel, which is put back afterwards.
struct TestControlPanel {
    std::string system = SystemFolder() + "\\desk.cpl";
    TestControlPanel() { CopyFileA(BuildFile("tests/installer/DESK.CPL").c_str(), system.c_str(), FALSE); }
    ~TestControlPanel() { CopyFileA(BuildFile("tools/desk/desk.cpl").c_str(), system.c_str(), FALSE); }
};

std::string ControlPanelRun(bool* opened)
{
    TestControlPanel panel;
    Scratch s;
    std::string log = s / "cpl.log";
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("LUMETTA_CPL_LOG", log.c_str());
    *opened = OpenControlPanelPage();
    SetEnvironmentVariableA("LUMETTA_CPL_LOG", NULL);
    return ReadAll(log);
}

}  // namespace

TEST(ControlPanel, MessagesInOrderWithThePageName)
{
    bool opened = false;
    EXPECT_EQ("init\ngetcount\ninquire 0\nnewinquire 0\nstartwparmsw 0 @Lumetta\n"
              "startwparmsa 0 @Lumetta\nstop 0 5150\nexit\n",
              ControlPanelRun(&opened));
    EXPECT_TRUE(opened);

    SetEnvironmentVariableA("LUMETTA_CPL_WIDE", "1");
    EXPECT_EQ("init\ngetcount\ninquire 0\nnewinquire 0\nstartwparmsw 0 @Lumetta\nstop 0 5150\nexit\n",
              ControlPanelRun(&opened));
    SetEnvironmentVariableA("LUMETTA_CPL_WIDE", NULL);
    EXPECT_TRUE(opened);

    SetEnvironmentVariableA("LUMETTA_CPL_REFUSE", "1");
    EXPECT_EQ("init\ngetcount\ninquire 0\nnewinquire 0\nstartwparmsw 0 @Lumetta\n"
              "startwparmsa 0 @Lumetta\ndblclk 0 5150\nstop 0 5150\nexit\n",
              ControlPanelRun(&opened));
    SetEnvironmentVariableA("LUMETTA_CPL_REFUSE", NULL);
    EXPECT_FALSE(opened);
}

// A DESK.CPL lies beside this program, where a download folder may hold
// anything: the modules the installer loads come from the system folder,
// also a module asked for by its bare name once the installer has limited
// the search as it does first thing (the tests after this one run so).
TEST(SystemModules, ComeFromTheSystemFolder)
{
    char program[MAX_PATH];
    GetModuleFileNameA(NULL, program, MAX_PATH);
    std::string beside = program;
    beside = beside.substr(0, beside.find_last_of('\\') + 1) + "DESK.CPL";
    ASSERT_TRUE(Exists(beside));
    LoadModulesFromSystemOnly();
    for (const char* name : {"DESK.CPL", "VERSION.DLL"}) {
        HMODULE modules[2] = {LoadSystemModule(name), LoadLibraryA(name)};
        for (HMODULE module : modules) {
            ASSERT_TRUE(module) << name;
            char path[MAX_PATH] = "";
            GetModuleFileNameA(module, path, MAX_PATH);
            EXPECT_EQ(0, lstrcmpiA((SystemFolder() + "\\" + name).c_str(), path)) << path;
            FreeLibrary(module);
        }
    }
    EXPECT_GT(ReadFileVersion(Newer.c_str()), ReadFileVersion(Lumetta.c_str()));
}

TEST(InstallProduct, CopiesRegistersAndLinks)
{
    CoInitialize(NULL);
    Scratch s;
    std::string folder = s / "Deep\\Norvane Information\\Lumetta";
    std::string list = Lumetta + "\n" + BuildFile("uninstaller/Norvane Lumetta Uninstaller.exe") + "\n";
    bool restart = false;
    ASSERT_TRUE(InstallProduct(folder.c_str(), list.c_str(), &restart));
    EXPECT_FALSE(restart);
    DWORD attributes = GetFileAttributesA((folder + "\\System").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(ReadAll(Lumetta), ReadAll(folder + "\\System\\Lumetta.dll"));
    EXPECT_EQ(ReadAll(BuildFile("uninstaller/Norvane Lumetta Uninstaller.exe")),
              ReadAll(folder + "\\System\\Norvane Lumetta Uninstaller.exe"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\Configure Norvane Lumetta.lnk").c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\Uninstall Norvane Lumetta.lnk").c_str()));
    EXPECT_EQ(folder + "\\System\\Lumetta.dll",
              RegistryText(HKEY_CLASSES_ROOT,
                           "CLSID\\{4f7a2c12-6b3e-4d85-9a1c-72e5b0d3f861}\\InprocServer32", NULL));
    // The entry's command line starts the installed uninstaller, not a
    // program named after the path's first words.
    std::string uninstaller = folder + "\\System\\Norvane Lumetta Uninstaller.exe";
    CopyFileA(uninstaller.c_str(), (s / "Deep\\Norvane.exe").c_str(), FALSE);
    std::string command = RegistryText(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString");
    STARTUPINFOA startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL,
                               &startup, &process));
    char image[MAX_PATH] = "";
    DWORD size = sizeof(image);
    QueryFullProcessImageNameA(process.hProcess, 0, image, &size);
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(0, lstrcmpiA(uninstaller.c_str(), image)) << image;
    // Nothing to install from, or nowhere to install to.
    EXPECT_FALSE(InstallProduct("", list.c_str(), &restart));
    EXPECT_FALSE(InstallProduct(folder.c_str(), "", &restart));
    EXPECT_FALSE(InstallProduct("Lumetta", list.c_str(), &restart));
    CoUninitialize();
}

namespace {

std::string ProductList()
{
    return Lumetta + "\n" + BuildFile("uninstaller/Norvane Lumetta Uninstaller.exe") + "\n";
}

}  // namespace

// The deepest folder the browser offers holds the uninstaller at a path of
// 259 characters; one character deeper is refused with message 10 before
// any folder is made, instead of half way through the copying.
TEST(InstallProduct, AtThePathLimit)
{
    CoInitialize(NULL);
    Scratch s;
    std::string folder = Deepen(s.path, FolderLengthMax);
    ASSERT_EQ(FolderLengthMax, folder.size());
    bool restart = false;
    ASSERT_TRUE(InstallProduct(folder.c_str(), ProductList().c_str(), &restart));
    std::string uninstaller = folder + "\\System\\Norvane Lumetta Uninstaller.exe";
    EXPECT_EQ(MAX_PATH - 1, uninstaller.size());
    EXPECT_EQ(ReadAll(BuildFile("uninstaller/Norvane Lumetta Uninstaller.exe")), ReadAll(uninstaller));
    EXPECT_EQ('"' + uninstaller + '"', RegistryText(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString"));
    EXPECT_TRUE(Exists(folder + "\\Configure Norvane Lumetta.lnk"));

    std::string deeper = folder;
    deeper.insert(s.path.size() + 1, "q");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    BoxAnswer ok("Norvane Lumetta Uninstaller.exe", IDOK);
    EXPECT_FALSE(InstallProduct(deeper.c_str(), ProductList().c_str(), &restart));
    ok.Finish();
    EXPECT_TRUE(ok.seen);
    EXPECT_EQ(0u, ok.text.find("The Lumetta Installer was unable to install this file on\n"));
    EXPECT_FALSE(Exists(deeper.substr(0, deeper.find('\\', s.path.size() + 1))));
    EXPECT_EQ("<no key>", RegistryText(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName"));
    CoUninitialize();
}

// A file where a folder of the path should be: the copying fails with
// message 10 naming the first file, and nothing is registered or linked.
TEST(InstallProduct, FolderThatCannotBeMade)
{
    CoInitialize(NULL);
    Scratch s;
    WriteAll(s / "Norvane Information", "a file, not a folder");
    std::string folder = s / "Norvane Information\\Lumetta";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    bool restart = false;
    BoxAnswer ok("Lumetta.dll", IDOK);
    EXPECT_FALSE(InstallProduct(folder.c_str(), ProductList().c_str(), &restart));
    ok.Finish();
    EXPECT_TRUE(ok.seen);
    EXPECT_EQ(0u, ok.text.find("The Lumetta Installer was unable to install this file on\n"));
    EXPECT_EQ("a file, not a folder", ReadAll(s / "Norvane Information"));
    EXPECT_EQ("<no key>", RegistryText(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName"));
    EXPECT_FALSE(Exists(folder + "\\Configure Norvane Lumetta.lnk"));
    EXPECT_FALSE(restart);
    CoUninitialize();
}

// The state a finished installation leaves, checked by the whole-road test
// after it drove the installer (LUMETTA_INSTALLED names the install folder).
TEST(Installed, FilesRegistryAndShortcuts)
{
    char folder[MAX_PATH];
    if (!GetEnvironmentVariableA("LUMETTA_INSTALLED", folder, sizeof(folder)))
        GTEST_SKIP() << "run by the whole-road test";
    std::string base = folder;
    DWORD attributes = GetFileAttributesA((base + "\\System").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(ReadAll(Lumetta), ReadAll(base + "\\System\\Lumetta.dll"));
    std::string uninstaller = BuildFile("uninstaller/Norvane Lumetta Uninstaller.exe");
    EXPECT_EQ(ReadAll(uninstaller), ReadAll(base + "\\System\\Norvane Lumetta Uninstaller.exe"));
    for (int i = 0; i < 4; i++) {
        std::string key = "CLSID\\{4f7a2c1" + std::to_string(i) + "-6b3e-4d85-9a1c-72e5b0d3f861}\\InprocServer32";
        EXPECT_EQ(base + "\\System\\Lumetta.dll", RegistryText(HKEY_CLASSES_ROOT, key.c_str(), NULL));
        EXPECT_EQ("Apartment", RegistryText(HKEY_CLASSES_ROOT, key.c_str(), "ThreadingModel"));
    }
    const char* approved = "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
    EXPECT_EQ("Norvane Lumetta Thumbnail Icon Shell Extension",
              RegistryText(HKEY_LOCAL_MACHINE, approved, "{4f7a2c12-6b3e-4d85-9a1c-72e5b0d3f861}"));
    EXPECT_EQ("{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}",
              RegistryText(HKEY_LOCAL_MACHINE,
                           "Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\Display\\"
                           "shellex\\PropertySheetHandlers\\Lumetta",
                           NULL));
    const char* uninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta";
    EXPECT_EQ("Norvane Lumetta", RegistryText(HKEY_LOCAL_MACHINE, uninstall, "DisplayName"));
    EXPECT_EQ('"' + base + "\\System\\Norvane Lumetta Uninstaller.exe\"",
              RegistryText(HKEY_LOCAL_MACHINE, uninstall, "UninstallString"));

    CoInitialize(NULL);
    IShellLinkA* link = NULL;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&link));
    IPersistFile* file = NULL;
    ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistFile, (void**)&file));
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, (base + "\\Configure Norvane Lumetta.lnk").c_str(), -1, wide, MAX_PATH);
    ASSERT_EQ(S_OK, file->Load(wide, STGM_READ));
    char text[MAX_PATH] = "";
    int index = -1;
    link->GetArguments(text, MAX_PATH);
    EXPECT_STREQ("shell32.dll,Control_RunDLL desk.cpl @0,@Lumetta", text);
    link->GetIconLocation(text, MAX_PATH, &index);
    EXPECT_EQ(base + "\\System\\Lumetta.dll", text);
    EXPECT_EQ(4, index);
    MultiByteToWideChar(CP_ACP, 0, (base + "\\Uninstall Norvane Lumetta.lnk").c_str(), -1, wide, MAX_PATH);
    ASSERT_EQ(S_OK, file->Load(wide, STGM_READ));
    link->GetPath(text, MAX_PATH, NULL, SLGP_RAWPATH);
    EXPECT_EQ(base + "\\System\\Norvane Lumetta Uninstaller.exe", text);
    file->Release();
    link->Release();
    CoUninitialize();
}

namespace {

std::string WininitPath()
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows) + "\\WININIT.INI";
}

std::string ShortName(const std::string& path)
{
    char text[MAX_PATH] = "";
    GetShortPathNameA(path.c_str(), text, MAX_PATH);
    return text;
}

// Installs over a held Lumetta.dll; returns the temporary copy's path.
std::string InstallOverHeldFile(const Scratch& s)
{
    std::string installed = s / "Lumetta.dll";
    CopyFileA(Lumetta.c_str(), installed.c_str(), FALSE);
    HANDLE held = CreateFileA(installed.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    Scratch from;
    CopyFileA(Newer.c_str(), (from / "Lumetta.dll").c_str(), FALSE);
    bool restart = false;
    EXPECT_TRUE(InstallFile((from / "Lumetta.dll").c_str(), s.path.c_str(), &restart));
    CloseHandle(held);
    EXPECT_TRUE(restart);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((s / "temp????.dll").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return "<none>";
    FindClose(search);
    return s / found.cFileName;
}

}  // namespace

// Run by the version test as a program that Wine tells it is Windows 95.
TEST(Windows95, InUseFileGoesThroughWininit)
{
    if (IsWindowsNt())
        GTEST_SKIP() << "run by the version test as Windows 95";
    std::string ini = WininitPath();
    DeleteFileA(ini.c_str());
    Scratch s;
    std::string temporary = InstallOverHeldFile(s);
    std::string installed = ShortName(s / "Lumetta.dll");
    std::string text = ReadAll(ini);
    EXPECT_NE(std::string::npos, text.find("[Rename]")) << text;
    EXPECT_NE(std::string::npos, text.find("NUL=" + installed + "\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find(installed + "=" + ShortName(temporary) + "\r\n")) << text;
    DeleteFileA(ini.c_str());
}

TEST(Windows95, ExistingNulEntryGetsTwoRawLines)
{
    if (IsWindowsNt())
        GTEST_SKIP() << "run by the version test as Windows 95";
    std::string ini = WininitPath();
    std::string before = "[Rename]\r\nNUL=C:\\OLD.DLL\r\n";
    WriteAll(ini, before);
    Scratch s;
    std::string temporary = InstallOverHeldFile(s);
    std::string installed = ShortName(s / "Lumetta.dll");
    EXPECT_EQ(before + "NUL=" + installed + "\r\n" + installed + "=" + ShortName(temporary) + "\r\n",
              ReadAll(ini));
    // After another section the lines get a Rename header of their own;
    // the file is only added to.
    WriteAll(ini, before + "[Other]\r\nx=y");
    Scratch t;
    temporary = InstallOverHeldFile(t);
    installed = ShortName(t / "Lumetta.dll");
    EXPECT_EQ(before + "[Other]\r\nx=y\r\n[Rename]\r\nNUL=" + installed + "\r\n" + installed + "=" +
                  ShortName(temporary) + "\r\n",
              ReadAll(ini));
    DeleteFileA(ini.c_str());
}

// A file that cannot be read (another program writes it and shares only
// writing) keeps every byte: the lines go after them, under a header of
// their own.
TEST(Wininit, UnreadableFileIsOnlyAddedTo)
{
    Scratch s;
    std::string ini = s / "WININIT.INI";
    std::string before = "[Rename]\r\nNUL=C:\\OLD.DLL\r\n[Other]\r\nx=y\r\n";
    WriteAll(ini, before);
    HANDLE holder = CreateFileA(ini.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    HANDLE reader = CreateFileA(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(INVALID_HANDLE_VALUE, reader);
    EXPECT_TRUE(RenameSectionHasNul(ini.c_str()));
    EXPECT_TRUE(AppendRenameLines(ini.c_str(), "NUL=C:\\NEW.DLL\r\n"));
    CloseHandle(holder);
    EXPECT_EQ(before + "\r\n[Rename]\r\nNUL=C:\\NEW.DLL\r\n", ReadAll(ini));
}

// A registry that refuses a write: the first class's key made volatile, so
// that its InprocServer32 key cannot be created (Wine, running as
// administrator, grants every access a security descriptor would refuse).
// Messages 11 and 12 in one box, nothing written after the failure, no
// shortcuts.
TEST(Registration, RefusedWriteStopsWithBothMessages)
{
    CoInitialize(NULL);
    const char* uninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta";
    const char* display = "CLSID\\{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, uninstall);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string(display) + "\\InprocServer32").c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, display);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, display, 0, NULL, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, NULL, &key, NULL));
    HKEY child;
    LONG refused = RegCreateKeyExA(key, "probe", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &child, NULL);
    RegCloseKey(key);
    if (refused == ERROR_SUCCESS) {
        RegCloseKey(child);
        RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string(display) + "\\probe").c_str());
        RegDeleteKeyA(HKEY_CLASSES_ROOT, display);
        GTEST_SKIP() << "this Wine refuses no registry write";
    }
    Scratch s;
    std::string list = Lumetta + "\n";
    bool restart = false;
    BoxAnswer ok("Error", IDOK);
    EXPECT_FALSE(InstallProduct(s.path.c_str(), list.c_str(), &restart));
    ok.Finish();
    EXPECT_TRUE(ok.seen);
    EXPECT_EQ("The Lumetta Installer was unable to write to your\ncomputer's registry, and is therefore "
              "unable to\ncontinue.\n\nYou may be able to solve this problem by restarting\nyour "
              "computer, and then running the Installer again.\n\nIMPORTANT: To install Norvane "
              "Lumetta on Windows NT,\nyou must be logged in as an Administrator.",
              ok.text);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((s / "Configure Norvane Lumetta.lnk").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((s / "Uninstall Norvane Lumetta.lnk").c_str()));
    EXPECT_EQ("<no key>", RegistryText(HKEY_LOCAL_MACHINE, uninstall, "DisplayName"));
    RegDeleteKeyA(HKEY_CLASSES_ROOT, display);
    CoUninitialize();
}
