#include "tools/programs/kestrel/live_stats.h"

#include <algorithm>
#include <cstdio>

namespace kn::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string Line(long frames, double fps, double kbits, int reconnections)
{
    char text[160];
    std::snprintf(
        text, sizeof text, "%ld frames, %.1f fps, %.0f kbit/s%s", frames, fps, kbits,
        reconnections > 0
            ? (", " + std::to_string(reconnections) + " reconnection" + (reconnections == 1 ? "" : "s")).c_str()
            : "");
    return text;
}

}  // namespace

CLiveStats::CLiveStats(CProgress &progress) : m_Progress(progress), m_Began(Clock::now()), m_Last(m_Began) {}

void CLiveStats::Tick(const SinkCounts &counts, int reconnections)
{
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - m_Last).count();
    if (seconds < 1.0) {
        return;
    }
    const std::string text =
        Line(counts.frames, static_cast<double>(counts.videoFrames - m_nLastFrames) / seconds,
             static_cast<double>(counts.bytes - m_qwLastBytes) * 8.0 / 1000.0 / seconds, reconnections);
    if (m_Progress.Shown()) {
        m_Progress.Update("live: " + text, true);
    } else {
        std::fprintf(stderr, "kestrel: live: %s\n", text.c_str());
    }
    m_Last = now;
    m_nLastFrames = counts.videoFrames;
    m_qwLastBytes = counts.bytes;
}

std::string CLiveStats::Summary(const SinkCounts &counts, int reconnections) const
{
    const double seconds = std::max(std::chrono::duration<double>(Clock::now() - m_Began).count(), 0.001);
    char text[200];
    std::snprintf(text, sizeof text, "%ld frames in %.1f s: %.1f fps, %.0f kbit/s on average, %d reconnection%s",
                  counts.frames, seconds, static_cast<double>(counts.videoFrames) / seconds,
                  static_cast<double>(counts.bytes) * 8.0 / 1000.0 / seconds, reconnections,
                  reconnections == 1 ? "" : "s");
    return text;
}

}  // namespace kn::cli
