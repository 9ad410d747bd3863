// Type-2 media frames as a recorder writes them, with the fields a benchmark
// reads back on the receiving side: a running frame index and a send time.
//
// Payload layout (payload bytes 2 and 3 are zeroed by the library, so they
// carry nothing): bytes 4-11 the frame index, the last 8 bytes the steady
// clock in nanoseconds when the frame's last bytes were written; both little
// endian (the host's order: sender and receiver share the machine).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kn::bench {

constexpr size_t kFrameHeaderSize = 4;
constexpr size_t kIndexOffset = 4;
constexpr size_t kStampSize = 8;
constexpr size_t kMinPayload = 20;

// A run of identical-length frames in one contiguous buffer, ready to send.
class CFrameBlock {
public:
    CFrameBlock(size_t frames, size_t payload);
    size_t Frames() const { return m_nFrames; }
    size_t WireSize() const { return kFrameHeaderSize + m_nPayload; }  // one frame
    uint8_t *Frame(size_t i) { return m_Bytes.data() + i * WireSize(); }
    const uint8_t *Data() const { return m_Bytes.data(); }
    size_t Size() const { return m_Bytes.size(); }
    // Numbers the frames firstIndex, firstIndex + 1, ...
    void Number(uint64_t firstIndex);
    void Stamp(size_t i, uint64_t ns);

private:
    size_t m_nFrames;
    size_t m_nPayload;
    std::vector<uint8_t> m_Bytes;
};

uint64_t ReadLe64(const uint8_t *p);

// Follows a frame byte stream received in arbitrary pieces and reports each
// completed frame's index and stamp: the receiving side of the baseline.
class CFrameTracker {
public:
    explicit CFrameTracker(size_t payload) : m_nWire(kFrameHeaderSize + payload) {}
    // Calls onFrame(index, stamp) for every frame completed by these bytes.
    template <typename F>
    void Feed(const uint8_t *data, size_t len, F &&onFrame)
    {
        for (size_t i = 0; i < len;) {
            const size_t take = std::min(len - i, m_nWire - m_nPos);
            CopyField(data + i, take, kFrameHeaderSize + kIndexOffset, m_Index);
            CopyField(data + i, take, m_nWire - kStampSize, m_Stamp);
            i += take;
            m_nPos += take;
            if (m_nPos == m_nWire) {
                m_nPos = 0;
                onFrame(ReadLe64(m_Index), ReadLe64(m_Stamp));
            }
        }
    }

private:
    // Copies the part of an 8-byte field at fieldStart (offset in the frame)
    // that the take bytes at m_nPos cover.
    void CopyField(const uint8_t *src, size_t take, size_t fieldStart, uint8_t *field)
    {
        const size_t lo = std::max(m_nPos, fieldStart);
        const size_t hi = std::min(m_nPos + take, fieldStart + 8);
        if (lo < hi) {
            std::memcpy(field + (lo - fieldStart), src + (lo - m_nPos), hi - lo);
        }
    }

    size_t m_nWire;
    size_t m_nPos = 0;
    uint8_t m_Index[8] = {};
    uint8_t m_Stamp[8] = {};
};

}  // namespace kn::bench
