// CLiveStats: kestrel live --stats. Once a second, the frames so far and the
// frame rate and bit rate of the last second: a line that replaces itself on
// a terminal, one line a second otherwise; and a summary at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/programs/kestrel/output.h"

namespace kn::cli {

class CLiveStats {
public:
    explicit CLiveStats(CProgress &progress);
    // Called often; prints when a second has passed since the last line.
    void Tick(const SinkCounts &counts, int reconnections);
    // "N frames in T s: F fps, B kbit/s on average, R reconnections".
    std::string Summary(const SinkCounts &counts, int reconnections) const;

private:
    CProgress &m_Progress;
    std::chrono::steady_clock::time_point m_Began;
    std::chrono::steady_clock::time_point m_Last;
    long m_nLastFrames = 0;
    uint64_t m_qwLastBytes = 0;
};

}  // namespace kn::cli
