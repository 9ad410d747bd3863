#include "api/globals.h"

#include "platform/settings_file.h"

namespace kn {

std::atomic<uint32_t> g_dwReplyTimeout{kDefaultReplyTimeoutMs};
std::atomic<DvrMessageCallback> g_pfnMessageCallback{nullptr};
std::atomic<uint32_t> g_dwNotifyThreadId{0};
std::atomic<uint32_t> g_uNotifyMessage{0};

namespace {

// Names the settings store when the library is loaded.
struct SettingsStoreName {
    SettingsStoreName() { platform::SetSettingsLocation("TALVERN", "kestrelnet"); }
};
const SettingsStoreName g_SettingsStoreName;

}  // namespace
}  // namespace kn
