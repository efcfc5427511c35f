// File-type associations under HKEY_CLASSES_ROOT.
#include "associations.h"

#include <stdio.h>
#include <string.h>

#include "resource.h"

namespace {

const char* SheetClsidText() { return ProductClasses[1].text; }

// A handler key under a class that the library binds, with the question it
// asks before replacing another product's handler there.
struct HandlerSlot {
    const char* key;        // below the class key, "shellex\..."
    int productClass;       // index into ProductClasses
    UINT question;
};

const HandlerSlot IconSlot = {ClassIconHandlerKey, 0, IDS_REPLACE_HANDLER};
const HandlerSlot ThumbnailSlot = {ClassThumbnailHandlerKey, 3, IDS_REPLACE_THUMBNAIL_HANDLER};

const char* ClsidTextOf(const HandlerSlot& slot) { return ProductClasses[slot.productClass].text; }

bool AskWithMessageBox(HWND ownerWindow, const char* text, const char* caption)
{
    return MessageBoxA(ownerWindow, text, caption, MB_YESNO | MB_ICONINFORMATION) == IDYES;
}

// Key paths are built in buffers of this size; the name limit keeps every
// path inside it.
const size_t KeyPathSize = 128;

bool ClassPath(const char* className, const char* suffix, char* path)
{
    int n = snprintf(path, KeyPathSize, "%s%s%s", className, suffix[0] ? "\\" : "", suffix);
    return n >= 0 && (size_t)n < KeyPathSize;
}

HKEY CreateClassKey(const char* path, REGSAM access)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return NULL;
    return key;
}

bool WriteKeyDefault(HKEY key, const char* text)
{
    return RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1) ==
           ERROR_SUCCESS;
}

// Writes text as the default value unless one is already there (also one
// too long to read: it is someone's), and records the key as the
// product's when it does.
bool CreateWithDefault(const char* path, const char* text)
{
    HKEY key = CreateClassKey(path, KEY_READ | KEY_WRITE);
    if (!key)
        return false;
    char current[KeyPathSize];
    if (IsFreeToWrite(ReadKeyText(key, NULL, current, sizeof(current)), current) && text[0] &&
        WriteKeyDefault(key, text))
        RecordMadeKey(path);
    RegCloseKey(key);
    return true;
}

bool UserReplacesHandler(HWND ownerWindow, const char* className, const char* handler,
                         UINT question)
{
    char handlerName[MAX_PATH] = "", clsidPath[KeyPathSize], typeName[64];
    snprintf(clsidPath, sizeof(clsidPath), "CLSID\\%s", handler);
    // A handler that could not be read has no name to show.
    if (handler[0] && !ReadDefaultText(HKEY_CLASSES_ROOT, clsidPath, handlerName, sizeof(handlerName))) {
        HKEY probe;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, clsidPath, 0, KEY_READ, &probe) == ERROR_SUCCESS)
            RegCloseKey(probe);
        else
            lstrcpynA(handlerName, handler, sizeof(handlerName));
    }
    if (!ReadDefaultText(HKEY_CLASSES_ROOT, className, typeName, sizeof(typeName)) || !typeName[0])
        lstrcpynA(typeName, className, sizeof(typeName));
    char format[256], caption[64], text[1024];
    LoadStringA(moduleInstance, question, format, sizeof(format));
    LoadStringA(moduleInstance, IDS_WARNING_CAPTION, caption, sizeof(caption));
    snprintf(text, sizeof(text), format, typeName, handlerName);
    return AskQuestion(ownerWindow, text, caption);
}

bool BindHandler(HWND ownerWindow, const char* className, const HandlerSlot& slot)
{
    char path[KeyPathSize], current[KeyPathSize];
    if (!ClassPath(className, slot.key, path))
        return false;
    HKEY key = CreateClassKey(path, KEY_READ | KEY_WRITE);
    if (!key)
        return false;
    // A value that cannot be read is another handler all the same.
    TextValue read = ReadKeyText(key, NULL, current, sizeof(current));
    bool ours = read == TextRead && lstrcmpiA(current, ClsidTextOf(slot)) == 0;
    if (IsFreeToWrite(read, current) ||
        (!ours && UserReplacesHandler(ownerWindow, className, current, slot.question)))
        WriteKeyDefault(key, ClsidTextOf(slot));
    RegCloseKey(key);
    return true;
}

// Deletes the slot's key, found under the class's open shellex key, when
// it names our handler.
void UnbindHandler(HKEY shellex, const HandlerSlot& slot)
{
    const char* name = slot.key + strlen("shellex\\");
    char handler[KeyPathSize];
    if (ReadDefaultText(shellex, name, handler, sizeof(handler)) &&
        lstrcmpiA(handler, ClsidTextOf(slot)) == 0)
        RegDeleteKeyA(shellex, name);
}

bool KeyIsEmpty(HKEY key)
{
    DWORD subkeys = 1, values = 1;
    return RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL,
                            NULL, NULL) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

