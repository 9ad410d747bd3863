// Where kestrel puts what it receives: a frame sink that writes delivered
// frames to an output file (as delivered, or the bare H.264 elementary
// stream), and a progress line that is shown only when stderr is a terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "tools/programs/kestrel/output_file.h"
#include "tools/programs/mp4/frame_rate.h"

namespace kn::cli {

struct SinkCounts {
    long frames = 0;          // frames written
    long videoFrames = 0;     // of them, pictures (types 2 and 3)
    mp4::FrameRate declared;  // the rate the stream declares, once its first keyframe came
    uint64_t bytes = 0;       // bytes written
    long skipped = 0;         // --h264: frames that carried no wrapped access unit
    bool lost = false;        // the stream's connection was closed (type 255)
    bool writeFailed = false;
    std::chrono::steady_clock::time_point lastFrame;  // of the last frame, or of Open
};

// Takes the library's frames and writes them to a COutputFile, as delivered
// or as the bare H.264 elementary stream. A write that waits (an MP4 muxer
// behind) holds only the write lock: the counts, and the job's main loop,
// never wait for it.
class CFrameSink {
public:
    explicit CFrameSink(COutputFile &file) : m_File(file) {}
    CFrameSink(const CFrameSink &) = delete;
    CFrameSink &operator=(const CFrameSink &) = delete;

    // h264: write the bare access units; findRate: read the rate the
    // stream declares (recordings; it holds up the first keyframe a little).
    void Begin(bool h264, long frameLimit, bool findRate);
    // From the library's delivery and receive threads.
    void OnData(uint32_t type, const unsigned char *data, int32_t len);
    // Wakes WaitFor, e.g. when the recorder was found lost.
    void Wake();
    // Waits until frames reached the limit, the connection was lost, Wake was
    // called, or the time passed; returns the counts then.
    SinkCounts WaitFor(std::chrono::milliseconds slice);
    bool LimitReached() const;
    // The counts now, without waiting (and without taking a Wake).
    SinkCounts Counts() const;
    // After a reconnection: a new stream's loss is waited for afresh; the
    // counts go on.
    void Rearm();
    // Takes no more frames; the file is the caller's again.
    void End();

private:
    COutputFile &m_File;
    std::mutex m_WriteMutex;  // the file and m_RateWatch; before m_Mutex
    mp4::CFrameRateWatch m_RateWatch;
    mutable std::mutex m_Mutex;  // all below
    std::condition_variable m_Cond;
    bool m_bOpen = false;
    bool m_bH264 = false;
    bool m_bFindRate = false;
    bool m_bWoken = false;
    long m_nLimit = 0;
    SinkCounts m_Counts;
};

class CProgress {
public:
    CProgress();
    ~CProgress();  // Finish()
    bool Shown() const { return m_bTty; }
    // Replaces the progress line (no more often than every 200 ms unless forced).
    void Update(const std::string &text, bool force = false);
    // A bar of the given fraction (clamped to 0..1) and a text behind it.
    static std::string Bar(double fraction, const std::string &text);
    void Finish();  // ends the line, if one is shown

private:
    bool m_bTty;
    bool m_bShown = false;
    std::chrono::steady_clock::time_point m_Last{};
};

std::string HumanBytes(uint64_t bytes);

}  // namespace kn::cli
