// Process-wide values the host sets through the exports and the session and
// stream threads read. Each is one word, read afresh at the start of every
// wait or notice, so a change applies to everything that starts afterwards.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/host_types.h"

namespace kn {

constexpr uint32_t kDefaultReplyTimeoutMs = 3000;
constexpr uint32_t kNotifyMessage = KR_4100_DISCONNECT_MESSAGE;

extern std::atomic<uint32_t> g_dwReplyTimeout;
extern std::atomic<DvrMessageCallback> g_pfnMessageCallback;
extern std::atomic<uint32_t> g_dwNotifyThreadId;
extern std::atomic<uint32_t> g_uNotifyMessage;

}  // namespace kn
