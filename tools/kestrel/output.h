// Where kestrel puts what it receives: a frame sink that writes delivered
// frames to a file (as delivered, or the bare H.264 elementary stream), and a
// progress line that is shown only when stderr is a terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kn::cli {

struct SinkCounts {
    long frames = 0;  // frames written
    uint64_t bytes = 0;  // bytes written
    long skipped = 0;  // --h264: frames that carried no wrapped access unit
    bool lost = false;  // the stream's connection was lost (type 255)
    std::chrono::steady_clock::time_point lastFrame;
};

class CFrameSink {
public:
    CFrameSink() = default;
    ~CFrameSink();
    CFrameSink(const CFrameSink &) = delete;
    CFrameSink &operator=(const CFrameSink &) = delete;

    // "-" is standard output. False with a message when it cannot be opened.
    bool Open(const std::string &path, bool h264, long frameLimit, std::string &message);
    // From the library's delivery and receive threads.
    void OnData(uint32_t type, const unsigned char *data, int32_t len);
    // Waits until frames reached the limit, the connection was lost, or the
    // time passed; returns the counts then.
    SinkCounts WaitFor(std::chrono::milliseconds slice);
    bool LimitReached() const;
    // Flushes and closes; false when a write failed.
    bool Close();

private:
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::FILE *m_pFile = nullptr;
    bool m_bOwnFile = false;
    bool m_bH264 = false;
    bool m_bWriteFailed = false;
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
