#include "tools/kestrel/output.h"

#include <unistd.h>

#include <algorithm>

namespace kn::cli {

namespace {

// The library's frame prefix in front of a type-2/3 video frame, and the
// emulator's wrapper in front of the access unit.
constexpr int32_t kVideoPrefix = 16;
constexpr int32_t kWrapper = 4;

}  // namespace

CFrameSink::~CFrameSink() { Close(); }

bool CFrameSink::Open(const std::string &path, bool h264, long frameLimit, std::string &message)
{
    if (path == "-") {
        if (::isatty(STDOUT_FILENO)) {
            message = "refusing to write video to a terminal: give -o FILE";
            return false;
        }
        m_pFile = stdout;
    } else {
        m_pFile = std::fopen(path.c_str(), "wb");
        if (m_pFile == nullptr) {
            message = "cannot write " + path;
            return false;
        }
        m_bOwnFile = true;
    }
    m_bH264 = h264;
    m_nLimit = frameLimit;
    return true;
}

void CFrameSink::OnData(uint32_t type, const unsigned char *data, int32_t len)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (type == 255) {
        m_Counts.lost = true;
        m_Cond.notify_all();
        return;
    }
    if (m_pFile == nullptr || data == nullptr || len < 0 || (m_nLimit > 0 && m_Counts.frames >= m_nLimit)) {
        return;
    }
    const unsigned char *from = data;
    size_t n = static_cast<size_t>(len);
    if (m_bH264) {
        if ((type != 2 && type != 3) || len < kVideoPrefix + kWrapper || data[kVideoPrefix] != 'K' ||
            data[kVideoPrefix + 1] != 'V') {
            ++m_Counts.skipped;
            return;
        }
        from = data + kVideoPrefix + kWrapper;
        n = static_cast<size_t>(len - kVideoPrefix - kWrapper);
    }
    if (std::fwrite(from, 1, n, m_pFile) != n) {
        m_bWriteFailed = true;
    }
    ++m_Counts.frames;
    m_Counts.bytes += n;
    m_Counts.lastFrame = std::chrono::steady_clock::now();
    m_Cond.notify_all();
}

SinkCounts CFrameSink::WaitFor(std::chrono::milliseconds slice)
{
    std::unique_lock<std::mutex> lk(m_Mutex);
    m_Cond.wait_for(lk, slice, [&] { return m_Counts.lost || (m_nLimit > 0 && m_Counts.frames >= m_nLimit); });
    return m_Counts;
}

bool CFrameSink::LimitReached() const
{
    return m_nLimit > 0 && m_Counts.frames >= m_nLimit;
}

bool CFrameSink::Close()
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_pFile != nullptr) {
        if (std::fflush(m_pFile) != 0) {
            m_bWriteFailed = true;
        }
        if (m_bOwnFile && std::fclose(m_pFile) != 0) {
            m_bWriteFailed = true;
        }
        m_pFile = nullptr;
    }
    return !m_bWriteFailed;
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
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kWidth - filled), '-') +
           "] " + percent + " " + text;
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
