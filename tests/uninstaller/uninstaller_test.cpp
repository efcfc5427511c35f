// The uninstaller run as a user runs it, against installations laid out by
// hand as the installer lays them out: the program folder, the registry
// entries through the registration table, the shortcuts, the settings and
// the file-type bindings.  Its dialog is driven from here.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <map>
#include <string>

#include "registration.h"

namespace {

const char DialogTitle[] = "Norvane Lumetta Uninstaller";
const char UninstallerName[] = "Norvane Lumetta Uninstaller.exe";
const char RemovedText[] =
    "Lumetta has now been removed from your computer. Thank you for using Norvane Lumetta!\n\n";
const char RestartText[] =
    "Your computer must now be restarted. After restarting, any Lumetta folders left on your "
    "computer will be empty, and may be safely deleted.\n\n";
const char FilesLeftText[] =
    "The uninstall was successful, but the Uninstaller was unable to remove all the Lumetta files "
    "from your computer.\n\nYou should manually remove the Lumetta folder from your hard drive.";
const char RefusedText[] =
    "The Uninstaller was unable to uninstall Lumetta from your computer.\n\nYou may be able to solve "
    "this problem by restarting your computer, logging in as an Administrator, and then running the "
    "Uninstaller again.";
const char DefaultFolder[] = "C:\\Program Files\\Norvane Information\\Lumetta";

std::string BuildPath(const std::string& name)
{
    const char* base = getenv("LUMETTA_BUILD");
    std::string path = base ? base : ".";
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    return path + "/" + name;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteValue(HKEY root, const char* path, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, (const BYTE*)data, size));
    RegCloseKey(key);
}

void WriteText(HKEY root, const char* path, const char* name, const char* text)
{
    WriteValue(root, path, name, REG_SZ, text, (DWORD)strlen(text) + 1);
}

std::string ReadText(HKEY root, const char* path, const char* name = NULL)
{
    char text[1024] = {};
    DWORD size = sizeof(text) - 1;
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    LONG error = RegQueryValueExA(key, name, NULL, NULL, (BYTE*)text, &size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS ? text : "<no value>";
}

bool KeyExists(HKEY root, const char* path)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteTree(HKEY root, const char* path)
{
    SHDeleteKeyA(root, path);
}

bool MakeShortcut(const std::string& target, const char* arguments, const std::string& icon, int index,
                  const std::string& file)
{
    IShellLinkA* link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&link)))
        return false;
    link->SetPath(target.c_str());
    if (arguments)
        link->SetArguments(arguments);
    if (!icon.empty())
        link->SetIconLocation(icon.c_str(), index);
    IPersistFile* persist = NULL;
    bool ok = SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&persist));
    if (ok) {
        WCHAR wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
        ok = SUCCEEDED(persist->Save(wide, TRUE));
        persist->Release();
    }
    link->Release();
    return ok;
}

// An installation as the installer leaves it, with settings and file types
// as the library writes them.
struct Installation {
    std::string folder, system, library, uninstaller;
};

