// Which release this build of the library implements, and every point where
// the two releases differ, each under a name. Both releases are built from
// the same sources; KESTREL_RELEASE is set by the build (13 for 1.0.0.13, 1
// for 1.0.0.1). Code tests the named value of the difference it cares about,
// never the release number. The README lists every difference a host can
// see; the last one here (the order of a stream's teardown) it cannot.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef KESTREL_RELEASE
#  define KESTREL_RELEASE 13
#endif

namespace kn {

inline constexpr bool kRelease1001 = (KESTREL_RELEASE == 1);

namespace release {

// Disconnect notices: KR_4100_SetDVRMessage stores the target, a silent or
// lost connection is reported, and the login wait also ends on a loss.
// Release 1.0.0.1 posts none, and its SetDVRMessage stores nothing.
inline constexpr bool kPostsDisconnectNotice = !kRelease1001;

// The shortest reply time-out KR_4100_SetConnectTime accepts.
inline constexpr uint32_t kShortestReplyTimeoutMs = kRelease1001 ? 1000 : 1;

// The login result handed to the host: release 1.0.0.13 passes the reply's
// result byte on; release 1.0.0.1 maps payload byte 9 to results of its own.
inline constexpr bool kMapsLoginResult = kRelease1001;

// The local port walk: release 1.0.0.13 continues after the port it stored in
// the settings store; release 1.0.0.1 names no store and keeps its candidate
// in memory, starting at kFirstCandidatePort.
inline constexpr bool kPersistsBindPort = !kRelease1001;
inline constexpr uint16_t kFirstCandidatePort = 8010;

// Connect with time-out: how many writability waits, each how long.
inline constexpr int kConnectWaits = kRelease1001 ? 10 : 1;
inline constexpr uint32_t kConnectWaitMs = kRelease1001 ? 1000 : 1500;

// The session's receive loop as a whole: release 1.0.0.1 waits for data
// without the socket lock, never counts silence and reports no loss.
inline constexpr bool kQuietReceiveLoop = kRelease1001;

// Recorder messages whose 16-bit words at payload offsets 4, 6 and 8 are all
// zero are dropped instead of reaching the message callback.
inline constexpr bool kDropsEmptyMessages = kRelease1001;

// A parameter read succeeds only when the reply's payload is exactly as long
// as the caller's buffer.
inline constexpr bool kExactLengthParamRead = kRelease1001;

// The reply code table holds the four request codes added after release
// 1.0.0.1 (163, 164, 170, 173).
inline constexpr bool kHasLaterReplyCodes = !kRelease1001;

// A talk channel opens only on a "%" control reply (release 1.0.0.13 takes
// any reply but "&").
inline constexpr bool kTalkNeedsPercentReply = kRelease1001;

// Bytes of a stream's delivery buffer; a longer frame is dropped.
inline constexpr size_t kDeliverBufferSize = kRelease1001 ? 32768 : 131072;

// Stream teardown stops the stream's threads before it closes the stream
// socket (release 1.0.0.13 closes first, so a blocked receive ends at once).
inline constexpr bool kStopsStreamThreadsBeforeClose = kRelease1001;

}  // namespace release
}  // namespace kn
