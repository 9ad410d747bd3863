// Auto-reset events: Set wakes exactly one wait (or the next one to start);
// a successful wait clears the event. Each event also has a descriptor that
// can be waited on together with a socket (see socket.h WaitReadable).
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace kn::platform {

class CEvent {
public:
    CEvent();  // created clear
    ~CEvent();
    CEvent(const CEvent &) = delete;
    CEvent &operator=(const CEvent &) = delete;

    bool Valid() const { return m_hNative != kNoEvent; }
    void Set();
    void Reset();
    // True when the event was set within timeoutMs (and is now clear again).
    bool Wait(uint32_t timeoutMs);
    // Non-blocking: true and cleared when it was set.
    bool TryTake();
    EventHandle NativeHandle() const { return m_hNative; }

private:
    EventHandle m_hNative;
};

// Waits for whichever of two events is set first, up to timeoutMs.
// Returns 0 for first, 1 for second, -1 on time-out. When both are set the
// first wins and the second stays set.
int WaitEither(CEvent &first, CEvent &second, uint32_t timeoutMs);

}  // namespace kn::platform