Installation Install(const std::string& folder = DefaultFolder)
{
    Installation i;
    i.folder = folder;
    i.system = folder + "\\System";
    i.library = i.system + "\\Lumetta.dll";
    i.uninstaller = i.system + "\\" + UninstallerName;
    EXPECT_EQ(ERROR_SUCCESS, SHCreateDirectoryExA(NULL, i.system.c_str(), NULL));
    SetFileAttributesA(i.system.c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(CopyFileA(BuildPath("shellext/Lumetta.dll").c_str(), i.library.c_str(), FALSE));
    EXPECT_TRUE(CopyFileA(BuildPath(std::string("uninstaller/") + UninstallerName).c_str(),
                          i.uninstaller.c_str(), FALSE));
    RegistryPlaces places = {};
    places.module = i.library.c_str();
    places.uninstaller = i.uninstaller.c_str();
    EXPECT_TRUE(WriteRegistryEntries(RegGroupClasses | RegGroupShellLists | RegGroupUninstall |
                                         RegGroupFileTypes, places));
    DWORD one = 1;
    BYTE icons[56] = {1}, types[7] = {1, 1, 1, 1, 1, 1, 1}, colours[64] = {};
    WriteValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled", REG_DWORD, &one, 4);
    WriteValue(HKEY_LOCAL_MACHINE, ProductKey, "Icon Settings", REG_BINARY, icons, sizeof(icons));
    WriteValue(HKEY_LOCAL_MACHINE, ProductKey, "Enabled Types", REG_BINARY, types, sizeof(types));
    WriteValue(HKEY_CURRENT_USER, ProductKey, "HighColorNoAsk", REG_DWORD, &one, 4);
    WriteValue(HKEY_CURRENT_USER, ProductKey, "Custom Colors", REG_BINARY, colours, sizeof(colours));
    EXPECT_TRUE(MakeShortcut("rundll32.exe", "shell32.dll,Control_RunDLL desk.cpl @0,@Lumetta", i.library, 4,
                             folder + "\\Configure Norvane Lumetta.lnk"));
    EXPECT_TRUE(MakeShortcut(i.uninstaller, NULL, "", 0, folder + "\\Uninstall Norvane Lumetta.lnk"));
    return i;
}

// The whole registry of the machine and the user, one line a value.
void SnapshotKey(HKEY key, const std::string& path, std::map<std::string, std::string>* out)
{
    (*out)[path] = "<key>";
    char name[1024];
    BYTE data[4096];
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof(name), dataSize = sizeof(data), type = 0;
        LONG error = RegEnumValueA(key, i, name, &nameSize, NULL, &type, data, &dataSize);
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
            break;
        std::string text = std::to_string(type) + ":";
        if (error == ERROR_SUCCESS)
            text += std::string((const char*)data, dataSize);
        (*out)[path + "|" + name] = text;
    }
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &nameSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        HKEY child;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            SnapshotKey(child, path + "\\" + name, out);
            RegCloseKey(child);
        }
    }
}

void SnapshotFiles(const std::string& folder, std::map<std::string, std::string>* out)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string path = folder + "\\" + name;
        bool directory = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        (*out)[path] = directory ? "<folder>" : std::to_string(found.nFileSizeLow);
        if (directory && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            SnapshotFiles(path, out);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

std::map<std::string, std::string> Snapshot()
{
    std::map<std::string, std::string> all;
    SnapshotKey(HKEY_LOCAL_MACHINE, "HKLM", &all);
    SnapshotKey(HKEY_CURRENT_USER, "HKCU", &all);
    SnapshotFiles("C:", &all);
    return all;
}

// What changed, one line each; entries that change on their own are left out.
std::string Differences(const std::map<std::string, std::string>& before,
                        const std::map<std::string, std::string>& after)
{
    auto noise = [](const std::string& path) {
        return path.find("\\Software\\Wine") != std::string::npos ||
               path.find("HKLM\\System\\CurrentControlSet\\Control\\Session Manager|PendingFileRename") == 0 ||
               path.find("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer") == 0;
    };
    std::string text;
    for (const auto& b : before) {
        auto a = after.find(b.first);
        if (noise(b.first))
            continue;
        if (a == after.end())
            text += "gone: " + b.first + "\n";
        else if (a->second != b.second && b.second != "<folder>" && b.first.find("HKLM") != 0 &&
                 b.first.find("HKCU") != 0)
            continue;  // files that the system itself rewrites
        else if (a->second != b.second)
            text += "changed: " + b.first + "\n";
    }
    for (const auto& a : after) {
        if (!noise(a.first) && before.find(a.first) == before.end())
            text += "left: " + a.first + "\n";
    }
    return text;
}

struct DialogEnd {
    DWORD spawnExit = ~0u;     // the started program's exit code, when it spawned
    std::string copy;          // the program that showed the dialog
    std::string text;          // the dialog's text after the removal
    std::string button1, button1005;
    bool button1Visible = false, button1Enabled = false;
};

HWND FindDialog(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        HWND found = NULL;
        while ((found = FindWindowExA(NULL, found, "#32770", DialogTitle)) != NULL) {
            DWORD process = 0;
            GetWindowThreadProcessId(found, &process);
            if (process != GetCurrentProcessId() && IsWindowVisible(found))
                return found;
        }
        Sleep(50);
    }
    return NULL;
}

std::string ControlText(HWND dialog, int id)
{
    char text[2048] = {};
    SendMessageA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof(text), (LPARAM)text);
    return text;
}

