// live, playback and download: open a stream, write its frames until a limit,
// the end of the stream, the loss of the recorder or Ctrl-C, then stop it and
// say truthfully how the job ended.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>

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

// Why the receiving loop ended.
enum class Ending {
    Asked,  // --frames or --duration reached
    Interrupted,  // Ctrl-C or SIGTERM
    Closed,  // the recorder closed the stream (type 255)
    RecorderLost,  // the session's recorder is gone
    Idle,  // nothing for --idle-timeout
    WriteFailed,
};

// The data callback has only a 32-bit user value: one sink per process. The
// callback uses it under g_SinkMutex, so once SetSink(nullptr) returned no
// library thread still touches the sink, even one that outlived its stop.
std::mutex g_SinkMutex;
CFrameSink *g_pSink = nullptr;

void SetSink(CFrameSink *sink)
{
    std::lock_guard<std::mutex> lk(g_SinkMutex);
    g_pSink = sink;
}
volatile std::sig_atomic_t g_bInterrupted = 0;

// Frames already queued when the connection ends are still delivered after
// the loss notice: wait for a quiet spell before closing the file.
constexpr milliseconds kDrainQuiet{500};
constexpr milliseconds kDrainMax{3000};
// A stream this long without frames makes a disconnect notice worth checking.
constexpr milliseconds kQuietBeforeCheck{1000};
// Pictures a second: the rate the library's frame prefix and decoder header give.
constexpr int kFramesPerSecond = 25;

