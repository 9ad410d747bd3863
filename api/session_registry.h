// The process-wide list of logged-in sessions, against which every handle
// the host passes is checked before use. Handles are object addresses and
// are only ever compared, never dereferenced, until found here.
//
// The list structure is guarded by a lock so that lookups, logins and
// logouts from several host threads never see it torn. A lookup hands back a
// shared reference: the session stays alive for the rest of the call even if
// another thread logs it out meanwhile. What a host may run at the same time
// as what is written once, in api/exports.h; the lock is what lets logins and
// logouts run beside calls on other sessions.
#pragma once

#include <memory>
#include <vector>

#include "platform/mutex.h"

namespace kn {

class CDvrSession;
class CDvrStream;

class CSessionRegistry {
public:
    std::shared_ptr<CDvrSession> FindSession(const void *handle) const;
    // The first session (from the head) whose stream list holds the handle.
    std::shared_ptr<CDvrSession> FindStreamOwner(const void *handle) const;
    // The session already serving this recorder address and port.
    std::shared_ptr<CDvrSession> FindByAddress(uint32_t addressNetOrder, uint16_t port) const;

    void Append(std::shared_ptr<CDvrSession> session);
    // Removes and returns the session; null when it is not listed.
    std::shared_ptr<CDvrSession> Remove(const void *handle);
    // Empties the list, returning the sessions in list order.
    std::vector<std::shared_ptr<CDvrSession>> TakeAll();

private:
    mutable platform::CMutex m_Mutex;
    std::vector<std::shared_ptr<CDvrSession>> m_Sessions;
};

extern CSessionRegistry g_SessionList;

}  // namespace kn