// The last process holding the copy's handle is gone; the server may take
// a moment to let the file go.
bool GoneSoon(const std::string& path)
{
    for (int i = 0; i < 100 && Exists(path); i++)
        Sleep(50);
    return !Exists(path);
}

// Starts the uninstaller, presses "Uninstall", reads the result, then
// presses the right-hand button ("Exit") and waits for the program's end.
// Started without arguments, as the shortcut starts it, it must have handed
// over to its temporary copy, which is gone once it has ended.
DialogEnd RunUninstaller(const std::string& program, const char* arguments = NULL)
{
    DialogEnd end;
    std::string line = "\"" + program + "\"" + (arguments ? std::string(" ") + arguments : "");
    STARTUPINFOA startup = {sizeof(startup)};
    PROCESS_INFORMATION started;
    std::string folder = program.substr(0, program.rfind('\\'));
    if (!CreateProcessA(program.c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, folder.c_str(), &startup,
                        &started)) {
        ADD_FAILURE() << "cannot start " << program;
        return end;
    }
    CloseHandle(started.hThread);
    HANDLE process = started.hProcess;
    if (!arguments) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 20000));
        GetExitCodeProcess(process, &end.spawnExit);
        CloseHandle(process);
        process = NULL;
    }
    HWND dialog = FindDialog(20000);
    if (!dialog) {
        ADD_FAILURE() << "no dialog";
        if (process)
            TerminateProcess(process, 1);
        return end;
    }
    DWORD id = 0;
    GetWindowThreadProcessId(dialog, &id);
    if (!process)
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    char image[MAX_PATH] = {};
    DWORD size = sizeof(image);
    if (QueryFullProcessImageNameA(process, 0, image, &size))
        end.copy = image;
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    end.text = ControlText(dialog, 1004);
    end.button1 = ControlText(dialog, IDOK);
    end.button1005 = ControlText(dialog, 1005);
    end.button1Visible = IsWindowVisible(GetDlgItem(dialog, IDOK));
    end.button1Enabled = IsWindowEnabled(GetDlgItem(dialog, IDOK));
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(1005, BN_CLICKED), (LPARAM)GetDlgItem(dialog, 1005));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 20000));
    CloseHandle(process);
    if (!arguments) {
        EXPECT_EQ(1u, end.spawnExit);
        EXPECT_NE(std::string::npos, end.copy.find("\\lmt")) << end.copy;
        EXPECT_TRUE(GoneSoon(end.copy)) << end.copy;
    }
    return end;
}

class Uninstaller : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(NULL); }
    void TearDown() override { CoUninitialize(); }
};

