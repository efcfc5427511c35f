// Settings: the module-wide record and the product key in the registry.
#include "lumetta.h"

#include <new>
#include <string.h>

SettingsRecord Settings = {
    1, {1, 1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1, 1, 1}, 1};

namespace {

bool IsProductRoot(HKEY root)
{
    return root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE;
}

// Reads into a scratch block first: a value longer than the field must leave
// the caller's defaults whole, whatever the registry puts into a short buffer.
bool ReadValue(HKEY key, const char* name, void* buffer, DWORD size, DWORD* gotBytes)
{
    BYTE local[64];
    BYTE* scratch = size <= sizeof(local) ? local : new (std::nothrow) BYTE[size];
    if (!scratch)
        return false;
    DWORD got = size;
    bool ok = RegQueryValueExA(key, name, NULL, NULL, scratch, &got) == ERROR_SUCCESS;
    if (ok && got <= size)
        memcpy(buffer, scratch, got);
    if (gotBytes)
        *gotBytes = ok && got <= size ? got : 0;
    if (scratch != local)
        delete[] scratch;
    return ok && got <= size;
}

// The previous version knew seven types and stored the widths and colours
// of seven; the types after them keep their defaults.
const int OldFamilyCount = 7;
const DWORD OldIconSettingsBytes = OldFamilyCount * (sizeof(int32_t) + sizeof(uint32_t));

void TakeIconSettings(const BYTE* icon, int families)
{
    memcpy(Settings.borderWidth, icon, families * sizeof(int32_t));
    memcpy(Settings.borderColor, icon + families * sizeof(int32_t), families * sizeof(uint32_t));
}

}  // namespace

bool ReadProductValue(HKEY root, const char* name, void* buffer, DWORD size, DWORD* got)
{
    if (!IsProductRoot(root))
        return ReadValue(root, name, buffer, size, got);
    HKEY key;
    if (RegOpenKeyExA(root, ProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    bool ok = ReadValue(key, name, buffer, size, got);
    RegCloseKey(key);
    return ok;
}

bool WriteProductValue(HKEY root, const char* name, DWORD type, const void* data, DWORD size)
{
    if (!IsProductRoot(root))
        return RegSetValueExA(root, name, 0, type, (const BYTE*)data, size) == ERROR_SUCCESS;
    HKEY key;
    if (RegCreateKeyExA(root, ProductKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, name, 0, type, (const BYTE*)data, size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

LONG LoadSettings()
{
    for (int i = 0; i < FamilyCount; i++) {
        Settings.borderWidth[i] = 1;
        Settings.borderColor[i] = 0;
        Settings.enabledTypes[i] = 1;
    }
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProductKey, 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS)
        return error;
    DWORD enabled = 0;
    if (ReadProductValue(key, "Enabled", &enabled, sizeof(enabled)))
        Settings.enabled = enabled != 0;
    // "Icon Settings" has exactly the layout of the two arrays side by side.
    BYTE icon[sizeof(Settings.borderWidth) + sizeof(Settings.borderColor)];
    memcpy(icon, Settings.borderWidth, sizeof(Settings.borderWidth));
    memcpy(icon + sizeof(Settings.borderWidth), Settings.borderColor, sizeof(Settings.borderColor));
    DWORD got = 0;
    if (ReadProductValue(key, "Icon Settings", icon, sizeof(icon), &got))
        TakeIconSettings(icon, got == OldIconSettingsBytes ? OldFamilyCount : FamilyCount);
    // The previous version stored seven types: a WebP picture keeps its
    // default (on) until the page writes all eight.
    ReadProductValue(key, "Enabled Types", Settings.enabledTypes, sizeof(Settings.enabledTypes));
    return RegCloseKey(key);
}
