// live, playback and download: open a stream, write its frames until a limit,
// the end of the stream or Ctrl-C, then stop it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "api/exports.h"
#include "tools/kestrel/commands.h"
#include "tools/kestrel/connection.h"
#include "tools/kestrel/exit_codes.h"
#include "tools/kestrel/output.h"

namespace kn::cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class StreamKind { Live, Playback, Download };

// The data callback has only a 32-bit user value: one sink per process.
std::atomic<CFrameSink *> g_pSink{nullptr};
volatile std::sig_atomic_t g_bInterrupted = 0;

// Frames already queued when the connection ends are still delivered after
// the loss notice: wait for a quiet spell before closing the file.
constexpr milliseconds kDrainQuiet{500};
constexpr milliseconds kDrainMax{3000};
constexpr milliseconds kDownloadStall{10000};

void KR_CALL OnData(void *, uint32_t type, const unsigned char *data, int32_t len, uint32_t)
{
    if (CFrameSink *sink = g_pSink) {
        sink->OnData(type, data, len);
    }
}

void OnSignal(int) { g_bInterrupted = 1; }

const char *KindName(StreamKind k)
{
    return k == StreamKind::Live ? "live video" : (k == StreamKind::Playback ? "playback" : "download");
}

int SecondOfDay(const DvrTime &t) { return t.nHour * 3600 + t.nMinute * 60 + t.nSecond; }

void Drain(CFrameSink &sink)
{
    const auto began = Clock::now();
    long frames = sink.WaitFor(milliseconds(0)).frames;
    auto quietSince = Clock::now();
    while (Clock::now() - began < kDrainMax && Clock::now() - quietSince < kDrainQuiet) {
        const long now = sink.WaitFor(milliseconds(50)).frames;
        if (now != frames) {
            frames = now;
            quietSince = Clock::now();
        }
        if (sink.LimitReached()) {
            return;
        }
    }
}

int RunStream(StreamKind kind, const Options &o)
{
    CFrameSink sink;
    std::string message;
    if (!sink.Open(o.output, o.h264, o.frames, message)) {
        Complain(message);
        return kExitFailure;
    }
    CConnection connection;
    if (const int rc = connection.Open(o); rc != kExitOk) {
        return rc;
    }
    g_pSink = &sink;
    const auto opening = Clock::now();
    void *stream = nullptr;
    switch (kind) {
    case StreamKind::Live:
        stream = KR_4100_RealPlay(connection.Session(), o.channel, o.transport, OnData, 0);
        break;
    case StreamKind::Playback:
        stream = KR_4100_PlayBack(connection.Session(), o.channel, &o.start, OnData, 0);
        break;
    case StreamKind::Download:
        stream = KR_4100_DownLoad(connection.Session(), o.channel, &o.start, &o.end, OnData, 0);
        break;
    }
    if (stream == nullptr) {
        g_pSink = nullptr;
        if (ElapsedMs(opening) >= 0.9 * connection.TimeoutMs()) {
            Complain(std::string("the recorder at ") + connection.Where() + " did not acknowledge the " +
                     KindName(kind) + " request for channel " + std::to_string(o.channel) + " within " +
                     std::to_string(connection.TimeoutMs()) + " ms");
            return kExitTimeout;
        }
        Complain(std::string("could not open ") + KindName(kind) + " of channel " + std::to_string(o.channel) +
                 " at " + connection.Where() + " (no media connection)");
        return kExitStream;
    }

    CProgress progress;
    std::vector<PlaybackControl> controls = o.controls;
    std::stable_sort(controls.begin(), controls.end(),
                     [](const PlaybackControl &a, const PlaybackControl &b) { return a.atSeconds < b.atSeconds; });
    size_t nextControl = 0;
    // Downloads: the expected frame count at 25 frames a second, for the bar.
    const double expected = std::max(1, SecondOfDay(o.end) - SecondOfDay(o.start)) * 25.0;
    const auto began = Clock::now();
    int rc = kExitOk;
    for (;;) {
        const SinkCounts counts = sink.WaitFor(milliseconds(100));
        const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
        while (kind == StreamKind::Playback && nextControl < controls.size() &&
               controls[nextControl].atSeconds <= elapsed) {
            KR_4100_PlayBackCtrl(stream, controls[nextControl].code);
            ++nextControl;
        }
        const std::string text = std::to_string(counts.frames) + " frames, " + HumanBytes(counts.bytes);
        progress.Update(kind == StreamKind::Download ? CProgress::Bar(counts.frames / expected * 0.99, text)
                                                     : std::string(KindName(kind)) + ": " + text);
        if (sink.LimitReached() || (o.duration > 0 && elapsed >= o.duration) || g_bInterrupted) {
            break;
        }
        if (counts.lost) {
            Drain(sink);
            if (kind == StreamKind::Live && !sink.LimitReached()) {
                Complain("the recorder at " + connection.Where() + " closed the live video of channel " +
                         std::to_string(o.channel) + " after " + std::to_string(sink.WaitFor(milliseconds(0)).frames) +
                         " frames");
                rc = kExitStream;
            }
            break;
        }
        if (kind == StreamKind::Download) {
            const auto last = counts.frames > 0 ? counts.lastFrame : began;
            if (Clock::now() - last > std::max(kDownloadStall, milliseconds(connection.TimeoutMs()))) {
                Complain("the download from " + connection.Where() + " stalled: nothing for " +
                         std::to_string(std::max(kDownloadStall, milliseconds(connection.TimeoutMs())).count()) +
                         " ms");
                rc = kExitTimeout;
                break;
            }
        }
    }
    if (kind == StreamKind::Live) {
        KR_4100_StopRealPlay(stream);
    } else {
        KR_4100_StopPlayBack(stream);
    }
    g_pSink = nullptr;
    const SinkCounts counts = sink.WaitFor(milliseconds(0));
    if (kind == StreamKind::Download && rc == kExitOk) {
        progress.Update(CProgress::Bar(1.0, std::to_string(counts.frames) + " frames, " + HumanBytes(counts.bytes)),
                        true);
    }
    progress.Finish();
    if (!sink.Close()) {
        Complain("writing " + o.output + " failed");
        return kExitFailure;
    }
    if (progress.Shown()) {
        std::fprintf(stderr, "kestrel: %ld frames, %s written to %s%s\n", counts.frames,
                     HumanBytes(counts.bytes).c_str(), o.output == "-" ? "standard output" : o.output.c_str(),
                     counts.skipped > 0 ? " (some frames carried no H.264 access unit and were left out)" : "");
    }
    return rc;
}

}  // namespace

bool Interrupted() { return g_bInterrupted != 0; }

void InstallInterruptHandler()
{
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int RunLive(const Options &o) { return RunStream(StreamKind::Live, o); }
int RunPlayback(const Options &o) { return RunStream(StreamKind::Playback, o); }
int RunDownload(const Options &o) { return RunStream(StreamKind::Download, o); }

}  // namespace kn::cli
