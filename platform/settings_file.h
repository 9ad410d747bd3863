// The per-user settings store: named integers in sections, under a vendor and
// a library name. Where the values are kept is the backend's (on Linux
// ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/<library>.ini). A missing or
// unreadable store or value reads as the default; a write is atomic (a reader
// sees the old value or the new one, never a torn store) and keeps the other
// values.
#pragma once

#include <cstdint>

namespace kn::platform {

// Names the store (vendor folder and library file name). Called once at load.
void SetSettingsLocation(const char *vendor, const char *library);

int32_t ReadSettingInt(const char *section, const char *name, int32_t defaultValue);
bool WriteSettingInt(const char *section, const char *name, int32_t value);

}  // namespace kn::platform
