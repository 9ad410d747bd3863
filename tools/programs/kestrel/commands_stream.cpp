// live, playback and download: open a stream, write its frames until a limit,
// the end of the stream, the loss of the recorder or Ctrl-C, then stop it and
// say truthfully how the job ended.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "api/exports.h"
#include "tools/common/backoff.h"
#include "tools/programs/kestrel/commands.h"
#include "tools/programs/kestrel/connection.h"
#include "tools/programs/kestrel/exit_codes.h"
#include "tools/programs/kestrel/live_stats.h"
#include "tools/programs/kestrel/output.h"

namespace kn::cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class StreamKind { Live, Playback, Download };

// Why the receiving loop ended.
enum class Ending {
    Asked,         // --frames or --duration reached
    Interrupted,   // Ctrl-C or SIGTERM
    Closed,        // the recorder closed the stream (type 255)
    RecorderLost,  // the session's recorder is gone
    Idle,          // nothing for --idle-timeout
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
// Ctrl-C and SIGTERM so far. A job stops at the first; an MP4 file being
// finished after the job ended gives up only at a later one.
volatile std::sig_atomic_t g_nInterrupts = 0;
volatile std::sig_atomic_t g_nFinishingAfter = 0;

bool AbortMp4() { return g_nInterrupts > g_nFinishingAfter; }

// Frames already queued when the connection ends are still delivered after
// the loss notice: wait for a quiet spell before closing the file.
constexpr milliseconds kDrainQuiet{500};
constexpr milliseconds kDrainMax{3000};
// A stream this long without frames makes a disconnect notice worth checking.
constexpr milliseconds kQuietBeforeCheck{1000};

void KR_CALL OnData(void *, uint32_t type, const unsigned char *data, int32_t len, uint32_t)
{
    std::lock_guard<std::mutex> lk(g_SinkMutex);
    if (g_pSink != nullptr) {
        g_pSink->OnData(type, data, len);
    }
}

void OnSignal(int) { g_nInterrupts = g_nInterrupts + 1; }

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

std::string Received(const SinkCounts &c)
{
    return std::to_string(c.frames) + " frame" + (c.frames == 1 ? "" : "s") + ", " + HumanBytes(c.bytes);
}

// The frame rate a recording is judged and timed by: the one its stream
// declares, else --fps.
double RecordingFps(const Options &o, const SinkCounts &counts)
{
    return mp4::RecordingRate(counts.declared, o.fps).Fps();
}

// The seconds a download asks for, and the frames that make them.
int AskedSeconds(const Options &o) { return SecondOfDay(o.end) - SecondOfDay(o.start); }

long FramesOfSeconds(double seconds, double fps)
{
    // A whole number of frames; a rate such as 29.97 rounds down.
    return static_cast<long>(seconds * fps + 1e-6);
}

// Whether a stream that the recorder closed ended before the job's end:
// a live stream always does; a playback with a limit, and a download short
// of its span at the recording's rate, too.
bool EndedEarly(StreamKind kind, const Options &o, const SinkCounts &counts)
{
    switch (kind) {
    case StreamKind::Live: return true;
    case StreamKind::Playback: return o.duration > 0 || o.frames > 0;
    case StreamKind::Download:
        return o.frames <= 0 && counts.videoFrames < FramesOfSeconds(AskedSeconds(o), RecordingFps(o, counts));
    }
    return true;
}

// How a job ended, for the judgement.
struct JobEnd {
    Ending ending = Ending::Asked;
    SinkCounts counts;
    double elapsed = 0;      // seconds since the stream opened
    double silentFor = 0;    // Idle: seconds without frames
    std::string lostReason;  // RecorderLost
};

// The exit status and message for a job that ended; commits the output
// when the job ended as asked.
class CJobOutcome {
public:
    CJobOutcome(StreamKind kind, const Options &o, std::string where, COutputFile &file)
        : m_Kind(kind), m_O(o), m_Where(std::move(where)), m_File(file)
    {}

