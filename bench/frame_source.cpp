#include "bench/frame_source.h"

namespace kn::bench {

namespace {

void PutLe64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

uint64_t ReadLe64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

CFrameBlock::CFrameBlock(size_t frames, size_t payload)
    : m_nFrames(frames), m_nPayload(payload < kMinPayload ? kMinPayload : payload), m_Bytes(frames * WireSize())
{
    for (size_t i = 0; i < m_nFrames; ++i) {
        uint8_t *f = Frame(i);
        f[0] = 2;
        f[1] = static_cast<uint8_t>(m_nPayload);
        f[2] = static_cast<uint8_t>(m_nPayload >> 8);
        f[3] = static_cast<uint8_t>(m_nPayload >> 16);
        for (size_t k = 0; k < m_nPayload; ++k) {
            f[kFrameHeaderSize + k] = static_cast<uint8_t>(k * 7 + 1);
        }
    }
}

void CFrameBlock::Number(uint64_t firstIndex)
{
    for (size_t i = 0; i < m_nFrames; ++i) {
        PutLe64(Frame(i) + kFrameHeaderSize + kIndexOffset, firstIndex + i);
    }
}

void CFrameBlock::Stamp(size_t i, uint64_t ns) { PutLe64(Frame(i) + WireSize() - kStampSize, ns); }

}  // namespace kn::bench
