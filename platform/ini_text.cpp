#include "platform/ini_text.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace kn::platform {

namespace {

std::string_view Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// "[name]" -> true and name; false for any other line.
bool SectionHeader(std::string_view line, std::string_view &name)
{
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
        return false;
    }
    name = Trim(line.substr(1, line.size() - 2));
    return true;
}

bool KeyValue(std::string_view line, std::string_view &key, std::string_view &value)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return !key.empty();
}

// A clean decimal 32-bit integer, optional sign, nothing else.
bool ParseInt32(std::string_view text, int32_t &out)
{
    if (text.empty() || text.size() > 12) {
        return false;
    }
    const std::string s(text);
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size() || s[0] == ' ' || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool IniReadInt(const std::vector<std::string> &lines, const char *section, const char *name, int32_t &value)
{
    bool inSection = false;
    bool found = false;
    int32_t last = 0;
    for (const auto &line : lines) {
        std::string_view header;
        std::string_view key;
        std::string_view text;
        if (SectionHeader(line, header)) {
            inSection = header == section;
        } else if (inSection && KeyValue(line, key, text) && key == name) {
            found = ParseInt32(text, last);
        }
    }
    if (found) {
        value = last;
    }
    return found;
}

void IniWriteInt(std::vector<std::string> &lines, const char *section, const char *name, int32_t value)
{
    const std::string entry = std::string(name) + "=" + std::to_string(value);
    bool inSection = false;
    bool written = false;
    size_t insertAt = lines.size();
    bool sectionSeen = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view header;
        std::string_view key;
        std::string_view v;
        if (SectionHeader(lines[i], header)) {
            inSection = header == section;
            sectionSeen = sectionSeen || inSection;
        } else if (inSection && KeyValue(lines[i], key, v) && key == name) {
            lines[i] = entry;
            written = true;
        }
        if (inSection && !Trim(lines[i]).empty()) {
            insertAt = i + 1;
        }
    }
    if (written) {
        return;
    }
    if (!sectionSeen) {
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(entry);
    } else {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }
}

}  // namespace kn::platform
