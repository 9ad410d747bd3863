// CFrameLog: --frame-log of kestrel-recorder, one line per live video frame
// sent, for measuring a host's delay frame by frame: when the frame's last
// byte was handed to the socket (the system clock, microseconds since the
// epoch), its channel, and its index in the clip (0 .. clip frames - 1, so
// that a frame is known again on every loop of the clip). The lines go into
// a buffer made when the log is opened and are written out when it is
// nearly full, at most a second after they were taken, and at the close:
// a frame sent costs a clock reading and a formatted line, no allocation
// and, but once a second, no write.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace kn::recorder {

class CFrameLog {
public:
    CFrameLog() = default;
    ~CFrameLog();  // Close()
    CFrameLog(const CFrameLog &) = delete;
    CFrameLog &operator=(const CFrameLog &) = delete;

    // Creates (or truncates) path and writes its first line, a comment that
    // names the fields and the clip's length. False, with errno, when it
    // cannot.
    bool Open(const std::string &path, size_t clipFrames);
    // The frame of index in the clip just went out on channel: its line,
    // with the time now.
    void Sent(int channel, size_t index);
    // Writes what is held and closes the file; the lines logged.
    unsigned long long Close();

private:
    void WriteHeld();  // under m_Mutex

    static constexpr size_t kCapacity = 64 * 1024;
    static constexpr size_t kLineMax = 48;  // "<20 digits> <channel> <index>\n" fits
    static constexpr auto kWriteEvery = std::chrono::seconds(1);

    std::mutex m_Mutex;
    int m_Fd = -1;
    std::unique_ptr<char[]> m_Buffer;
    size_t m_nHeld = 0;
    std::chrono::steady_clock::time_point m_WrittenAt;
    unsigned long long m_nLines = 0;
    bool m_bFailed = false;  // a write failed: the rest is dropped, said once
};

}  // namespace kn::recorder
