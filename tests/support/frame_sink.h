// Collects what the library hands to a data callback. The user value picks
// one of a few process-wide sinks, so a plain C callback can record frames of
// several streams apart; a sink may carry an action that runs inside the
// callback (to stop a stream or log out from there).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "api/exports.h"
#include "tools/testing/emulator/wire.h"

namespace kn::test {

struct DeliveredFrame {
    void *stream = nullptr;
    uint32_t type = 0;
    emu::Bytes bytes;
    uint32_t user = 0;
    bool nullData = false;
};

class CFrameSink {
public:
    using Action = std::function<void(const DeliveredFrame &)>;

    void Record(void *stream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user)
    {
        DeliveredFrame f;
        f.stream = stream;
        f.type = type;
        f.user = user;
        f.nullData = data == nullptr;
        if (data != nullptr && len > 0) {
            f.bytes.assign(data, data + len);
        }
        Action action;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Frames.push_back(f);
            action = m_Action;
        }
        if (type == 255) {
            ++m_nLost;
        } else {
            ++m_nCount;
        }
        if (action) {
            action(f);
        }
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Frames.clear();
        m_Action = nullptr;
        m_nCount = 0;
        m_nLost = 0;
    }

    // Set before the stream opens; runs on the library thread that calls back.
    void SetAction(Action action)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Action = std::move(action);
    }

    std::vector<DeliveredFrame> Frames() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Frames;
    }
    // Media frames only (type 255 notices left out).
    std::vector<DeliveredFrame> MediaFrames() const
    {
        std::vector<DeliveredFrame> out;
        for (const DeliveredFrame &f : Frames()) {
            if (f.type != 255) {
                out.push_back(f);
            }
        }
        return out;
    }
    int Count() const { return m_nCount.load(); }
    int Lost() const { return m_nLost.load(); }

private:
    mutable std::mutex m_Mutex;
    std::vector<DeliveredFrame> m_Frames;
    Action m_Action;
    std::atomic<int> m_nCount{0};
    std::atomic<int> m_nLost{0};
};

constexpr uint32_t kSinkCount = 16;

inline CFrameSink &Sink(uint32_t user)
{
    static CFrameSink sinks[kSinkCount];
    return sinks[user % kSinkCount];
}

inline void ClearSinks()
{
    for (uint32_t i = 0; i < kSinkCount; ++i) {
        Sink(i).Clear();
    }
}

inline void KR_CALL SinkCallback(void *stream, uint32_t type, const unsigned char *data, int32_t len, uint32_t user)
{
    Sink(user).Record(stream, type, data, len, user);
}

inline void PutLe32(emu::Bytes &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// What the host receives for one frame: the prefix of its type, then the
// payload (bytes 2 and 3 zeroed for types 2 and 3).
inline emu::Bytes ExpectedFrame(uint8_t type, const emu::Bytes &payload, uint32_t counter)
{
    emu::Bytes out;
    emu::Bytes body = payload;
    if (type == 1) {
        out = {'0', '0', 'd', 'b'};
        PutLe32(out, static_cast<uint32_t>(payload.size()));
    } else if (type == 2 || type == 3) {
        out = {'0', '0', 'd', 'c'};
        PutLe32(out, 25);
        PutLe32(out, counter);
        PutLe32(out, static_cast<uint32_t>(payload.size()));
        for (size_t i = 2; i < 4 && i < body.size(); ++i) {
            body[i] = 0;
        }
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline emu::Bytes Pattern(size_t n, uint8_t seed)
{
    emu::Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return b;
}

}  // namespace kn::test
