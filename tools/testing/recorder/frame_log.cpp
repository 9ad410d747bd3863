#include "tools/testing/recorder/frame_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/testing/recorder/event_log.h"

namespace kn::recorder {

CFrameLog::~CFrameLog() { Close(); }

bool CFrameLog::Open(const std::string &path, size_t clipFrames)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_Fd < 0) {
        return false;
    }
    m_Buffer = std::make_unique<char[]>(kCapacity);
    const int n = std::snprintf(m_Buffer.get(), kCapacity,
                                "# kestrel-recorder frame log: send time (system clock, microseconds since the "
                                "epoch), channel, index in the clip of %zu frames\n",
                                clipFrames);
    m_nHeld = n > 0 ? static_cast<size_t>(n) : 0;
    WriteHeld();
    return !m_bFailed;
}

void CFrameLog::Sent(int channel, size_t index)
{
    // The time first: the lock may wait for another sender's line.
    const long long us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_Fd < 0 || m_bFailed) {
        return;
    }
    const int n = std::snprintf(m_Buffer.get() + m_nHeld, kLineMax, "%lld %d %zu\n", us, channel, index);
    if (n > 0 && static_cast<size_t>(n) < kLineMax) {
        m_nHeld += static_cast<size_t>(n);
        ++m_nLines;
    }
    if (m_nHeld + kLineMax > kCapacity || now - m_WrittenAt >= kWriteEvery) {
        WriteHeld();
        m_WrittenAt = now;
    }
}

void CFrameLog::WriteHeld()
{
    for (size_t at = 0; at < m_nHeld && !m_bFailed;) {
        const ssize_t n = ::write(m_Fd, m_Buffer.get() + at, m_nHeld - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            LogEvent("frame log: cannot write (%s): no more lines", n == 0 ? "nothing written" : std::strerror(errno));
            m_bFailed = true;
        }
    }
    m_nHeld = 0;
}

unsigned long long CFrameLog::Close()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_Fd >= 0) {
        WriteHeld();
        ::close(m_Fd);
        m_Fd = -1;
    }
    return m_nLines;
}

}  // namespace kn::recorder
