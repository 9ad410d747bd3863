#include "tools/programs/gateway/archive/clip_job.h"

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "tools/common/access_unit.h"
#include "tools/programs/gateway/site/recorder_link.h"

namespace kn::gateway {

namespace {

// What the muxer may hold queued before a frame waits.
constexpr size_t kMuxQueueBytes = 1u << 20;
constexpr auto kWaitSlice = std::chrono::milliseconds(200);
constexpr double kFallbackFps = 25;

int SecondOfDay(const ArchiveClock &t) { return t.hour * 3600 + t.minute * 60 + t.second; }

}  // namespace

CClipJob::CClipJob(std::shared_ptr<CArchiveGate> gate, int channel, UnixTime start, UnixTime end,
                   mp4::CMp4File::Output output)
    : m_pGate(std::move(gate)), m_nChannel(channel), m_Start(start), m_End(end)
{
    m_Mp4.SetAbort([this] { return m_bCancel.load(); });
    m_Output = std::move(output);
}

CClipJob::~CClipJob()
{
    Cancel();
    if (m_Thread.joinable()) {
        if (m_Thread.get_id() == std::this_thread::get_id()) {
            m_Thread.detach();  // the last reference went with the thread's own end
        } else {
            m_Thread.join();
        }
    }
}

void CClipJob::Start(Done done)
{
    // The thread keeps the job alive until it has reported.
    m_Thread = std::thread([self = shared_from_this(), done = std::move(done)] { done(self->Run()); });
}

void CClipJob::Cancel()
{
    m_bCancel = true;
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Cond.notify_all();
}

void CClipJob::OnData(int, void *hStream, uint32_t type, const unsigned char *data, int32_t len)
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (!m_bTaking || (m_hStream != nullptr && m_hStream != hStream)) {
            return;  // a download given up, or an earlier one's late frame
        }
        if (type == 255) {
            m_bEnded = true;
            m_Cond.notify_all();
            return;
        }
    }
    const common::ByteSpan unit = common::AccessUnitOfFrame(type, data, len);
    if (unit.size == 0) {
        return;
    }
    bool written;
    {
        // May wait for room in the muxer (bounded by Cancel), which holds
        // the library's delivery thread and so the recorder.
        std::lock_guard<std::mutex> lk(m_WriteMutex);
        written = m_Mp4.Write(unit.data, unit.size);
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    ++m_nUnits;
    m_nLastFrameMs = NowMs();
    if (!written) {
        m_bWriteFailed = true;
        m_Cond.notify_all();
    }
}

bool CClipJob::DownloadPart(UnixTime from, UnixTime to, uint32_t route, long &units, int &seconds, std::string &message)
{
    const ArchiveClock start = ToArchiveClock(from);
    ArchiveClock end = ToArchiveClock(to);
    if (end.day != start.day) {
        // Up to midnight: the request carries only a time of day.
        end = start;
        end.hour = 23;
        end.minute = 59;
        end.second = 59;
    }
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_hStream = nullptr;
        m_bTaking = true;
        m_bEnded = false;
        m_nUnits = 0;
        m_nLastFrameMs = NowMs();
    }
    const int channel = m_nChannel;
    void *stream = m_pGate->OpenDownload(channel, start, end, CLibraryHost::UserValue(route, channel), [this] {
        // The muxer's waits end too, so the library's delivery thread
        // is free before the session stops the stream.
        m_bCancel = true;
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bSessionLost = true;
        m_Cond.notify_all();
    });
    if (stream == nullptr) {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bTaking = false;
        message = "the recorder did not open the download of " + FormatArchiveTime(from);
        return false;
    }
    {
        std::unique_lock<std::mutex> lk(m_Mutex);
        m_hStream = stream;
        while (!m_bEnded && !m_bCancel && !m_bSessionLost && !m_bWriteFailed && NowMs() - m_nLastFrameMs < kSilenceMs) {
            m_Cond.wait_for(lk, kWaitSlice);
        }
        if (m_bSessionLost) {
            message = "the recorder was lost";
        } else if (m_bWriteFailed && !m_bCancel) {
            message = "the MP4 muxer failed: " + m_Mp4.Failure();
        } else if (!m_bEnded && !m_bCancel) {
            message = "the recorder sent nothing for " + std::to_string(kSilenceMs / 1000) + " s";
        }
        m_bTaking = false;
        units = m_nUnits;
    }
    m_pGate->Stop(stream);
    seconds = SecondOfDay(end) - SecondOfDay(start);
    return message.empty() && !m_bCancel;
}

