// The text of an INI settings file, the same on every system that keeps its
// settings in one: "[section]" headers and "name=value" lines. The backend
// reads and writes the file; these functions only read and change its lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kn::platform {

// The integer value of name in section. The last occurrence wins; a value
// that is not a clean decimal 32-bit integer counts as absent (false).
bool IniReadInt(const std::vector<std::string> &lines, const char *section, const char *name, int32_t &value);

// Sets name in section to value: every occurrence is replaced; a missing
// value goes after the section's last non-blank line, a missing section to
// the end. Lines it does not understand are kept as they are.
void IniWriteInt(std::vector<std::string> &lines, const char *section, const char *name, int32_t value);

}  // namespace kn::platform
