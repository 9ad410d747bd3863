// What an owner of streams needs of the session's command channel: the
// recorder's address and port, the session id the recorder assigned, and a
// way to send an encoded request. The session implements it; the stream operations use it,
// so the stream layer never needs the session's own class.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/command_packet.h"
#include "net/requests.h"

namespace kn::net {

class CCommandChannel {
public:
    virtual uint32_t Address() const = 0;  // network byte order
    virtual uint16_t Port() const = 0;
    virtual SessionId CurrentSessionId() const = 0;
    // False when nothing was sent (no connection, an empty request) or not
    // all of it within the reply time-out.
    virtual bool Send(const CRequest &request) = 0;

protected:
    ~CCommandChannel() = default;
};

}  // namespace kn::net