void DeleteIfEmpty(HKEY parent, const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    bool empty = KeyIsEmpty(key);
    RegCloseKey(key);
    if (empty)
        RegDeleteKeyA(parent, name);
}

// An extension's pattern walk over the file-type row: ".bmp .rle .dib".
template <class Visit>
void ForEachExtension(const FileTypeRow& type, Visit visit)
{
    for (const char* p = type.extensions; *p;) {
        size_t length = strcspn(p, " ");
        char extension[16];
        if (length < sizeof(extension)) {
            memcpy(extension, p, length);
            extension[length] = 0;
            visit(extension);
        }
        p += length;
        while (*p == ' ')
            p++;
    }
}

// The class of an extension, made and written (and recorded) when the
// extension has none.  False for a class name too long to read: it is
// someone's, and no key path of ours would hold it.
bool ClassForBinding(const FileTypeRow& type, const char* extension, char* className, DWORD size)
{
    HKEY key = CreateClassKey(extension, KEY_READ | KEY_WRITE);
    if (!key)
        return false;
    TextValue read = ReadKeyText(key, NULL, className, size);
    bool free = IsFreeToWrite(read, className);
    if (free) {
        MakeFileClassName(type, className, size);
        if (WriteKeyDefault(key, className))
            RecordMadeKey(extension);
    }
    RegCloseKey(key);
    return free || read == TextRead;
}

}  // namespace

QuestionProc AskQuestion = AskWithMessageBox;

bool AssociateFileClass(HWND ownerWindow, const char* className, const char* typeName,
                        bool withPropertySheet)
{
    if (!className || !className[0] || strlen(className) > ClassNameLimit)
        return false;
    char path[KeyPathSize], icon[MAX_PATH + 4];
    if (!CreateWithDefault(className, typeName ? typeName : ""))
        return false;
    DWORD n = GetModuleFileNameA(moduleInstance, icon, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    strcpy(icon + n, ",0");
    if (!ClassPath(className, "DefaultIcon", path) || !CreateWithDefault(path, icon))
        return false;
    if (!BindHandler(ownerWindow, className, IconSlot) ||
        !BindHandler(ownerWindow, className, ThumbnailSlot))
        return false;
    if (!withPropertySheet)
        return true;
    if (!ClassPath(className, ClassSheetHandlerKey, path))
        return false;
    HKEY key = CreateClassKey(path, KEY_WRITE);
    if (!key)
        return false;
    bool ok = WriteKeyDefault(key, SheetClsidText());
    RegCloseKey(key);
    return ok;
}

void RemoveAssociation(const char* className)
{
    char path[KeyPathSize];
    if (!className || !className[0] || !ClassPath(className, "shellex", path))
        return;
    HKEY shellex;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_ALL_ACCESS, &shellex) != ERROR_SUCCESS)
        return;
    UnbindHandler(shellex, IconSlot);
    UnbindHandler(shellex, ThumbnailSlot);
    RegDeleteKeyA(shellex, "PropertySheetHandlers\\" ClassSheetHandlerName);
    DeleteIfEmpty(shellex, "PropertySheetHandlers");
    bool empty = KeyIsEmpty(shellex);
    RegCloseKey(shellex);
    if (empty)
        RegDeleteKeyA(HKEY_CLASSES_ROOT, path);
}

bool IsAssociated(const char* className)
{
    char path[KeyPathSize], handler[64];
    if (!className || !className[0] || !ClassPath(className, ClassIconHandlerKey, path))
        return false;
    return ReadDefaultText(HKEY_CLASSES_ROOT, path, handler, sizeof(handler)) &&
           lstrcmpiA(handler, ClsidTextOf(IconSlot)) == 0;
}

void SyncAssociations(HWND ownerWindow, const BYTE types[FamilyCount])
{
    for (int i = 0; i < FamilyCount; i++) {
        if (types[i])
            continue;
        ForEachExtension(FileTypes[i], [](const char* extension) {
            char className[64];
            if (ReadDefaultText(HKEY_CLASSES_ROOT, extension, className, sizeof(className)) &&
                className[0])
                RemoveAssociation(className);
        });
    }
    // Several extensions usually share one class (".jpg" and ".jpeg"): a
    // class is bound once a pass, so that a user who keeps another icon
    // handler is not asked again for each of its extensions.
    char bound[24][64];
    int boundCount = 0;
    for (int i = 0; i < FamilyCount; i++) {
        if (!types[i])
            continue;
        const FileTypeRow& type = FileTypes[i];
        ForEachExtension(type, [&](const char* extension) {
            char className[64];
            if (!ClassForBinding(type, extension, className, sizeof(className)))
                return;
            for (int b = 0; b < boundCount; b++) {
                if (lstrcmpiA(bound[b], className) == 0)
                    return;
            }
            if (boundCount < 24)
                strcpy(bound[boundCount++], className);
            AssociateFileClass(ownerWindow, className, type.typeName, true);
        });
    }
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST | SHCNF_FLUSHNOWAIT, NULL, NULL);
}
