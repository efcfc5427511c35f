// What the product writes into the registry and the names its processes
// share: the three COM classes, the product key, the reload event, the
// file-type table and every registry entry with its rule for writing and
// removal.  Plain data and registry calls only, with no COM and no user
// interface, so that the library, the installer, the uninstaller, the
// shell host and the benchmarks all read the same facts.
#ifndef LUMETTA_REGISTRATION_H
#define LUMETTA_REGISTRATION_H

#include <windows.h>
#include <stdint.h>

extern const GUID CLSID_LumettaIcons;
extern const GUID CLSID_LumettaPropertySheet;
extern const GUID CLSID_LumettaDisplayPage;
extern const GUID CLSID_LumettaThumbnails;

// The interfaces of Explorer's thumbnail road, declared here rather than
// taken from a uuid library: not every SDK's carries them.
extern const IID IidThumbnailProvider;
extern const IID IidInitializeWithStream;
extern const IID IidInitializeWithFile;

// One COM class: its GUID, its registry text (braces, the letter case the
// installer writes) and the name its CLSID key and the approved list show.
struct ProductClass {
    const GUID* clsid;
    const char* text;
    const char* name;
};

// Icon handler, property sheet handler, control panel page, thumbnail
// handler: the order in which the library's factory compares them.
const int ProductClassCount = 4;
extern const ProductClass ProductClasses[ProductClassCount];

// The settings key under HKEY_LOCAL_MACHINE and, for per-user answers,
// HKEY_CURRENT_USER.
extern const char ProductKey[];
// The named auto-reset event the control panel page sets after writing the
// settings; every process that loaded the library tests it.
extern const char ReloadEventName[];

// One image file type.  Index family - 1 of FileTypes; every per-type array
// of the shell extension uses the same order.  The string (the library's
// resource) holds the patterns and names the pages show, in the same order
// as the extensions here.
struct FileTypeRow {
    uint32_t family;           // FormatFamily
    const char* extensions;    // with their dots, separated by blanks
    const char* typeName;      // singular, for a class made by us
    UINT stringId;             // patterns and names shown by the pages
};

const int FileTypeCount = 8;
extern const FileTypeRow FileTypes[FileTypeCount];

// The keys under a file class that bind it to the handlers; the table
// below writes them and the library's association pass reads them.
#define ClassIconHandlerKey "shellex\\IconHandler"
// Where today's Explorer looks for a type's thumbnail handler: the key is
// named after IThumbnailProvider's interface identifier.
#define ThumbnailInterfaceText "{e357fccd-a995-4576-b01f-234630154e96}"
#define ClassThumbnailHandlerKey "shellex\\" ThumbnailInterfaceText
#define ClassSheetHandlersKey "shellex\\PropertySheetHandlers"
#define ClassSheetHandlerName "Norvane Lumetta"
#define ClassSheetHandlerKey ClassSheetHandlersKey "\\" ClassSheetHandlerName

// Where the Display control panel finds the property sheet handlers whose
// pages it shows (HKEY_LOCAL_MACHINE).
#define DisplayPanelKey "Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\Display"
#define DisplayPanelHandlersKey DisplayPanelKey "\\shellex\\PropertySheetHandlers"

// The class made for a file type whose extension has none: its first
// extension without the dot, followed by "file" ("bmpfile" for .bmp, .rle
// and .dib alike).  Cut to fit size.
void MakeFileClassName(const FileTypeRow& type, char* fileClass, size_t size);

// Who writes an entry.  The installer writes the classes, the shell lists
// and the uninstall entry; the library binds the file types itself.
enum RegistryGroup {
    RegGroupClasses = 0x1,
    RegGroupShellLists = 0x2,
    RegGroupUninstall = 0x4,
    RegGroupFileTypes = 0x8,
    RegGroupSettings = 0x10,   // written by the library as the user chooses
};

enum RegistryWrite {
    RegWriteAlways,
    RegWriteWhenEmpty,   // a value someone else set stays; a file-type key
                         // written so is recorded under MadeKeysKey and
                         // removed only when recorded there
    RegWriteNever,       // written elsewhere, or made only as a parent key
};

enum RegistryRemoval {
    RegRemoveKey,        // the entry's key is ours: the uninstaller deletes it
    RegRemoveValue,      // only the value is ours
    RegLeave,            // shared with other programs: left in place
    RegRemoveKeyWhenOurs,  // deleted while its default value is still the data
    RegRemoveKeyWhenEmpty, // deleted when no subkey and no value but an empty
                           // default one is left
    RegRemoveKeyWhenBare,  // deleted when all it holds is the data as its default
                           // value, and that names no key that is still there
};

// Keys and data may name places that are known only when writing:
//   {icons} {sheet} {display} {thumbs}  the CLSID texts of ProductClasses
//   {thumbnail-interface}      ThumbnailInterfaceText, which names a key
//   {icons-name} ...           their names
//   {module}                   the library's full path
//   {uninstaller}              the uninstaller's full path
//   {class} {type} {ext}       a file type's class, type name, extension
// Entries of RegGroupFileTypes are written once for every extension of every
// file type.  A null value is the key's default value.  The uninstaller
// removes the entries of each group in the table's order, so a parent that
// may be left empty comes after its children.
struct RegistryEntry {
    unsigned group;
    HKEY root;
    const char* key;
    const char* value;
    const char* data;
    RegistryWrite write;
    RegistryRemoval removal;
};

extern const RegistryEntry RegistryEntries[];
extern const int RegistryEntryCount;

// The places that fill an entry's braces.  Unset places expand to nothing.
struct RegistryPlaces {
    const char* module;
    const char* uninstaller;
    const char* fileClass;
    const char* typeName;
    const char* extension;
};

// Reads a key's default value as text that is always terminated ("" on
// failure); false when the key or the value cannot be read.
bool ReadDefaultText(HKEY root, const char* path, char* text, DWORD size);

// How a text value of an open key reads.  Only a missing or empty value is
// free to be written: one too long for the buffer, or one that cannot be
// read, belongs to someone all the same.
enum TextValue { TextMissing, TextRead, TextUnreadable };
// `text` is always terminated, "" unless the value was read.  A null name
// is the default value.
TextValue ReadKeyText(HKEY key, const char* name, char* text, DWORD size);
// True for a missing or empty value.
bool IsFreeToWrite(TextValue read, const char* text);

// The file-type keys (under HKEY_CLASSES_ROOT) whose default value the
// product wrote where there was none: an extension's class, a class's type
// name, its DefaultIcon.  Each is a value name under this key (below the
// product key, HKEY_LOCAL_MACHINE), so that the uninstaller removes these
// keys and leaves the same ones alone where someone else made them.
extern const char MadeKeysKey[];
void RecordMadeKey(const char* path);

// Expands one pattern; false when the result does not fit or a brace names
// no place.
bool ExpandRegistryText(const char* pattern, const RegistryPlaces& places, char* out, size_t size);

// Writes every entry of the given groups (RegistryGroup bits).  For the file
// types, an extension without a class gets the class made of its type's
// first extension followed by "file" (".bmp", ".rle" and ".dib" all get
// "bmpfile").  True when every write succeeded.
bool WriteRegistryEntries(unsigned groups, const RegistryPlaces& places);

// Writes the entries of the given groups (file types excepted) in the
// table's order and stops at the first that fails: the installer's rule,
// which reports the failure and registers nothing more.
bool WriteRegistryEntriesInOrder(unsigned groups, const RegistryPlaces& places);

#endif