bool CClipJob::DownloadStretch(const ArchiveStretch &stretch, uint32_t route, std::string &message)
{
    for (UnixTime from = stretch.start; from < stretch.end;) {
        long units = 0;
        int seconds = 0;
        if (!DownloadPart(from, stretch.end, route, units, seconds, message)) {
            return false;
        }
        const mp4::FrameRate rate = m_Mp4.Rate();
        const double fps = rate.Known() ? rate.Fps() : kFallbackFps;
        // A whole number of frames; a rate such as 29.97 rounds down.
        const long expected = static_cast<long>(seconds * fps + 1e-6);
        if (units >= expected) {
            return true;
        }
        // A recorder that caps long downloads ends on a whole second: the
        // rest is asked for from there. One that stops anywhere else (or
        // brings nothing) was lost, or has no more.
        const long whole = static_cast<long>(units / fps + 1e-6);
        if (whole == 0 || std::abs(units - whole * fps) > 0.5) {
            message = "the recorder ended the download of " + FormatArchiveTime(from) + " after " +
                      std::to_string(units) + " of its " + std::to_string(expected) + " frames";
            return false;
        }
        from += whole;
    }
    return true;
}

ClipResult CClipJob::Run()
{
    ClipResult result;
    std::vector<ArchiveRecording> recordings;
    std::string message;
    const CArchiveGate::SearchOutcome outcome = m_pGate->Search(m_nChannel, 0, m_Start, m_End - 1, recordings, message);
    if (outcome != CArchiveGate::SearchOutcome::Found) {
        result.message =
            outcome == CArchiveGate::SearchOutcome::NotLoggedIn ? "the recorder is not logged in" : message;
        return result;
    }
    if (m_bCancel) {
        result.outcome = ClipOutcome::Cancelled;
        return result;
    }
    const std::vector<ArchiveStretch> stretches = RecordedStretches(recordings, m_Start, m_End);
    if (stretches.empty()) {
        result.outcome = ClipOutcome::NothingRecorded;
        result.message = "the recorder holds nothing of channel " + std::to_string(m_nChannel) + " from " +
                         FormatArchiveTime(m_Start) + " to " + FormatArchiveTime(m_End);
        return result;
    }
    if (!m_Mp4.OpenStream(m_Output, message, {mp4::Timing::FrameRate, kFallbackFps}, kMuxQueueBytes)) {
        result.message = message;
        return result;
    }
    CLibraryHost &library = m_pGate->Library();
    const uint32_t route = library.Add(shared_from_this());
    bool ok = true;
    for (const ArchiveStretch &stretch : stretches) {
        if (!DownloadStretch(stretch, route, message)) {
            ok = false;
            break;
        }
    }
    library.Remove(route);
    std::string closing;
    {
        std::lock_guard<std::mutex> lk(m_WriteMutex);
        if (!ok) {
            Cancel();  // the muxer gives up at once
        }
        if (!m_Mp4.Close(closing) && ok) {
            ok = false;
            message = closing;
        }
    }
    result.frames = m_Mp4.Frames();
    if (m_bCancel && message.empty()) {
        result.outcome = ClipOutcome::Cancelled;
        result.message = "the client went away";
    } else if (ok) {
        result.outcome = ClipOutcome::Done;
    } else {
        result.message = message;
    }
    return result;
}

}  // namespace kn::gateway
