// The registration table and its writer.
#include "registration.h"

#include <string.h>

#include "image.h"
#include "resource.h"

const GUID CLSID_LumettaIcons = {
    0x4f7a2c12, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};
const GUID CLSID_LumettaPropertySheet = {
    0x4f7a2c11, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};
const GUID CLSID_LumettaDisplayPage = {
    0x4f7a2c10, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};
const GUID CLSID_LumettaThumbnails = {
    0x4f7a2c13, 0x6b3e, 0x4d85, {0x9a, 0x1c, 0x72, 0xe5, 0xb0, 0xd3, 0xf8, 0x61}};

const IID IidThumbnailProvider = {
    0xe357fccd, 0xa995, 0x4576, {0xb0, 0x1f, 0x23, 0x46, 0x30, 0x15, 0x4e, 0x96}};
const IID IidInitializeWithStream = {
    0xb824b49d, 0x22ac, 0x4161, {0xac, 0x8a, 0x99, 0x16, 0xe8, 0xfa, 0x3f, 0x7f}};
const IID IidInitializeWithFile = {
    0xb7d14566, 0x0509, 0x4cce, {0xa7, 0x1f, 0x0a, 0x55, 0x42, 0x33, 0xbd, 0x9b}};

const ProductClass ProductClasses[ProductClassCount] = {
    {&CLSID_LumettaIcons, "{4f7a2c12-6b3e-4d85-9a1c-72e5b0d3f861}",
     "Norvane Lumetta Thumbnail Icon Shell Extension"},
    {&CLSID_LumettaPropertySheet, "{4f7a2c11-6b3e-4d85-9a1c-72e5b0d3f861}",
     "Norvane Lumetta Property Sheet Shell Extension"},
    {&CLSID_LumettaDisplayPage, "{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}",
     "Norvane Lumetta Control Panel Extension"},
    {&CLSID_LumettaThumbnails, "{4f7a2c13-6b3e-4d85-9a1c-72e5b0d3f861}",
     "Norvane Lumetta Thumbnail Handler"},
};

#define LUMETTA_PRODUCT_KEY "Software\\Norvane Information\\Lumetta"
const char ProductKey[] = LUMETTA_PRODUCT_KEY;
const char MadeKeysKey[] = LUMETTA_PRODUCT_KEY "\\Made Keys";
const char ReloadEventName[] = "LumettaReload";

const FileTypeRow FileTypes[FileTypeCount] = {
    {FamilyBmp, ".bmp .rle .dib", "Bitmap Image", IDS_FILETYPES_FIRST + 0},
    {FamilyGif, ".gif", "GIF Image", IDS_FILETYPES_FIRST + 1},
    {FamilyTarga, ".tga .vda .vst .icb", "Targa Image", IDS_FILETYPES_FIRST + 2},
    {FamilyPng, ".png", "PNG Image", IDS_FILETYPES_FIRST + 3},
    {FamilyTiff, ".tiff .tif", "TIFF Image", IDS_FILETYPES_FIRST + 4},
    {FamilyPcx, ".pcx", "PCX Image", IDS_FILETYPES_FIRST + 5},
    {FamilyJpeg, ".jpeg .jpg .jpe .jif .jfif .jfi", "JPEG Image", IDS_FILETYPES_FIRST + 6},
    {FamilyWebp, ".webp", "WebP Image", IDS_FILETYPES_FIRST + 7},
};


namespace {

const char CompanyKey[] = "Software\\Norvane Information";
const char ApprovedKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

}  // namespace

