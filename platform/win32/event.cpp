// Auto-reset events are the system's own auto-reset event objects: a wait
// that is satisfied clears the event, several Sets before a wait still wake
// exactly one waiter, and a wait on two events takes only the one it reports.
#include "platform/event.h"

#include "platform/win32/win32.h"

namespace kn::platform {

CEvent::CEvent() : m_hNative(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CEvent::~CEvent()
{
    if (m_hNative != kNoEvent) {
        CloseHandle(m_hNative);
    }
}

void CEvent::Set()
{
    if (m_hNative != kNoEvent) {
        SetEvent(m_hNative);
    }
}

void CEvent::Reset()
{
    if (m_hNative != kNoEvent) {
        ResetEvent(m_hNative);
    }
}

bool CEvent::Wait(uint32_t timeoutMs)
{
    if (m_hNative == kNoEvent) {
        return false;
    }
    // INFINITE is 0xFFFFFFFF: keep every wait bounded.
    const DWORD ms = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    return WaitForSingleObject(m_hNative, ms) == WAIT_OBJECT_0;
}

bool CEvent::TryTake() { return m_hNative != kNoEvent && WaitForSingleObject(m_hNative, 0) == WAIT_OBJECT_0; }

int WaitEither(CEvent &first, CEvent &second, uint32_t timeoutMs)
{
    if (!first.Valid() || !second.Valid()) {
        if (first.Valid()) {
            return first.Wait(timeoutMs) ? 0 : -1;
        }
        return second.Valid() && second.Wait(timeoutMs) ? 1 : -1;
    }
    // With both set the system reports (and clears) the lower index only.
    HANDLE handles[2] = {first.NativeHandle(), second.NativeHandle()};
    const DWORD ms = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
    switch (WaitForMultipleObjects(2, handles, FALSE, ms)) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_OBJECT_0 + 1: return 1;
    default: return -1;
    }
}

}  // namespace kn::platform