// The program's lists of extensions and classes are the registration
// table's, in its order.
TEST(UninstallerResources, ListsAreTheTables)
{
    HMODULE program = LoadLibraryExA(BuildPath(std::string("uninstaller/") + UninstallerName).c_str(), NULL,
                                     LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(program);
    char text[512];
    std::string extensions;
    for (const FileTypeRow& type : FileTypes) {
        for (const char* p = type.extensions; *p; p++)
            extensions += *p == ' ' ? ';' : *p;
        extensions += ';';
    }
    extensions.pop_back();
    ASSERT_GT(LoadStringA(program, 100, text, sizeof(text)), 0);
    EXPECT_EQ(extensions, text);
    // 200 to 203: the control panel page, the property sheet, the icons,
    // the thumbnails.
    const int order[ProductClassCount] = {2, 1, 0, 3};
    for (int i = 0; i < ProductClassCount; i++) {
        ASSERT_GT(LoadStringA(program, 200 + i, text, sizeof(text)), 0);
        EXPECT_STREQ(ProductClasses[order[i]].text, text);
    }
    ASSERT_GT(LoadStringA(program, 101, text, sizeof(text)), 0);
    EXPECT_STREQ("Norvane Lumetta Uninstaller.exe;Lumetta.dll", text);
    ASSERT_GT(LoadStringA(program, 102, text, sizeof(text)), 0);
    EXPECT_STREQ("Uninstall Norvane Lumetta.lnk;Configure Norvane Lumetta.lnk", text);
    EXPECT_TRUE(FindResourceA(program, MAKEINTRESOURCEA(102), RT_DIALOG));
    EXPECT_TRUE(FindResourceA(program, MAKEINTRESOURCEA(103), RT_GROUP_ICON));
    FreeLibrary(program);
}

// What a test leaves behind in the prefix goes, whatever the uninstaller did.
void CleanUp(const Installation& i)
{
    for (const char* name : {"Lumetta.dll", UninstallerName}) {
        std::string path = i.system + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    for (const char* name : {"Configure Norvane Lumetta.lnk", "Uninstall Norvane Lumetta.lnk"}) {
        std::string path = i.folder + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(i.system.c_str());
    RemoveDirectoryA(i.folder.c_str());
    RemoveDirectoryA("C:\\Program Files\\Norvane Information");
    for (const ProductClass& c : ProductClasses)
        DeleteTree(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + c.text).c_str());
    DeleteTree(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta");
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

const char DisplayServer[] = "CLSID\\{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}\\InprocServer32";

// Another program's icon handler, kept when the user answered No, and its
// own property sheet handler beside ours.
TEST_F(Uninstaller, AnotherProgramsHandlersStay)
{
    const char other[] = "{0badf00d-0000-4000-8000-000000000001}";
    WriteText(HKEY_CLASSES_ROOT, ".tif", NULL, "TIFImage.Document");
    WriteText(HKEY_CLASSES_ROOT, "TIFImage.Document", NULL, "TIFF Picture");
    WriteText(HKEY_CLASSES_ROOT, "TIFImage.Document\\shellex\\PropertySheetHandlers\\Other", NULL, other);
    Installation i = Install();
    WriteText(HKEY_CLASSES_ROOT, "TIFImage.Document\\shellex\\IconHandler", NULL, other);
    WriteText(HKEY_CLASSES_ROOT, "TIFImage.Document\\" ClassThumbnailHandlerKey, NULL, other);
    ASSERT_EQ("{4f7a2c11-6b3e-4d85-9a1c-72e5b0d3f861}",
              ReadText(HKEY_CLASSES_ROOT, "TIFImage.Document\\shellex\\PropertySheetHandlers\\Norvane Lumetta"));
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(RemovedText, end.text);
    EXPECT_EQ(other, ReadText(HKEY_CLASSES_ROOT, "TIFImage.Document\\shellex\\IconHandler"));
    EXPECT_EQ(other, ReadText(HKEY_CLASSES_ROOT, "TIFImage.Document\\" ClassThumbnailHandlerKey));
    EXPECT_EQ(other, ReadText(HKEY_CLASSES_ROOT, "TIFImage.Document\\shellex\\PropertySheetHandlers\\Other"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "TIFImage.Document\\shellex\\PropertySheetHandlers\\Norvane Lumetta"));
    EXPECT_EQ("TIFF Picture", ReadText(HKEY_CLASSES_ROOT, "TIFImage.Document"));
    EXPECT_EQ("TIFImage.Document", ReadText(HKEY_CLASSES_ROOT, ".tif"));
    // Ours, on a class of its own, is gone.
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "tgafile"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ".tga"));
    DeleteTree(HKEY_CLASSES_ROOT, "TIFImage.Document");
    DeleteTree(HKEY_CLASSES_ROOT, ".tif");
    CleanUp(i);
}

// Keys that were there before the product, holding only what it would
// write itself: an extension's class, a class's type name, a DefaultIcon
// naming the library.  They stay; the ones it made go.
TEST_F(Uninstaller, KeysThatWereThereBeforeStay)
{
    std::string icon = std::string(DefaultFolder) + "\\System\\Lumetta.dll,0";
    WriteText(HKEY_CLASSES_ROOT, ".pcx", NULL, "pcxfile");
    WriteText(HKEY_CLASSES_ROOT, "pcxfile", NULL, "PCX Image");
    WriteText(HKEY_CLASSES_ROOT, "pcxfile\\DefaultIcon", NULL, icon.c_str());
    Installation i = Install();
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "pcxfile\\shellex\\IconHandler"));
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(RemovedText, end.text);
    EXPECT_EQ("pcxfile", ReadText(HKEY_CLASSES_ROOT, ".pcx"));
    EXPECT_EQ("PCX Image", ReadText(HKEY_CLASSES_ROOT, "pcxfile"));
    EXPECT_EQ(icon, ReadText(HKEY_CLASSES_ROOT, "pcxfile\\DefaultIcon"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "pcxfile\\shellex"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "tgafile"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ".tga"));
    DeleteTree(HKEY_CLASSES_ROOT, "pcxfile");
    DeleteTree(HKEY_CLASSES_ROOT, ".pcx");
    CleanUp(i);
}

