// The removal, driven by the registration table: what the installer and the
// library wrote is removed in the table's groups, then the files, the
// shortcuts and the folders found through the library's class.
#include "uninstall.h"

#include <shlobj.h>
#include <string.h>

#include "registration.h"
#include "resource.h"

namespace {

const DWORD StepPause = 33;

// The file-type keys the product recorded as made by it, read before the
// settings (which hold the record) go.
struct MadeKeys {
    static const int Capacity = 64;
    char paths[Capacity][128];
    int count;
};

struct Removal {
    MadeKeys made;
    ProgressReport report;
    void* context;
    HINSTANCE module;
    bool restart;            // a file is deleted only at the next restart
    char library[MAX_PATH];  // as the library's class names it; "" when unusable
    PendingList pending;
};

void Advance(Removal& r, int position, DWORD pause)
{
    r.report(r.context, position, pause);
}

// A text value (NULL: the default one); false unless it is a REG_SZ that
// fits with its terminator.
bool ReadText(HKEY root, const char* path, const char* name, char* text, DWORD size)
{
    text[0] = 0;
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, got = size;
    LONG error = RegQueryValueExA(key, name, NULL, &type, (BYTE*)text, &got);
    RegCloseKey(key);
    bool ok = error == ERROR_SUCCESS && type == REG_SZ && got > 0 && got <= size &&
              (text[got - 1] == 0 || got < size);
    if (ok)
        text[text[got - 1] == 0 ? got - 1 : got] = 0;
    else
        text[0] = 0;
    return ok;
}

LONG DeleteKeyTree(HKEY root, const char* path)
{
    HKEY key;
    LONG error = RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    char child[256];
    DWORD size = sizeof(child);
    while (error == ERROR_SUCCESS &&
           RegEnumKeyExA(key, 0, child, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
        error = DeleteKeyTree(key, child);
        size = sizeof(child);
    }
    RegCloseKey(key);
    if (error == ERROR_SUCCESS)
        error = RegDeleteKeyA(root, path);
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

// No subkeys, and no value but perhaps the default one; its size in `size`
// (0 when it is not there).
bool HoldsAtMostDefault(HKEY root, const char* path, DWORD* size)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD subkeys = 1, values = 2;
    *size = 0;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    bool bare = subkeys == 0 &&
                (values == 0 || (values == 1 && RegQueryValueExA(key, NULL, NULL, NULL, NULL, size) ==
                                                    ERROR_SUCCESS));
    RegCloseKey(key);
    return bare;
}

bool IsEmptyKey(HKEY root, const char* path)
{
    DWORD size;
    return HoldsAtMostDefault(root, path, &size) && size <= 1;
}

// All it holds is `data` as its default value, which names no existing key.
bool IsBareKey(HKEY root, const char* path, const char* data)
{
    char current[MAX_PATH * 2];
    DWORD size;
    HKEY named;
    if (!HoldsAtMostDefault(root, path, &size) || !ReadText(root, path, NULL, current, sizeof(current)) ||
        lstrcmpiA(current, data) != 0)
        return false;
    if (RegOpenKeyExA(root, current, 0, KEY_READ, &named) != ERROR_SUCCESS)
        return true;
    RegCloseKey(named);
    return false;
}

LONG DeleteLeafKey(HKEY root, const char* path)
{
    LONG error = RegDeleteKeyA(root, path);
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

LONG RemoveValue(HKEY root, const char* path, const char* name)
{
    HKEY key;
    LONG error = RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key);
    if (error == ERROR_SUCCESS) {
        error = RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

void ReadMadeKeys(MadeKeys* made)
{
    made->count = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MadeKeysKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0; made->count < MadeKeys::Capacity; i++) {
        DWORD size = sizeof(made->paths[0]);
        LONG error = RegEnumValueA(key, i, made->paths[made->count], &size, NULL, NULL, NULL, NULL);
        if (error == ERROR_SUCCESS)
            made->count++;
        else if (error != ERROR_MORE_DATA)
            break;
    }
    RegCloseKey(key);
}

bool WasMade(const MadeKeys& made, const char* path)
{
    for (int i = 0; i < made.count; i++) {
        if (lstrcmpiA(made.paths[i], path) == 0)
            return true;
    }
    return false;
}

// `made` is null for the groups that have no keys someone else may own.
LONG RemoveEntry(const RegistryEntry& e, const RegistryPlaces& places, const MadeKeys* made)
{
    char key[MAX_PATH], value[MAX_PATH], data[MAX_PATH * 2], current[MAX_PATH * 2];
    // An entry whose places do not fit was never written by us.
    if (!ExpandRegistryText(e.key, places, key, sizeof(key)) ||
        !ExpandRegistryText(e.value ? e.value : "", places, value, sizeof(value)) ||
        !ExpandRegistryText(e.data, places, data, sizeof(data)))
        return ERROR_SUCCESS;
    // A key that may have been there before us goes only when we made it.
    if (e.group == RegGroupFileTypes && e.write == RegWriteWhenEmpty && (!made || !WasMade(*made, key)))
        return ERROR_SUCCESS;
    switch (e.removal) {
    case RegRemoveValue:
        return RemoveValue(e.root, key, e.value ? value : NULL);
    case RegRemoveKey:
        return DeleteKeyTree(e.root, key);
    case RegRemoveKeyWhenOurs:
        if (ReadText(e.root, key, NULL, current, sizeof(current)) && lstrcmpiA(current, data) == 0)
            return DeleteKeyTree(e.root, key);
        return ERROR_SUCCESS;
    case RegRemoveKeyWhenEmpty:
        return IsEmptyKey(e.root, key) ? DeleteLeafKey(e.root, key) : ERROR_SUCCESS;
    case RegRemoveKeyWhenBare:
        return IsBareKey(e.root, key, data) ? DeleteLeafKey(e.root, key) : ERROR_SUCCESS;
    default:
        return ERROR_SUCCESS;
    }
}

enum EntryKinds { AllEntries, ValuesOnly, KeysOnly };

// Removes the entries of one group; the first failure, or ERROR_SUCCESS.
LONG RemoveGroup(unsigned group, const RegistryPlaces& places, EntryKinds kinds = AllEntries,
                 const MadeKeys* made = NULL)
{
    LONG first = ERROR_SUCCESS;
    for (int i = 0; i < RegistryEntryCount; i++) {
        bool value = RegistryEntries[i].removal == RegRemoveValue;
        if (RegistryEntries[i].group != group || (kinds == ValuesOnly && !value) ||
            (kinds == KeysOnly && value))
            continue;
        LONG error = RemoveEntry(RegistryEntries[i], places, made);
        if (first == ERROR_SUCCESS)
            first = error;
    }
    return first;
}

// The library beside the uninstaller that the uninstall entry names: file
// types' icons may name it when the class is gone or names another place.
void FindLibraryBesideUninstaller(const Removal& r, char* library)
{
    library[0] = 0;
    for (int i = 0; i < RegistryEntryCount; i++) {
        const RegistryEntry& e = RegistryEntries[i];
        if (e.group != RegGroupUninstall || !strstr(e.data, "{uninstaller}"))
            continue;
        RegistryPlaces places = {};
        char key[MAX_PATH], command[MAX_PATH + 2], files[512];
        if (!ExpandRegistryText(e.key, places, key, sizeof(key)) ||
            !ReadText(e.root, key, e.value, command, sizeof(command)))
            return;
        // A command line, quoted (an earlier version wrote the bare path).
        char* uninstaller = command + (command[0] == '"');
        char* quote = strchr(uninstaller, '"');
        if (quote)
            *quote = 0;
        char* slash = strrchr(uninstaller, '\\');
        // The library is the last of the program files.
        int length = LoadStringA(r.module, IDS_PROGRAM_FILES, files, sizeof(files));
        const char* name = strrchr(files, ';');
        name = name ? name + 1 : files;
        if (slash && length > 0 && (size_t)(slash + 1 - uninstaller) + strlen(name) < MAX_PATH) {
            slash[1] = 0;
            strcpy(library, uninstaller);
            strcat(library, name);
        }
        return;
    }
}

struct Extension {
    char text[16];
    const FileTypeRow* type;
};

// Every extension of the file-type table, in the table's order.
const int ExtensionCapacity = 32;
int CollectExtensions(Extension* extensions)
{
    int count = 0;
    for (const FileTypeRow& type : FileTypes) {
        for (const char* p = type.extensions; *p && count < ExtensionCapacity;) {
            size_t length = strcspn(p, " ");
            if (length < sizeof(extensions->text)) {
                memcpy(extensions[count].text, p, length);
                extensions[count].text[length] = 0;
                extensions[count++].type = &type;
            }
            p += length + (p[length] == ' ');
        }
    }
    return count;
}

void RemoveFileTypes(Removal& r)
{
    char beside[MAX_PATH];
    FindLibraryBesideUninstaller(r, beside);
    const char* libraries[2] = {r.library, lstrcmpiA(beside, r.library) ? beside : ""};
    Extension extensions[ExtensionCapacity];
    int n = CollectExtensions(extensions);
    for (int k = 1; k <= n; k++) {
        const char* extension = extensions[n - k].text;
        char fileClass[120];
        if (ReadText(HKEY_CLASSES_ROOT, extension, NULL, fileClass, sizeof(fileClass)) && fileClass[0]) {
            for (const char* library : libraries) {
                RegistryPlaces places = {};
                places.module = library;
                places.extension = extension;
                places.fileClass = fileClass;
                places.typeName = extensions[n - k].type->typeName;
                RemoveGroup(RegGroupFileTypes, places, AllEntries, &r.made);
            }
        }
        Advance(r, 10 + 40 * k / n, 400 / n);
    }
}

// The library's path as its class registration names it: the first class
// entry that holds the module.  Only a full path is taken: a relative name
// would make the current folder, or any other, the program folder.
void ReadLibraryPath(Removal& r)
{
    r.library[0] = 0;
    for (int i = 0; i < RegistryEntryCount; i++) {
        const RegistryEntry& e = RegistryEntries[i];
        if (e.group != RegGroupClasses || e.value || strcmp(e.data, "{module}") != 0)
            continue;
        RegistryPlaces places = {};
        char key[MAX_PATH];
        if (ExpandRegistryText(e.key, places, key, sizeof(key)))
            ReadText(e.root, key, NULL, r.library, sizeof(r.library));
        break;
    }
    const char* p = r.library;
    bool drive = ((p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z') && p[1] == ':' &&
                 (p[2] == '\\' || p[2] == '/');
    bool share = p[0] == '\\' && p[1] == '\\';
    if (!drive && !share)
        r.library[0] = 0;
}

// The folder of the library, with its trailing backslash; false when the
// path cannot be made whole.
bool FindProgramFolder(const char* library, char* folder)
{
    folder[0] = 0;
    if (!library[0])
        return true;
    char* name = NULL;
    DWORD length = GetFullPathNameA(library, MAX_PATH, folder, &name);
    if (length == 0 || length >= MAX_PATH) {
        folder[0] = 0;
        return false;
    }
    char* slash = strrchr(folder, '\\');
    if (slash)
        slash[1] = 0;
    else
        folder[0] = 0;
    return true;
}

// The last part of a folder that ends with a backslash ("" for a root).
void LastPart(const char* folder, char* part)
{
    part[0] = 0;
    size_t length = strlen(folder);
    if (length < 2 || folder[length - 1] != '\\')
        return;
    const char* slash = folder + length - 2;
    while (slash > folder && *slash != '\\')
        slash--;
    if (*slash == '\\')
        lstrcpynA(part, slash + 1, (int)(folder + length - 1 - slash));
}

// The folder above a folder, both with their trailing backslash; "" when
// there is none.
void ParentOf(const char* folder, char* parent)
{
    parent[0] = 0;
    size_t length = strlen(folder);
    if (length < 2 || folder[length - 1] != '\\')
        return;
    const char* slash = folder + length - 2;
    while (slash > folder && *slash != '\\')
        slash--;
    if (slash > folder && *slash == '\\')
        lstrcpynA(parent, folder, (int)(slash - folder) + 2);
}

// Deletes each name of a list resource from `folder`, last first; false at
// the first file that can neither go nor be scheduled.
bool DeleteListedFiles(Removal& r, UINT listId, const char* folder, int start, int span)
{
    char list[512];
    int length = LoadStringA(r.module, listId, list, sizeof(list));
    int m = 1;
    for (int i = 0; i < length; i++)
        m += list[i] == ';';
    for (int k = 1; k <= m; k++) {
        char* name = strrchr(list, ';');
        name = name ? name + 1 : list;
        char path[MAX_PATH];
        if (strlen(folder) + strlen(name) >= MAX_PATH)
            return false;
        strcpy(path, folder);
        strcat(path, name);
        int deleted = DeleteProductFile(path, &r.pending);
        if (deleted < 0)
            return false;
        r.restart |= deleted == 1;
        if (name != list)
            name[-1] = 0;
        Advance(r, start + span * k / m, 150 / m);
    }
    return true;
}

int RemoveRegistration(Removal& r, char* programFolder)
{
    RegistryPlaces none = {};
    // The approved list: its values go, the list stays.
    if (RemoveGroup(RegGroupShellLists, none, ValuesOnly) != ERROR_SUCCESS)
        return RemovalRegistryFailed;
    Advance(r, 3, StepPause);
    if (RemoveGroup(RegGroupShellLists, none, KeysOnly) != ERROR_SUCCESS)
        return RemovalRegistryFailed;
    Advance(r, 6, StepPause);
    RemoveGroup(RegGroupSettings, none);
    Advance(r, 10, StepPause);
    RemoveFileTypes(r);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST | SHCNF_FLUSHNOWAIT, NULL, NULL);
    if (!FindProgramFolder(r.library, programFolder))
        return RemovalRegistryFailed;
    Advance(r, 53, StepPause);
    if (RemoveGroup(RegGroupUninstall, none) != ERROR_SUCCESS)
        return RemovalRegistryFailed;
    Advance(r, 56, StepPause);
    if (RemoveGroup(RegGroupClasses, none) != ERROR_SUCCESS)
        return RemovalFilesLeft;
    Advance(r, 60, StepPause);
    return RemovalDone;
}

int RemoveFiles(Removal& r, const char* programFolder)
{
    if (!programFolder[0])
        return RemovalFilesLeft;
    if (!DeleteListedFiles(r, IDS_PROGRAM_FILES, programFolder, 60, 15))
        return RemovalFilesLeft;
    RemoveProductFolder(programFolder, &r.pending);
    // Only the installer's "System" folder has an install folder above it.
    char part[MAX_PATH], installFolder[MAX_PATH], company[MAX_PATH];
    LastPart(programFolder, part);
    ParentOf(programFolder, installFolder);
    if (lstrcmpiA(part, "System") == 0 && installFolder[0]) {
        if (!DeleteListedFiles(r, IDS_SHORTCUTS, installFolder, 75, 15))
            return RemovalFilesLeft;
        RemoveProductFolder(installFolder, &r.pending);
        ParentOf(installFolder, company);
        LastPart(company, part);
        if (lstrcmpiA(part, "Norvane Information") == 0 && company[0])
            RemoveProductFolder(company, &r.pending);
    }
    return r.restart ? RemovalNeedsRestart : RemovalDone;
}

}  // namespace

int RemoveProduct(HINSTANCE module, ProgressReport report, void* context)
{
    Removal r = {};
    r.report = report;
    r.context = context;
    r.module = module;
    // Read before the class goes: the file types' icons may name it too.
    ReadLibraryPath(r);
    ReadMadeKeys(&r.made);
    char programFolder[MAX_PATH] = "";
    int result = RemoveRegistration(r, programFolder);
    if (result == RemovalDone)
        result = RemoveFiles(r, programFolder);
    Advance(r, 100, 100);
    return result;
}