const RegistryEntry RegistryEntries[] = {
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, ApprovedKey, "{display}", "{display-name}",
     RegWriteAlways, RegRemoveValue},
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, ApprovedKey, "{sheet}", "{sheet-name}",
     RegWriteAlways, RegRemoveValue},
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, ApprovedKey, "{icons}", "{icons-name}",
     RegWriteAlways, RegRemoveValue},
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, ApprovedKey, "{thumbs}", "{thumbs-name}",
     RegWriteAlways, RegRemoveValue},
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, DisplayPanelHandlersKey "\\Lumetta", NULL, "{display}",
     RegWriteAlways, RegRemoveKey},
    // Made as the handler's parents where the system had none.
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, DisplayPanelHandlersKey, NULL, "", RegWriteNever,
     RegRemoveKeyWhenEmpty},
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, DisplayPanelKey "\\shellex", NULL, "", RegWriteNever,
     RegRemoveKeyWhenEmpty},
    {RegGroupShellLists, HKEY_LOCAL_MACHINE, DisplayPanelKey, NULL, "", RegWriteNever,
     RegRemoveKeyWhenEmpty},

    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{display}", NULL, "{display-name}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{display}\\InprocServer32", NULL, "{module}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{display}\\InprocServer32", "ThreadingModel",
     "Apartment", RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{sheet}", NULL, "{sheet-name}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{sheet}\\InprocServer32", NULL, "{module}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{sheet}\\InprocServer32", "ThreadingModel",
     "Apartment", RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{icons}", NULL, "{icons-name}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{icons}\\InprocServer32", NULL, "{module}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{icons}\\InprocServer32", "ThreadingModel",
     "Apartment", RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{thumbs}", NULL, "{thumbs-name}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{thumbs}\\InprocServer32", NULL, "{module}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupClasses, HKEY_CLASSES_ROOT, "CLSID\\{thumbs}\\InprocServer32", "ThreadingModel",
     "Apartment", RegWriteAlways, RegRemoveKey},

    {RegGroupUninstall, HKEY_LOCAL_MACHINE,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta", "DisplayName",
     "Norvane Lumetta", RegWriteAlways, RegRemoveKey},
    // A command line: unquoted, Windows would try "C:\Program.exe" first.
    {RegGroupUninstall, HKEY_LOCAL_MACHINE,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Norvane Lumetta", "UninstallString",
     "\"{uninstaller}\"", RegWriteAlways, RegRemoveKey},

    // Once the library is gone an icon that names it shows nothing.
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}\\DefaultIcon", NULL, "{module},0",
     RegWriteWhenEmpty, RegRemoveKeyWhenBare},
    // Another program's icon handler may have been kept.
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}\\" ClassIconHandlerKey, NULL, "{icons}",
     RegWriteAlways, RegRemoveKeyWhenOurs},
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}\\shellex\\{thumbnail-interface}", NULL, "{thumbs}",
     RegWriteAlways, RegRemoveKeyWhenOurs},
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}\\" ClassSheetHandlerKey, NULL, "{sheet}",
     RegWriteAlways, RegRemoveKey},
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}\\" ClassSheetHandlersKey, NULL, "",
     RegWriteNever, RegRemoveKeyWhenEmpty},
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}\\shellex", NULL, "", RegWriteNever,
     RegRemoveKeyWhenEmpty},
    // The extension's class and the class's own description may be another
    // program's: they go only when we made them and nothing but what we
    // wrote is left.
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{class}", NULL, "{type}", RegWriteWhenEmpty,
     RegRemoveKeyWhenBare},
    {RegGroupFileTypes, HKEY_CLASSES_ROOT, "{ext}", NULL, "{class}", RegWriteWhenEmpty,
     RegRemoveKeyWhenBare},

    // The settings: "Enabled", "Icon Settings" and "Enabled Types" for the
    // machine, "HighColorNoAsk" and "Custom Colors" for each user, all in the
    // product key, which is ours; the company key may hold other products.
    {RegGroupSettings, HKEY_LOCAL_MACHINE, ProductKey, NULL, "", RegWriteNever, RegRemoveKey},
    {RegGroupSettings, HKEY_LOCAL_MACHINE, CompanyKey, NULL, "", RegWriteNever,
     RegRemoveKeyWhenEmpty},
    {RegGroupSettings, HKEY_CURRENT_USER, ProductKey, NULL, "", RegWriteNever, RegRemoveKey},
    {RegGroupSettings, HKEY_CURRENT_USER, CompanyKey, NULL, "", RegWriteNever,
     RegRemoveKeyWhenEmpty},
};

const int RegistryEntryCount = sizeof(RegistryEntries) / sizeof(RegistryEntries[0]);