TEST_F(Uninstaller, ParentsThatAreNotOursStay)
{
    ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExA(NULL, "C:\\Apps", NULL));
    HANDLE f = CreateFileA("C:\\Apps\\notes.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    CloseHandle(f);
    Installation i = Install("C:\\Apps\\Lumetta");
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(RemovedText, end.text);
    EXPECT_FALSE(Exists(i.folder));
    EXPECT_TRUE(Exists("C:\\Apps\\notes.txt"));
    // A "Norvane Information" folder that holds another product stays too.
    ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExA(NULL, "C:\\Program Files\\Norvane Information\\Other", NULL));
    i = Install();
    end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(RemovedText, end.text);
    EXPECT_FALSE(Exists(i.folder));
    EXPECT_TRUE(Exists("C:\\Program Files\\Norvane Information\\Other"));
    RemoveDirectoryA("C:\\Program Files\\Norvane Information\\Other");
    DeleteFileA("C:\\Apps\\notes.txt");
    RemoveDirectoryA("C:\\Apps");
    CleanUp(i);
}

TEST_F(Uninstaller, WithoutTheClassKeyTheRegistryIsCleanedAndFilesStay)
{
    auto before = Snapshot();
    Installation i = Install();
    DeleteTree(HKEY_CLASSES_ROOT, "CLSID\\{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}");
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(FilesLeftText, end.text);
    EXPECT_FALSE(end.button1Visible);
    EXPECT_TRUE(Exists(i.library));
    CleanUp(i);
    EXPECT_EQ("", Differences(before, Snapshot()));
}

// A key that no one may open, as a registry without the rights would give:
// made here a volatile link to itself, which Wine refuses to open (it grants
// an administrator every access a security descriptor would refuse).
bool MakeUnopenableKey(const wchar_t* path)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    std::wstring target = std::wstring(L"\\Registry\\Machine\\") + path;
    LONG error = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE*)target.c_str(),
                                (DWORD)(target.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    HKEY probe;
    return error == ERROR_SUCCESS &&
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &probe) != ERROR_SUCCESS;
}

void DeleteLinkKey(const wchar_t* path)
{
    typedef LONG(WINAPI * DeleteKeyFunction)(HANDLE);
    DeleteKeyFunction deleteKey =
        (DeleteKeyFunction)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey");
    HKEY key;
    if (deleteKey && RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, DELETE, &key) == ERROR_SUCCESS) {
        deleteKey(key);
        RegCloseKey(key);
    }
}