    int Judge(const JobEnd &end)
    {
        const Ending ending = end.ending;
        const SinkCounts &counts = end.counts;
        const std::string what = std::string(KindName(m_Kind)) + " of channel " + std::to_string(m_O.channel);
        if (ending == Ending::WriteFailed) {
            return Fail(kExitFailure, m_File.Failure());
        }
        const bool limitless = m_O.duration <= 0 && m_O.frames <= 0;
        if (ending == Ending::Interrupted && !(m_Kind == StreamKind::Live && limitless)) {
            return Fail(kExitInterrupted, "interrupted: " + what + " ended before its end after " + Received(counts));
        }
        if (ending == Ending::RecorderLost) {
            return Fail(kExitStream,
                        "lost the recorder at " + m_Where + " (" + end.lostReason + ") after " + Received(counts));
        }
        if (counts.frames == 0) {
            // However it ended: closed at once, silent, or a limit reached.
            // (A recorder that closes right after its acknowledgement may do
            // so before the library reports closes to the host: then only
            // the silence tells.)
            const std::string why =
                m_Kind == StreamKind::Live ? " delivered no frame" : " brought no frame (no recording at that time?)";
            return Fail(kExitNothing, "the " + what + " at " + m_Where + why +
                                          (ending == Ending::Idle ? " in " + Seconds(end.silentFor) : ""));
        }
        if (ending == Ending::Idle) {
            return Fail(kExitStream, "the " + what + " from " + m_Where + " went silent: nothing for " +
                                         Seconds(end.silentFor) + " (--idle-timeout " + Seconds(m_O.idleSeconds) +
                                         ") after " + Received(counts));
        }
        if (ending == Ending::Closed && EndedEarly(m_Kind, m_O, counts)) {
            if (m_Kind == StreamKind::Live) {
                return Fail(kExitStream,
                            "the recorder at " + m_Where + " closed the " + what + " after " + Received(counts));
            }
            if (m_Kind == StreamKind::Download) {
                const double fps = RecordingFps(m_O, counts);
                char rate[64];
                std::snprintf(rate, sizeof rate, "%g frames a second%s", fps,
                              counts.declared.Known() ? ", as the stream declares" : " (--fps)");
                return Fail(kExitIncomplete, "the recorder at " + m_Where + " ended the download after " +
                                                 Seconds(counts.videoFrames / fps) + " of the " +
                                                 std::to_string(AskedSeconds(m_O)) + " s asked (" + Received(counts) +
                                                 ", at " + rate + ")");
            }
            if (!limitless) {
                // Playback with a limit that the recording ended before.
                return Fail(
                    kExitIncomplete,
                    "the recording ended after " + Received(counts) + " and " + Seconds(end.elapsed) + ", before the " +
                        (m_O.frames > 0 ? std::to_string(m_O.frames) + " frames" : Seconds(m_O.duration)) + " asked");
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
                 (!m_File.InPlace() && kept.empty() ? "; nothing written" : ""));
        return rc;
    }

    StreamKind m_Kind;
    const Options &m_O;
    std::string m_Where;
    COutputFile &m_File;
};

void *OpenStream(StreamKind kind, const Options &o, void *session);

// Logs in again and reopens the live stream, waiting 1, 2, 4 ... 30 s
// between attempts; the sink stays attached throughout. Null after Ctrl-C.
void *Reconnect(const Options &o, std::unique_ptr<CConnection> &connection,
                const std::function<void(CConnection &)> &watch, CFrameSink &sink)
{
    const auto started = Clock::now();
    connection.reset();  // logs out
    common::CBackoff backoff;
    milliseconds delay{backoff.Next()};
    for (;;) {
        for (const auto until = Clock::now() + delay; Clock::now() < until;) {
            if (g_nInterrupts > 0) {
                return nullptr;
            }
            std::this_thread::sleep_for(std::min(
                milliseconds(100), std::chrono::duration_cast<milliseconds>(until - Clock::now() + milliseconds(1))));
        }
        auto next = std::make_unique<CConnection>();
        if (next->Open(o) == kExitOk) {
            sink.Rearm();
            if (void *stream = OpenStream(StreamKind::Live, o, next->Session())) {
                watch(*next);
                connection = std::move(next);
                Complain("reconnected after " + Seconds(std::chrono::duration<double>(Clock::now() - started).count()));
                return stream;
            }
            Complain("the recorder at " + next->Where() + " did not open the live video again");
        }
        delay = milliseconds(backoff.Next());
        Complain("retrying in " + Seconds(delay.count() / 1000.0));
        if (g_nInterrupts > 0) {
            return nullptr;
        }
    }
}

void *OpenStream(StreamKind kind, const Options &o, void *session)
{
    switch (kind) {
    case StreamKind::Live: return KR_4100_RealPlay(session, o.channel, o.transport, OnData, 0);
    case StreamKind::Playback: return KR_4100_PlayBack(session, o.channel, &o.start, OnData, 0);
    case StreamKind::Download: return KR_4100_DownLoad(session, o.channel, &o.start, &o.end, OnData, 0);
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
    // Live video is timed as it comes; a recording by its frame rate.
    file.SetMp4({kind == StreamKind::Live ? mp4::Timing::Arrival : mp4::Timing::FrameRate, o.fps}, AbortMp4);
    // The sink outlives the connection, whose loss watch asks it about frames.
    CFrameSink sink(file);
    // An MP4 file is made of the bare access units.
    sink.Begin(o.h264 || file.IsMp4(), o.frames, kind != StreamKind::Live);
    auto connection = std::make_unique<CConnection>();
    if (const int rc = connection->Open(o); rc != kExitOk) {
        return rc;
    }
    // Kept for the messages: --reconnect may be between connections at the end.
    const std::string where = connection->Where();
    // The recorder is checked only while frames have stopped coming.
    auto watch = [&sink](CConnection &c) {
        c.WatchForLoss([&sink] { sink.Wake(); },
                       [&sink] { return Clock::now() - sink.Counts().lastFrame > kQuietBeforeCheck; });
    };
    watch(*connection);
    if (!file.Start(message)) {
        Complain(message);
        return kExitFailure;
    }
    SetSink(&sink);
    const auto opening = Clock::now();
    void *stream = OpenStream(kind, o, connection->Session());
    if (stream == nullptr) {
        SetSink(nullptr);
        sink.End();
        const double waited = ElapsedMs(opening);
        if (waited >= 0.9 * connection->TimeoutMs()) {
            Complain(std::string("the recorder at ") + where + " did not acknowledge the " + KindName(kind) +
                     " request for channel " + std::to_string(o.channel) + ": nothing came in " +
                     Seconds(waited / 1000) + " (--timeout " + std::to_string(connection->TimeoutMs()) + " ms)");
            return kExitTimeout;
        }
        std::string reason;
        if (connection->RecorderLost(reason)) {
            Complain("lost the recorder at " + where + " while opening the " + KindName(kind) + " (" + reason + ")");
            return kExitStream;
        }
        Complain(std::string("could not open ") + KindName(kind) + " of channel " + std::to_string(o.channel) + " at " +
                 where + " (no media connection)");
        return kExitStream;
    }

    CProgress progress;
    std::vector<PlaybackControl> controls = o.controls;
    std::stable_sort(controls.begin(), controls.end(),
                     [](const PlaybackControl &a, const PlaybackControl &b) { return a.atSeconds < b.atSeconds; });
    size_t nextControl = 0;
    bool paused = false;
    const auto idleLimit = std::chrono::duration<double>(o.idleSeconds);
    const auto began = Clock::now();
    auto quietSince = began;  // frames, or the end of a pause
    JobEnd end;
    CLiveStats stats(progress);
    int reconnections = 0;
    // Downloads: the pictures the span holds at the recording's rate, for the bar.
    auto barFraction = [&o](const SinkCounts &c) {
        return c.videoFrames / std::max(1.0, std::max(1, AskedSeconds(o)) * RecordingFps(o, c));
    };
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
        if (o.stats) {
            stats.Tick(counts, reconnections);
        } else {
            progress.Update(kind == StreamKind::Download ? CProgress::Bar(barFraction(counts), text)
                                                         : std::string(KindName(kind)) + ": " + text);
        }
        // Ctrl-C first: it also ends a write that was waiting for the muxer.
        if (g_nInterrupts > 0) {
            end.ending = Ending::Interrupted;
            break;
        }
        if (counts.writeFailed) {
            end.ending = Ending::WriteFailed;
            break;
        }
        if (sink.LimitReached() || (o.duration > 0 && elapsed >= o.duration)) {
            end.ending = Ending::Asked;
            break;
        }
        bool lost = false;
        if (connection->Lost(end.lostReason)) {
            end.ending = Ending::RecorderLost;
            lost = true;
        } else if (counts.lost) {
            Drain(sink);
            if (sink.LimitReached()) {
                end.ending = Ending::Asked;
                break;
            }
            end.ending = Ending::Closed;
            // A stream that ended before its end: was it the recorder that went?
            if (EndedEarly(kind, o, sink.Counts()) && connection->RecorderGone(end.lostReason)) {
                end.ending = Ending::RecorderLost;
            }
            lost = true;
        } else {
            if (counts.frames > 0) {
                quietSince = std::max(quietSince, counts.lastFrame);
            }
            if (!paused && now - quietSince > idleLimit) {
                end.ending = Ending::Idle;
                end.silentFor = std::chrono::duration<double>(now - quietSince).count();
                if (connection->RecorderGone(end.lostReason)) {
                    end.ending = Ending::RecorderLost;
                }
                lost = true;
            }
        }
        if (!lost) {
            continue;
        }
        if (kind != StreamKind::Live || !o.reconnect) {
            break;
        }
        // --reconnect: the same file goes on after a new login and stream.
        Complain("lost the live video of channel " + std::to_string(o.channel) + " at " + where + " (" +
                 (end.ending == Ending::RecorderLost ? end.lostReason
                                                     : (end.ending == Ending::Idle ? "nothing came" : "closed")) +
                 "); reconnecting");
        KR_4100_StopRealPlay(stream);
        stream = Reconnect(o, connection, watch, sink);
        if (stream == nullptr) {
            end.ending = Ending::Interrupted;
            break;
        }
        ++reconnections;
        end.lostReason.clear();
        quietSince = Clock::now();
    }
    if (stream != nullptr) {
        if (kind == StreamKind::Live) {
            KR_4100_StopRealPlay(stream);
        } else {
            KR_4100_StopPlayBack(stream);
        }
    }
    SetSink(nullptr);
    sink.End();
    // From here on only a further Ctrl-C gives up finishing an MP4 file.
    g_nFinishingAfter = g_nInterrupts;
    end.counts = sink.Counts();
    end.elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    if (kind == StreamKind::Download) {
        progress.Update(CProgress::Bar(barFraction(end.counts), Received(end.counts)), true);
    }
    progress.Finish();
    if (o.stats) {
        std::fprintf(stderr, "kestrel: %s\n", stats.Summary(end.counts, reconnections).c_str());
    }
    connection.reset();  // logs out before the file is finished
    const int rc = CJobOutcome(kind, o, where, file).Judge(end);
    if (rc == kExitOk && progress.Shown()) {
        std::fprintf(stderr, "kestrel: %s written to %s%s\n", Received(end.counts).c_str(),
                     o.output == "-" ? "standard output" : o.output.c_str(),
                     end.counts.skipped > 0 ? " (some frames carried no H.264 access unit and were left out)" : "");
    }
    return rc;
}

}  // namespace

bool Interrupted() { return g_nInterrupts > 0; }

void InstallInterruptHandler()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int RunLive(const Options &o) { return RunStream(StreamKind::Live, o); }
int RunPlayback(const Options &o) { return RunStream(StreamKind::Playback, o); }
int RunDownload(const Options &o) { return RunStream(StreamKind::Download, o); }

}  // namespace kn::cli
