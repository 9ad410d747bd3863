// StreamUnit: one access unit of a channel as its stream publishes it. The
// delivery thread fills it once (the frame's bytes, with the parameter sets
// in front of a keyframe that lacks them); from then on it is read-only and
// shared by the keyframe cache and every reader, which hold it as long as
// they need it (an RTSP client's pipeline until the packet is sent). A
// channel takes its units from a CUnitPool, so once the pool has grown to
// what the cache and the readers hold, no unit is allocated while media
// flows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/common/access_unit.h"

namespace kn::gateway {

struct StreamUnit {
    std::vector<uint8_t> bytes;
    bool keyframe = false;
    int64_t arrivalNs = 0;  // when the frame reached the gateway (steady clock; an opening burst spread)

    common::ByteSpan Span() const { return {bytes.data(), bytes.size()}; }
};

using SharedUnit = std::shared_ptr<const StreamUnit>;

// Not thread-safe: one channel's delivery thread takes from it (under the
// channel's lock); the units it hands out are released on any thread.
class CUnitPool {
public:
    // A unit nobody else holds, its bytes emptied (their room kept).
    std::shared_ptr<StreamUnit> Take();
    size_t Size() const { return m_Units.size(); }
    // The stream has ended: its units are let go (those a reader still
    // holds go when it lets them go), so a closed channel keeps no room.
    void Release()
    {
        m_Units.clear();
        m_nNext = 0;
    }

private:
    // Beyond this many units (readers holding a great backlog) a unit is
    // made for the one frame and not kept.
    static constexpr size_t kMaxPooled = 1024;
    std::vector<std::shared_ptr<StreamUnit>> m_Units;
    size_t m_nNext = 0;  // where the search starts: the oldest unit handed out
};

}  // namespace kn::gateway