// The Display control panel's key refused: the removal stops there with the
// administrator's text; the approved list, removed before it, stays removed,
// and what comes after it (the uninstall entry, the files) is still there
// for a second run.
TEST_F(Uninstaller, ARefusedKeyStopsTheRemoval)
{
    const char panels[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder";
    const wchar_t display[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\Display";
    const char approved[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
    const char entry[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta";
    bool panelsBefore = KeyExists(HKEY_LOCAL_MACHINE, panels);
    auto before = Snapshot();
    Installation i = Install();
    DeleteTree(HKEY_LOCAL_MACHINE, (std::string(panels) + "\\Display").c_str());
    if (!MakeUnopenableKey(display)) {
        DeleteLinkKey(display);
        CleanUp(i);
        GTEST_SKIP() << "this Wine opens every key";
    }
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(RefusedText, end.text);
    EXPECT_FALSE(end.button1Visible);
    for (const ProductClass& c : ProductClasses)
        EXPECT_EQ("<no value>", ReadText(HKEY_LOCAL_MACHINE, approved, c.text));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, entry));
    EXPECT_TRUE(Exists(i.library));
    // Run again once the registry lets it, as its text advises: all goes.
    DeleteLinkKey(display);
    EXPECT_EQ(RemovedText, RunUninstaller(i.uninstaller).text);
    if (!panelsBefore)
        DeleteTree(HKEY_LOCAL_MACHINE, panels);
    CleanUp(i);
    EXPECT_EQ("", Differences(before, Snapshot()));
}

// Paths read from the registry that are not the installer's: nothing is
// deleted there but files of the product's own names, and no folder that
// holds anything else goes, now or at the restart.
TEST_F(Uninstaller, BadLibraryPaths)
{
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
        const char* text;
    } cases[] = {
        {"a number", REG_DWORD, std::string("\x01\x02\x03\x04", 4), FilesLeftText},
        {"binary", REG_BINARY, "C:\\Windows\\System32\\x.dll", FilesLeftText},
        {"too long", REG_SZ, "C:\\" + std::string(400, 'a') + "\\Lumetta.dll", FilesLeftText},
        {"unterminated", REG_SZ, std::string("C:\\Apps\\") + std::string(252, 'b'), FilesLeftText},
        {"relative", REG_SZ, std::string("Lumetta.dll", 12), FilesLeftText},
        {"system folder", REG_SZ, std::string("C:\\Windows\\System32\\x.dll", 26), RemovedText},
        {"drive root", REG_SZ, std::string("C:\\", 4), RemovedText},
    };
    // One comparison for all the cases: each cleans up after itself.
    auto before = Snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation i = Install();
        for (const ProductClass& pc : ProductClasses) {
            std::string key = std::string("CLSID\\") + pc.text + "\\InprocServer32";
            WriteValue(HKEY_CLASSES_ROOT, key.c_str(), NULL, c.type, c.data.data(), (DWORD)c.data.size());
        }
        DialogEnd end = RunUninstaller(i.uninstaller);
        EXPECT_EQ(c.text, end.text);
        EXPECT_TRUE(Exists(i.library));
        EXPECT_TRUE(Exists("C:\\Windows\\System32\\kernel32.dll"));
        EXPECT_EQ("<no value>", ReadText(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                                         "PendingFileRenameOperations"));
        CleanUp(i);
    }
    EXPECT_EQ("", Differences(before, Snapshot()));
}

