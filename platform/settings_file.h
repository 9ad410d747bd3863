// The per-user settings store: named integers in sections, kept in
// ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/<library>.ini. A missing or
// unreadable file or value reads as the default; a write replaces the file
// atomically (temporary file, then rename) and keeps the other values.
#pragma once

#include <cstdint>

namespace kn::platform {

// Names the store (vendor folder and library file name). Called once at load.
void SetSettingsLocation(const char *vendor, const char *library);

int32_t ReadSettingInt(const char *section, const char *name, int32_t defaultValue);
bool WriteSettingInt(const char *section, const char *name, int32_t value);

}  // namespace kn::platform
