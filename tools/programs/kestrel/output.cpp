#include "tools/programs/kestrel/output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "tools/common/access_unit.h"

namespace kn::cli {

namespace {

// The library's frame prefix in front of a type-2/3 video frame, and the
// emulator's wrapper in front of the access unit.
constexpr int32_t kVideoPrefix = 16;
constexpr int32_t kWrapper = 4;

}  // namespace

void CFrameSink::Begin(bool h264, long frameLimit, bool findRate)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_bH264 = h264;
    m_bFindRate = findRate;
    m_nLimit = frameLimit;
    m_Counts = SinkCounts{};
    m_Counts.lastFrame = std::chrono::steady_clock::now();
    m_bOpen = true;
}

void CFrameSink::OnData(uint32_t type, const unsigned char *data, int32_t len)
{
    bool h264 = false, findRate = false;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (!m_bOpen) {
            return;
        }
        if (type == 255) {
            m_Counts.lost = true;
            m_Cond.notify_all();
            return;
        }
        if (data == nullptr || len < 0 || m_Counts.writeFailed || (m_nLimit > 0 && m_Counts.frames >= m_nLimit)) {
            return;
        }
        h264 = m_bH264;
        findRate = m_bFindRate;
    }
    const unsigned char *from = data;
    size_t n = static_cast<size_t>(len);
    if (h264) {
        if ((type != 2 && type != 3) || len < kVideoPrefix + kWrapper || data[kVideoPrefix] != 'K' ||
            data[kVideoPrefix + 1] != 'V') {
            std::lock_guard<std::mutex> lk(m_Mutex);
            ++m_Counts.skipped;
            return;
        }
        from = data + kVideoPrefix + kWrapper;
        n = static_cast<size_t>(len - kVideoPrefix - kWrapper);
    }
    // One frame at a time reaches the file (the library delivers a stream's
    // frames in order on one thread; this keeps a late one in order too).
    std::lock_guard<std::mutex> write(m_WriteMutex);
    bool rateFound = false;
    if (findRate && !m_RateWatch.Decided()) {
        rateFound = m_RateWatch.Feed(common::AccessUnitOfFrame(type, data, len));
    }
    const bool written = m_File.Write(from, n);
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (rateFound) {
        m_Counts.declared = m_RateWatch.Rate();
    }
    if (!written) {
        m_Counts.writeFailed = true;
        m_Cond.notify_all();
        return;
    }
    ++m_Counts.frames;
    if (type == 2 || type == 3) {
        ++m_Counts.videoFrames;
    }
    m_Counts.bytes += n;
    m_Counts.lastFrame = std::chrono::steady_clock::now();
    m_Cond.notify_all();
}

void CFrameSink::Rearm()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Counts.lost = false;
    m_bWoken = false;
    m_Counts.lastFrame = std::chrono::steady_clock::now();
}

void CFrameSink::Wake()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_bWoken = true;
    m_Cond.notify_all();
}

SinkCounts CFrameSink::WaitFor(std::chrono::milliseconds slice)
{
    std::unique_lock<std::mutex> lk(m_Mutex);
    m_Cond.wait_for(lk, slice, [&] {
        return m_bWoken || m_Counts.lost || m_Counts.writeFailed || (m_nLimit > 0 && m_Counts.frames >= m_nLimit);
    });
    m_bWoken = false;
    return m_Counts;
}

bool CFrameSink::LimitReached() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_nLimit > 0 && m_Counts.frames >= m_nLimit;
}

SinkCounts CFrameSink::Counts() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_Counts;
}

void CFrameSink::End()
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bOpen = false;
    }
    // A write under way ends (bounded: the file's own waits give up when
    // the muxer fails, stalls or the job is interrupted) before the file
    // is the caller's again.
    std::lock_guard<std::mutex> write(m_WriteMutex);
}

CProgress::CProgress() : m_bTty(::isatty(STDERR_FILENO) != 0) {}

CProgress::~CProgress() { Finish(); }

void CProgress::Update(const std::string &text, bool force)
{
    if (!m_bTty) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_bShown && now - m_Last < std::chrono::milliseconds(200)) {
        return;
    }
    m_Last = now;
    m_bShown = true;
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    std::fflush(stderr);
}

std::string CProgress::Bar(double fraction, const std::string &text)
{
    constexpr int kWidth = 30;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kWidth);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kWidth - filled), '-') + "] " + percent + " " + text;
}

void CProgress::Finish()
{
    if (m_bTty && m_bShown) {
        std::fputc('\n', stderr);
        m_bShown = false;
    }
}

std::string HumanBytes(uint64_t bytes)
{
    char text[32];
    if (bytes < 10 * 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < 10 * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    }
    return text;
}

}  // namespace kn::cli