// A whole removal, read-only files and all, leaves the prefix as it was.
TEST_F(Uninstaller, LeavesNothingOfTheProductReadOnlyFilesIncluded)
{
    auto before = Snapshot();
    Installation i = Install();
    SetFileAttributesA(i.library.c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((i.folder + "\\Configure Norvane Lumetta.lnk").c_str(), FILE_ATTRIBUTE_READONLY);
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(RemovedText, end.text);
    EXPECT_FALSE(end.button1Visible);
    EXPECT_EQ("E&xit", end.button1005);
    EXPECT_FALSE(Exists(i.folder));
    EXPECT_EQ("", Differences(before, Snapshot()));
    CleanUp(i);
}

std::string PendingOperations()
{
    char data[8192] = {};
    DWORD size = sizeof(data) - 2;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return "";
    if (RegQueryValueExA(key, "PendingFileRenameOperations", NULL, NULL, (BYTE*)data, &size) != ERROR_SUCCESS)
        size = 0;
    RegCloseKey(key);
    std::string text(data, size);
    for (char& ch : text)
        ch = ch ? ch : '|';
    return text;
}

TEST_F(Uninstaller, ALibraryInUseGoesAtTheRestart)
{
    Installation i = Install();
    HMODULE loaded = LoadLibraryExA(i.library.c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_TRUE(loaded);
    DialogEnd end = RunUninstaller(i.uninstaller);
    EXPECT_EQ(std::string(RemovedText) + RestartText, end.text);
    EXPECT_TRUE(end.button1Visible);
    EXPECT_TRUE(end.button1Enabled);
    EXPECT_EQ("&Restart", end.button1);
    EXPECT_EQ("E&xit", end.button1005);
    std::string pending = PendingOperations();
    EXPECT_NE(std::string::npos, pending.find("Lumetta.dll")) << pending;
    EXPECT_NE(std::string::npos, pending.find("Lumetta\\System|")) << pending;
    // The folders follow, as nothing else is in them.
    EXPECT_NE(std::string::npos, pending.find("Norvane Information|")) << pending;
    EXPECT_TRUE(Exists(i.library));
    EXPECT_FALSE(Exists(i.uninstaller));
    FreeLibrary(loaded);
    CleanUp(i);
}

std::string ReadWininit()
{
    char folder[MAX_PATH];
    GetWindowsDirectoryA(folder, MAX_PATH);
    std::string path = std::string(folder) + "\\WININIT.INI";
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return "";
    char data[4096] = {};
    DWORD got = 0;
    ReadFile(f, data, sizeof(data) - 1, &got, NULL);
    CloseHandle(f);
    return std::string(data, got);
}

TEST_F(Uninstaller, Windows95SchedulesInWininit)
{
    char folder[MAX_PATH];
    GetWindowsDirectoryA(folder, MAX_PATH);
    std::string wininit = std::string(folder) + "\\WININIT.INI";
    DeleteFileA(wininit.c_str());
    const char appKey[] = "Software\\Wine\\AppDefaults\\Norvane Lumetta Uninstaller.exe";
    WriteText(HKEY_CURRENT_USER, appKey, "Version", "win95");
    Installation i = Install();
    HMODULE loaded = LoadLibraryExA(i.library.c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_TRUE(loaded);
    DialogEnd end = RunUninstaller(i.uninstaller, "nospawn");
    EXPECT_EQ(std::string(RemovedText) + RestartText, end.text);
    char shortLibrary[MAX_PATH], shortSystem[MAX_PATH];
    GetShortPathNameA(i.library.c_str(), shortLibrary, MAX_PATH);
    GetShortPathNameA(i.system.c_str(), shortSystem, MAX_PATH);
    // The first entry through the profile functions, the second one raw.
    std::string text = ReadWininit();
    EXPECT_NE(std::string::npos, text.find(std::string("NUL=") + shortLibrary + "\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find(std::string("NUL=") + shortSystem + "\r\n")) << text;
    EXPECT_EQ("", PendingOperations());
    FreeLibrary(loaded);
    DeleteTree(HKEY_CURRENT_USER, appKey);
    DeleteFileA(wininit.c_str());
    CleanUp(i);
}

// An existing NUL entry stays in force: ours follow as raw lines, in a
// "Rename" section of their own when another section is last, and never
// joined to a last line that has no end.
TEST_F(Uninstaller, Windows95KeepsAnExistingEntry)
{
    char folder[MAX_PATH];
    GetWindowsDirectoryA(folder, MAX_PATH);
    std::string wininit = std::string(folder) + "\\WININIT.INI";
    const char before[] = "[Rename]\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nx=y";
    HANDLE f = CreateFileA(wininit.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written;
    WriteFile(f, before, sizeof(before) - 1, &written, NULL);
    CloseHandle(f);
    const char appKey[] = "Software\\Wine\\AppDefaults\\Norvane Lumetta Uninstaller.exe";
    WriteText(HKEY_CURRENT_USER, appKey, "Version", "win95");
    Installation i = Install();
    HMODULE loaded = LoadLibraryExA(i.library.c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_TRUE(loaded);
    // The version setting holds for the program's own name, not its copy's.
    DialogEnd end = RunUninstaller(i.uninstaller, "nospawn");
    EXPECT_EQ(std::string(RemovedText) + RestartText, end.text);
    char shortLibrary[MAX_PATH];
    GetShortPathNameA(i.library.c_str(), shortLibrary, MAX_PATH);
    std::string text = ReadWininit();
    EXPECT_EQ(0u, text.find(std::string(before) + "\r\n[Rename]\r\nNUL=" + shortLibrary + "\r\n")) << text;
    char old[64];
    GetPrivateProfileStringA("Rename", "NUL", "", old, sizeof(old), wininit.c_str());
    EXPECT_STREQ("C:\\OLD.TXT", old);
    FreeLibrary(loaded);
    DeleteTree(HKEY_CURRENT_USER, appKey);
    DeleteFileA(wininit.c_str());
    CleanUp(i);
}

}  // namespace

namespace {

// For the scripts' tests: an installation laid out in the prefix and left
// there, only when LUMETTA_LAY_OUT_INSTALLATION is set.
TEST(ScriptSupport, LayOutInstallation)
{
    if (!getenv("LUMETTA_LAY_OUT_INSTALLATION"))
        GTEST_SKIP() << "only for scripts";
    CoInitialize(NULL);
    Install();
    CoUninitialize();
}

}  // namespace