namespace {

const char* PlaceNamed(const char* name, size_t length, const RegistryPlaces& places, bool* known)
{
    struct Place {
        const char* name;
        const char* value;
    } table[] = {
        {"icons", ProductClasses[0].text},       {"sheet", ProductClasses[1].text},
        {"display", ProductClasses[2].text},     {"thumbs", ProductClasses[3].text},
        {"icons-name", ProductClasses[0].name},  {"thumbs-name", ProductClasses[3].name},
        {"thumbnail-interface", ThumbnailInterfaceText},
        {"sheet-name", ProductClasses[1].name},  {"display-name", ProductClasses[2].name},
        {"module", places.module},
        {"uninstaller", places.uninstaller}, {"class", places.fileClass},
        {"type", places.typeName},           {"ext", places.extension},
    };
    for (const Place& p : table) {
        if (strlen(p.name) == length && memcmp(p.name, name, length) == 0) {
            *known = true;
            return p.value ? p.value : "";
        }
    }
    *known = false;
    return "";
}

bool Append(char* out, size_t size, size_t* used, const char* text, size_t length)
{
    if (length >= size - *used)
        return false;
    memcpy(out + *used, text, length);
    *used += length;
    out[*used] = 0;
    return true;
}

bool WriteEntry(const RegistryEntry& e, const RegistryPlaces& places)
{
    char key[MAX_PATH], value[MAX_PATH], data[MAX_PATH * 2];
    if (!ExpandRegistryText(e.key, places, key, sizeof(key)) ||
        !ExpandRegistryText(e.value ? e.value : "", places, value, sizeof(value)) ||
        !ExpandRegistryText(e.data, places, data, sizeof(data)))
        return false;
    if (e.write == RegWriteNever)
        return true;
    HKEY k;
    if (RegCreateKeyExA(e.root, key, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, NULL,
                        &k, NULL) != ERROR_SUCCESS)
        return false;
    const char* name = e.value ? value : NULL;
    bool write = true;
    if (e.write == RegWriteWhenEmpty) {
        char current[MAX_PATH];
        write = IsFreeToWrite(ReadKeyText(k, name, current, sizeof(current)), current);
    }
    LONG error = ERROR_SUCCESS;
    if (write)
        error = RegSetValueExA(k, name, 0, REG_SZ, (const BYTE*)data, (DWORD)strlen(data) + 1);
    RegCloseKey(k);
    if (write && error == ERROR_SUCCESS && e.write == RegWriteWhenEmpty && e.group == RegGroupFileTypes)
        RecordMadeKey(key);
    return error == ERROR_SUCCESS;
}

// The class an extension already has, or the one made for its type.
void ClassOf(const char* extension, const FileTypeRow& type, char* fileClass, DWORD size)
{
    if (ReadDefaultText(HKEY_CLASSES_ROOT, extension, fileClass, size) && fileClass[0])
        return;
    MakeFileClassName(type, fileClass, size);
}

bool WriteFileTypes(const RegistryPlaces& common)
{
    bool ok = true;
    for (const FileTypeRow& type : FileTypes) {
        for (const char* p = type.extensions; *p;) {
            size_t length = strcspn(p, " ");
            char extension[16] = {}, fileClass[MAX_PATH];
            if (length < sizeof(extension))
                memcpy(extension, p, length);
            p += length + (p[length] == ' ');
            ClassOf(extension, type, fileClass, sizeof(fileClass));
            RegistryPlaces places = common;
            places.extension = extension;
            places.fileClass = fileClass;
            places.typeName = type.typeName;
            for (int i = 0; i < RegistryEntryCount; i++) {
                if (RegistryEntries[i].group == RegGroupFileTypes)
                    ok &= WriteEntry(RegistryEntries[i], places);
            }
        }
    }
    return ok;
}

}  // namespace

void MakeFileClassName(const FileTypeRow& type, char* fileClass, size_t size)
{
    static const char suffix[] = "file";
    if (size < sizeof(suffix)) {
        if (size)
            fileClass[0] = 0;
        return;
    }
    const char* first = type.extensions + (type.extensions[0] == '.');
    size_t length = strcspn(first, " ");
    if (length > size - sizeof(suffix))
        length = size - sizeof(suffix);
    memcpy(fileClass, first, length);
    memcpy(fileClass + length, suffix, sizeof(suffix));
}

bool ReadDefaultText(HKEY root, const char* path, char* text, DWORD size)
{
    text[0] = 0;
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    TextValue read = ReadKeyText(key, NULL, text, size);
    RegCloseKey(key);
    return read == TextRead;
}

TextValue ReadKeyText(HKEY key, const char* name, char* text, DWORD size)
{
    DWORD got = size - 1;
    LONG error = RegQueryValueExA(key, name, NULL, NULL, (BYTE*)text, &got);
    text[error == ERROR_SUCCESS && got < size ? got : 0] = 0;
    if (error == ERROR_SUCCESS)
        return TextRead;
    return error == ERROR_FILE_NOT_FOUND ? TextMissing : TextUnreadable;
}

bool IsFreeToWrite(TextValue read, const char* text)
{
    return read == TextMissing || (read == TextRead && text[0] == 0);
}

void RecordMadeKey(const char* path)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, MadeKeysKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, path, 0, REG_SZ, (const BYTE*)"", 1);
    RegCloseKey(key);
}

bool ExpandRegistryText(const char* pattern, const RegistryPlaces& places, char* out, size_t size)
{
    if (!out || size == 0)
        return false;
    out[0] = 0;
    size_t used = 0;
    for (const char* p = pattern; *p;) {
        const char* open = strchr(p, '{');
        const char* close = open ? strchr(open, '}') : NULL;
        if (!close)
            return Append(out, size, &used, p, strlen(p));
        if (!Append(out, size, &used, p, (size_t)(open - p)))
            return false;
        bool known;
        const char* value = PlaceNamed(open + 1, (size_t)(close - open - 1), places, &known);
        if (!known || !Append(out, size, &used, value, strlen(value)))
            return false;
        p = close + 1;
    }
    return true;
}

bool WriteRegistryEntries(unsigned groups, const RegistryPlaces& places)
{
    bool ok = true;
    for (int i = 0; i < RegistryEntryCount; i++) {
        const RegistryEntry& e = RegistryEntries[i];
        if ((e.group & groups) && e.group != RegGroupFileTypes)
            ok &= WriteEntry(e, places);
    }
    if (groups & RegGroupFileTypes)
        ok &= WriteFileTypes(places);
    return ok;
}

bool WriteRegistryEntriesInOrder(unsigned groups, const RegistryPlaces& places)
{
    for (int i = 0; i < RegistryEntryCount; i++) {
        const RegistryEntry& e = RegistryEntries[i];
        if ((e.group & groups) && e.group != RegGroupFileTypes && !WriteEntry(e, places))
            return false;
    }
    return true;
}