void KR_CALL OnData(void *, uint32_t type, const unsigned char *data, int32_t len, uint32_t)
{
    std::lock_guard<std::mutex> lk(g_SinkMutex);
    if (g_pSink != nullptr) {
        g_pSink->OnData(type, data, len);
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
    long frames = sink.Counts().frames;
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

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

std::string Received(const SinkCounts &c)
{
    return std::to_string(c.frames) + " frame" + (c.frames == 1 ? "" : "s") + ", " + HumanBytes(c.bytes);
}

// The exit status and message for a job that ended; commits the output
// when the job ended as asked.
class CJobOutcome {
public:
    CJobOutcome(StreamKind kind, const Options &o, const CConnection &c, COutputFile &file)
        : m_Kind(kind), m_O(o), m_C(c), m_File(file)
    {
    }

    int Judge(Ending ending, const SinkCounts &counts, double elapsed, const std::string &lostReason)
    {
        const std::string what = std::string(KindName(m_Kind)) + " of channel " + std::to_string(m_O.channel);
        if (ending == Ending::WriteFailed) {
            return Fail(kExitFailure, "writing " + m_File.PartPath() + " failed");
        }
        const bool limitless = m_O.duration <= 0 && m_O.frames <= 0;
        if (ending == Ending::Interrupted && !(m_Kind == StreamKind::Live && limitless)) {
            return Fail(kExitInterrupted, "interrupted: " + what + " ended before its end after " + Received(counts));
        }
        if (ending == Ending::RecorderLost) {
            return Fail(kExitStream, "lost the recorder at " + m_C.Where() + " (" + lostReason + ") after " +
                                         Received(counts));
        }
        if (counts.frames == 0) {
            // However it ended: closed at once, silent, or a limit reached.
            // (A recorder that closes right after its acknowledgement may do
            // so before the library reports closes to the host: then only
            // the silence tells.)
            const std::string why = m_Kind == StreamKind::Live ? " delivered no frame"
                                                               : " brought no frame (no recording at that time?)";
            return Fail(kExitNothing, "the " + what + " at " + m_C.Where() + why +
                                          (ending == Ending::Idle ? " in " + Seconds(m_O.idleSeconds) : ""));
        }
        if (ending == Ending::Idle) {
            return Fail(kExitStream, "the " + what + " from " + m_C.Where() + " went silent: nothing for " +
                                         Seconds(m_O.idleSeconds) + " (--idle-timeout) after " + Received(counts));
        }
        if (ending == Ending::Closed) {
            if (m_Kind == StreamKind::Live) {
                return Fail(kExitStream, "the recorder at " + m_C.Where() + " closed the " + what + " after " +
                                             Received(counts));
            }
            if (m_Kind == StreamKind::Download) {
                const int asked = SecondOfDay(m_O.end) - SecondOfDay(m_O.start);
                const double got = static_cast<double>(counts.videoFrames) / kFramesPerSecond;
                if (m_O.frames <= 0 && counts.videoFrames < static_cast<long>(asked) * kFramesPerSecond) {
                    return Fail(kExitIncomplete, "the recorder at " + m_C.Where() + " ended the download after " +
                                                     Seconds(got) + " of the " + std::to_string(asked) +
                                                     " s asked (" + Received(counts) + ")");
                }
            } else if (!limitless) {
                // Playback with a limit that the recording ended before.
                return Fail(kExitIncomplete, "the recording ended after " + Received(counts) + " and " +
                                                 Seconds(elapsed) + ", before the " +
                                                 (m_O.frames > 0 ? std::to_string(m_O.frames) + " frames"
                                                                 : Seconds(m_O.duration)) +
                                                 " asked");
            }
        }
        std::string message;
        if (!m_File.Commit(message)) {
            Complain(message);
            return kExitFailure;
        }
        return kExitOk;
    }

private:
    int Fail(int rc, const std::string &text)
    {
        const std::string kept = m_File.Abandon();
        Complain(text + (kept.empty() ? "" : "; what came is in " + kept) +
                 (!m_File.IsStdout() && kept.empty() ? "; nothing written" : ""));
        return rc;
    }

    StreamKind m_Kind;
    const Options &m_O;
    const CConnection &m_C;
    COutputFile &m_File;
};

void *OpenStream(StreamKind kind, const Options &o, void *session)
{
    switch (kind) {
    case StreamKind::Live:
        return KR_4100_RealPlay(session, o.channel, o.transport, OnData, 0);
    case StreamKind::Playback:
        return KR_4100_PlayBack(session, o.channel, &o.start, OnData, 0);
    case StreamKind::Download:
        return KR_4100_DownLoad(session, o.channel, &o.start, &o.end, OnData, 0);
    }
    return nullptr;
}

int RunStream(StreamKind kind, const Options &o)
{
    COutputFile file;
    std::string message;
    if (!file.Prepare(o.output, o.noClobber, message)) {
        Complain(message);
        return kExitFailure;
    }
    // The sink outlives the connection, whose loss watch asks it about frames.
    CFrameSink sink(file);
    sink.Begin(o.h264, o.frames);
    CConnection connection;
    if (const int rc = connection.Open(o); rc != kExitOk) {
        return rc;
    }
    // The recorder is checked only while frames have stopped coming.
    connection.WatchForLoss([&sink] { sink.Wake(); },
                            [&sink] { return Clock::now() - sink.Counts().lastFrame > kQuietBeforeCheck; });
    SetSink(&sink);
    const auto opening = Clock::now();
    void *stream = OpenStream(kind, o, connection.Session());
    if (stream == nullptr) {
        SetSink(nullptr);
        sink.End();
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
    bool paused = false;
    // Downloads: the pictures the span holds, for the bar.
    const double expected = std::max(1, SecondOfDay(o.end) - SecondOfDay(o.start)) * double{kFramesPerSecond};
    const auto idleLimit = std::chrono::duration<double>(o.idleSeconds);
    const auto began = Clock::now();
    auto quietSince = began;  // frames, or the end of a pause
    Ending ending;
    std::string lostReason;
    for (;;) {
        const SinkCounts counts = sink.WaitFor(milliseconds(100));
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - began).count();
        while (kind == StreamKind::Playback && nextControl < controls.size() &&
               controls[nextControl].atSeconds <= elapsed) {
            const int32_t code = controls[nextControl].code;
            KR_4100_PlayBackCtrl(stream, code);
            if (code == KR_4100_PLAY_PAUSE) {
                paused = true;
            } else if (code != KR_4100_PLAY_STEP && paused) {
                paused = false;
                quietSince = now;
            }
            ++nextControl;
        }
        const std::string text = Received(counts);
        progress.Update(kind == StreamKind::Download ? CProgress::Bar(counts.videoFrames / expected, text)
                                                     : std::string(KindName(kind)) + ": " + text);
        if (counts.writeFailed) {
            ending = Ending::WriteFailed;
            break;
        }
        if (sink.LimitReached() || (o.duration > 0 && elapsed >= o.duration)) {
            ending = Ending::Asked;
            break;
        }
        if (g_bInterrupted) {
            ending = Ending::Interrupted;
            break;
        }
        if (connection.Lost(lostReason)) {
            ending = Ending::RecorderLost;
            break;
        }
        if (counts.lost) {
            Drain(sink);
            ending = sink.LimitReached() ? Ending::Asked : Ending::Closed;
            // Live video has no end of its own: was it the recorder that went?
            if (ending == Ending::Closed && kind == StreamKind::Live && connection.RecorderLost(lostReason)) {
                ending = Ending::RecorderLost;
            }
            break;
        }
        if (counts.frames > 0) {
            quietSince = std::max(quietSince, counts.lastFrame);
        }
        if (!paused && now - quietSince > idleLimit) {
            ending = Ending::Idle;
            break;
        }
    }
    if (kind == StreamKind::Live) {
        KR_4100_StopRealPlay(stream);
    } else {
        KR_4100_StopPlayBack(stream);
    }
    SetSink(nullptr);
    sink.End();
    const SinkCounts counts = sink.Counts();
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    if (kind == StreamKind::Download) {
        progress.Update(CProgress::Bar(counts.videoFrames / expected, Received(counts)), true);
    }
    progress.Finish();
    const int rc = CJobOutcome(kind, o, connection, file).Judge(ending, counts, elapsed, lostReason);
    if (rc == kExitOk && progress.Shown()) {
        std::fprintf(stderr, "kestrel: %s written to %s%s\n", Received(counts).c_str(),
                     o.output == "-" ? "standard output" : o.output.c_str(),
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
