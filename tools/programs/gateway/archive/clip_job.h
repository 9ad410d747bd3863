// CClipJob: a stretch of a channel's recording as one MP4, made while it
// downloads. The job finds what the recorder holds of the stretch (a
// search), downloads each recorded part in turn (a download never crosses
// midnight), and hands every frame to the MP4 muxer (fragmented, timed at
// the recording's frame rate) as it arrives; the muxer's bytes go to an
// output as they are made. Runs on a thread of its own.
//
// Memory stays bounded: the output may make the muxer wait (a reader that
// has not taken its bytes), the muxer's queue then fills, the frames wait
// in the library's download queue, and TCP slows the recorder down.
//
// A job succeeds only with the whole stretch. A recorder that caps long
// downloads ends one on a whole second, and is asked for the rest; a
// download that ends anywhere else (the recorder lost) fails the job.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/programs/gateway/archive/archive_gate.h"
#include "tools/programs/gateway/archive/archive_search.h"
#include "tools/programs/gateway/site/recorder_link.h"
#include "tools/programs/mp4/mp4_file.h"

namespace kn::gateway {

enum class ClipOutcome {
    Done,             // every frame of the stretch went to the output
    NothingRecorded,  // the recorder holds nothing of the stretch
    Failed,           // the recorder did not answer, was lost or ended early
    Cancelled,        // Cancel (the reader went away)
};

struct ClipResult {
    ClipOutcome outcome = ClipOutcome::Failed;
    std::string message;
    long frames = 0;  // frames muxed
};

class CClipJob final : public ILibraryClient, public std::enable_shared_from_this<CClipJob> {
public:
    using Done = std::function<void(const ClipResult &)>;

    // A download that brings no frame for this long has failed.
    static constexpr int kSilenceMs = 10000;

    CClipJob(std::shared_ptr<CArchiveGate> gate, int channel, UnixTime start, UnixTime end,
             mp4::CMp4File::Output output);
    ~CClipJob() override;  // Cancel, then waits for the thread
    CClipJob(const CClipJob &) = delete;
    CClipJob &operator=(const CClipJob &) = delete;

    // Starts the job's thread; done is called on it at the end.
    void Start(Done done);
    // Ends the job early (any thread); the output is not called again once
    // the muxer has stopped.
    void Cancel();
    bool Cancelled() const { return m_bCancel.load(); }

    void OnData(int channel, void *hStream, uint32_t type, const unsigned char *data, int32_t len) override;
    void OnNotice() override {}

private:
    ClipResult Run();
    // One recorded stretch, in as many downloads as the recorder needs.
    bool DownloadStretch(const ArchiveStretch &stretch, uint32_t route, std::string &message);
    // One download from..to: the video frames it brought, and the seconds
    // it asked for; false when it failed (message) or was cancelled.
    bool DownloadPart(UnixTime from, UnixTime to, uint32_t route, long &units, int &seconds, std::string &message);

    const std::shared_ptr<CArchiveGate> m_pGate;
    const int m_nChannel;
    const UnixTime m_Start;
    const UnixTime m_End;
    mp4::CMp4File::Output m_Output;
    mp4::CMp4File m_Mp4;
    std::thread m_Thread;
    std::atomic<bool> m_bCancel{false};

    std::mutex m_WriteMutex;  // the muxer's writes
    std::mutex m_Mutex;       // the download under way
    std::condition_variable m_Cond;
    void *m_hStream = nullptr;  // null while opening
    bool m_bTaking = false;     // frames of the current download are wanted
    bool m_bEnded = false;      // the current download's connection ended
    bool m_bSessionLost = false;
    bool m_bWriteFailed = false;
    long m_nUnits = 0;  // video frames of the current download
    int64_t m_nLastFrameMs = 0;
};

}  // namespace kn::gateway
