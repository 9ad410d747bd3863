// The settings store in the registry, per user:
//   HKEY_CURRENT_USER\Software\<vendor>\<library>\<section>, value <name>
// held as a DWORD. A single value write is atomic in the registry, and the
// other values of the key are untouched by it.
#include "platform/settings_file.h"

#include <mutex>
#include <string>

#include "platform/win32/win32.h"

namespace kn::platform {

namespace {

std::mutex g_SettingsMutex;  // the names below
struct SettingsNames {
    std::string vendor = "TALVERN";
    std::string library = "kestrelnet";
};

// Built on first use: the library names its store from a static initialiser
// in another file, which may run before this file's own initialisers.
SettingsNames &Names()
{
    static SettingsNames names;
    return names;
}

std::string SectionKey(const char *section)
{
    std::lock_guard<std::mutex> lock(g_SettingsMutex);
    const SettingsNames &names = Names();
    return "Software\\" + names.vendor + "\\" + names.library + "\\" + section;
}

bool UsableName(const char *text) { return text != nullptr && *text != '\0'; }

}  // namespace

void SetSettingsLocation(const char *vendor, const char *library)
{
    if (!UsableName(vendor) || !UsableName(library)) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_SettingsMutex);
    SettingsNames &names = Names();
    names.vendor = vendor;
    names.library = library;
}

int32_t ReadSettingInt(const char *section, const char *name, int32_t defaultValue)
{
    if (!UsableName(section) || !UsableName(name)) {
        return defaultValue;
    }
    try {
        const std::string key = SectionKey(section);
        DWORD value = 0;
        DWORD size = sizeof value;
        // Only a DWORD is read; a value of any other type counts as absent.
        if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
            ERROR_SUCCESS) {
            return defaultValue;
        }
        return static_cast<int32_t>(value);
    } catch (...) {
        return defaultValue;
    }
}

bool WriteSettingInt(const char *section, const char *name, int32_t value)
{
    if (!UsableName(section) || !UsableName(name)) {
        return false;
    }
    try {
        const std::string key = SectionKey(section);
        HKEY hKey = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                            &hKey, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const DWORD data = static_cast<DWORD>(value);
        const LSTATUS rc = RegSetValueExA(hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), sizeof data);
        RegCloseKey(hKey);
        return rc == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

}  // namespace kn::platform
