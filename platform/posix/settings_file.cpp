// The settings store as an INI file per user:
//   ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/<library>.ini
// with "[section]" headers and "name=value" lines. The environment is read at
// every call, so the location follows XDG_CONFIG_HOME as it is at that moment.
// Lines the store does not understand are kept as they are on a write.
#include "platform/settings_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kn::platform {

namespace {

std::mutex g_SettingsMutex;  // the names below, and read-modify-write of the file
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

std::string ConfigHome()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') {
        return xdg;
    }
    const char *home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return std::string(home) + "/.config";
    }
    return {};
}

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

std::vector<std::string> ReadLines(const std::string &path, bool &ok)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    ok = static_cast<bool>(in);
    std::string line;
    while (ok && std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool MakeFolder(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st{};
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void SetSettingsLocation(const char *vendor, const char *library)
{
    std::lock_guard<std::mutex> lock(g_SettingsMutex);
    if (vendor != nullptr && *vendor != '\0') {
        Names().vendor = vendor;
    }
    if (library != nullptr && *library != '\0') {
        Names().library = library;
    }
}

int32_t ReadSettingInt(const char *section, const char *name, int32_t defaultValue)
{
    if (section == nullptr || name == nullptr) {
        return defaultValue;
    }
    std::lock_guard<std::mutex> lock(g_SettingsMutex);
    const std::string home = ConfigHome();
    if (home.empty()) {
        return defaultValue;
    }
    bool ok = false;
    const auto lines = ReadLines(home + "/" + Names().vendor + "/" + Names().library + ".ini", ok);
    bool inSection = false;
    int32_t result = defaultValue;
    for (const auto &line : lines) {
        std::string_view header;
        std::string_view key;
        std::string_view value;
        if (SectionHeader(line, header)) {
            inSection = header == section;
        } else if (inSection && KeyValue(line, key, value) && key == name) {
            // The last occurrence wins; a value that is no clean integer counts as absent.
            int32_t parsed = 0;
            result = ParseInt32(value, parsed) ? parsed : defaultValue;
        }
    }
    return result;
}

bool WriteSettingInt(const char *section, const char *name, int32_t value)
{
    if (section == nullptr || name == nullptr || *section == '\0' || *name == '\0') {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_SettingsMutex);
    const std::string home = ConfigHome();
    if (home.empty()) {
        return false;
    }
    const std::string folder = home + "/" + Names().vendor;
    const std::string path = folder + "/" + Names().library + ".ini";
    if (!MakeFolder(home) || !MakeFolder(folder)) {
        return false;
    }

    bool ok = false;
    auto lines = ReadLines(path, ok);
    const std::string entry = std::string(name) + "=" + std::to_string(value);
    // Every occurrence of the value is replaced; a missing value goes to the
    // end of the section, a missing section to the end of the file.
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
    if (!written) {
        if (!sectionSeen) {
            lines.push_back("[" + std::string(section) + "]");
            lines.push_back(entry);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        }
    }
    std::string text;
    for (const auto &line : lines) {
        text += line;
        text += '\n';
    }

    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    const bool done = WriteAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !done || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace kn::platform
