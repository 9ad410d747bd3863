// The settings store as an INI file per user:
//   ${XDG_CONFIG_HOME:-$HOME/.config}/<vendor>/<library>.ini
// with "[section]" headers and "name=value" lines. The environment is read at
// every call, so the location follows XDG_CONFIG_HOME as it is at that moment.
// Lines the store does not understand are kept as they are on a write.
#include "platform/settings_file.h"

#include "platform/ini_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
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
        struct stat st {};
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
    int32_t value = defaultValue;
    return IniReadInt(lines, section, name, value) ? value : defaultValue;
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
    IniWriteInt(lines, section, name, value);
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
