#include "core/globals.h"

#include "core/release.h"
#include "platform/settings_file.h"

namespace kn {

std::atomic<uint32_t> g_dwReplyTimeout{kDefaultReplyTimeoutMs};
std::atomic<DvrMessageCallback> g_pfnMessageCallback{nullptr};
std::atomic<uint32_t> g_dwNotifyThreadId{0};
std::atomic<uint32_t> g_uNotifyMessage{0};

namespace {

// Names the settings store when the library is loaded. Release 1.0.0.1 keeps
// nothing persistent and never names, reads or writes the store.
struct SettingsStoreName {
    SettingsStoreName()
    {
        if constexpr (release::kPersistsBindPort) {
            platform::SetSettingsLocation("TALVERN", "kestrelnet");
        }
    }
};
const SettingsStoreName g_SettingsStoreName;

}  // namespace
}  // namespace kn
