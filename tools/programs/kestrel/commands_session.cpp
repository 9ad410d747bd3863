// login, search, param and talk: requests on the command channel, and talk.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "api/exports.h"
#include "tools/programs/kestrel/commands.h"
#include "tools/programs/kestrel/connection.h"
#include "tools/programs/kestrel/exit_codes.h"
#include "tools/programs/kestrel/output.h"

namespace kn::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string FormatTime(const DvrTime &t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute,
                  t.nSecond);
    return text;
}

// The largest reply payload the library can hand over (its reply buffer
// less the packet header).
constexpr uint32_t kLargestReply = 32757;

// A request that got no reply: the recorder was lost, or did not answer.
int NoReply(CConnection &c, const std::string &what, const Clock::time_point &began)
{
    const double waited = ElapsedMs(began) / 1000;
    std::string reason;
    if (c.RecorderLost(reason)) {
        Complain("lost the recorder at " + c.Where() + " during " + what + " (" + reason + ")");
        return kExitStream;
    }
    Complain("the recorder at " + c.Where() + " did not answer " + what + ": nothing came in " + Seconds(waited) +
             " (--timeout " + std::to_string(c.TimeoutMs()) + " ms)");
    return kExitTimeout;
}

// A failed parameter request: at once means the library would not send the
// code; after the whole time-out, no reply came.
int RequestFailed(CConnection &c, const Options &o, const Clock::time_point &began)
{
    if (ElapsedMs(began) < 0.5 * c.TimeoutMs()) {
        Complain("request code " + std::to_string(o.code) +
                 " is not a parameter code the library sends: the codes it sends are those of its reply table, "
                 "listed by 'kestrel help param' and at KR_4100_GetDvrParam in exports.h");
        return kExitUsage;
    }
    return NoReply(c, "request " + std::to_string(o.code), began);
}

}  // namespace

int RunLogin(const Options &o)
{
    CConnection connection;
    if (const int rc = connection.Open(o); rc != kExitOk) {
        return rc;
    }
    std::printf("logged in to %s as %s\n", connection.Where().c_str(), o.user.c_str());
    return kExitOk;
}

int RunSearch(const Options &o)
{
    CConnection connection;
    if (const int rc = connection.Open(o); rc != kExitOk) {
        return rc;
    }
    connection.WatchForLoss();
    void *session = connection.Session();
    KR_4100_ClearFile(session);
    const auto began = Clock::now();
    if (KR_4100_FindFile(session, o.channel, o.selector, &o.start, &o.end) != 1) {
        return NoReply(connection, "a day of the search", began);
    }
    std::printf("%-5s %-19s  %-19s  %s\n", "#", "start", "end", "value");
    DvrFileRecord record{};
    int n = 0;
    while (KR_4100_FindNextFile(session, &record) == KR_4100_FIND_RECORD) {
        ++n;
        std::printf("%-5d %s  %s  0x%08x\n", n, FormatTime(record.Start).c_str(), FormatTime(record.End).c_str(),
                    record.dwValue);
    }
    std::printf("%d recording%s\n", n, n == 1 ? "" : "s");
    return kExitOk;
}

int RunParam(const Options &o)
{
    CConnection connection;
    if (const int rc = connection.Open(o); rc != kExitOk) {
        return rc;
    }
    connection.WatchForLoss();
    void *session = connection.Session();
    const void *in = o.data.empty() ? nullptr : o.data.data();
    const auto inLen = static_cast<int32_t>(o.data.size());
    auto began = Clock::now();
    if (o.action == "set") {
        if (KR_4100_SetDvrParam(session, o.code, in, inLen) != 1) {
            return RequestFailed(connection, o, began);
        }
        std::printf("parameter %d set (%zu bytes)\n", o.code, o.data.size());
        return kExitOk;
    }
    // The library does not say how much it copied: read the largest reply
    // into two buffers of different fill; the copied part is where they
    // agree, and its length tells whether --size cut the reply.
    std::vector<uint8_t> zeros(kLargestReply, 0x00), ones(kLargestReply, 0xFF);
    if (KR_4100_GetDvrParam(session, o.code, in, inLen, zeros.data(), kLargestReply) != 1) {
        return RequestFailed(connection, o, began);
    }
    began = Clock::now();
    if (KR_4100_GetDvrParam(session, o.code, in, inLen, ones.data(), kLargestReply) != 1) {
        return RequestFailed(connection, o, began);
    }
    size_t length = 0;
    while (length < kLargestReply && zeros[length] == ones[length]) {
        ++length;
    }
    const size_t n = std::min<size_t>(length, o.size);
    for (size_t i = 0; i < n; ++i) {
        std::printf("%02x%s", zeros[i], i + 1 == n ? "" : " ");
    }
    std::printf("\n");
    if (length > o.size) {
        Complain("the reply to request " + std::to_string(o.code) + " carries " + std::to_string(length) +
                 " bytes; only the first " + std::to_string(o.size) + " are shown (--size)");
        return kExitIncomplete;
    }
    return kExitOk;
}

int RunTalk(const Options &o)
{
    std::ifstream in(o.file, std::ios::binary);
    if (!in) {
        Complain("cannot read " + o.file);
        return kExitFailure;
    }
    const std::vector<uint8_t> audio((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CConnection connection;
    if (const int rc = connection.Open(o); rc != kExitOk) {
        return rc;
    }
    connection.WatchForLoss();
    const auto opening = Clock::now();
    void *talk = KR_4100_Talk(connection.Session());
    if (talk == nullptr) {
        const double waited = ElapsedMs(opening);
        const bool late = waited >= 0.9 * connection.TimeoutMs();
        std::string reason;
        if (connection.RecorderLost(reason)) {
            Complain("lost the recorder at " + connection.Where() + " during the talk request (" + reason + ")");
            return kExitStream;
        }
        Complain("the recorder at " + connection.Where() +
                 (late ? " did not answer the talk request: nothing came in " + Seconds(waited / 1000)
                       : std::string(" refused talk")));
        return late ? kExitTimeout : kExitStream;
    }
    CProgress progress;
    const auto began = Clock::now();
    size_t sent = 0;
    std::string lostReason;
    bool lost = false;
    while (sent < audio.size() && !Interrupted()) {
        if (connection.Lost(lostReason)) {
            lost = true;
            break;
        }
        const size_t n = std::min<size_t>(o.chunk, audio.size() - sent);
        KR_4100_AudioSend(talk, audio.data() + sent, static_cast<int32_t>(n));
        sent += n;
        progress.Update(
            CProgress::Bar(static_cast<double>(sent) / static_cast<double>(audio.size()), HumanBytes(sent) + " sent"));
        if (o.rate > 0) {
            std::this_thread::sleep_until(began + std::chrono::microseconds(sent * 1000000 / o.rate));
        }
    }
    progress.Finish();
    // The library reports no failed send: before calling the audio sent,
    // make sure the recorder was still there.
    if (!lost && sent == audio.size()) {
        lost = connection.RecorderLost(lostReason);
    }
    KR_4100_StopTalk(connection.Session());
    if (lost) {
        Complain("lost the recorder at " + connection.Where() + " (" + lostReason + ") after " + std::to_string(sent) +
                 " of " + std::to_string(audio.size()) + " audio bytes");
        return kExitStream;
    }
    if (sent < audio.size()) {
        Complain("interrupted after " + std::to_string(sent) + " of " + std::to_string(audio.size()) + " audio bytes");
        return kExitInterrupted;
    }
    if (progress.Shown()) {
        std::fprintf(stderr, "kestrel: %zu audio bytes sent\n", sent);
    }
    return kExitOk;
}

}  // namespace kn::cli
