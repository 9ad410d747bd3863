// What an owner of streams needs of the session's command channel: the
// recorder's address and port, the session id the recorder assigned, and the
// command writers. The session implements it; the stream operations use it,
// so the stream layer never needs the session's own class.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/command_packet.h"

namespace kn::net {

class CCommandChannel {
public:
    virtual uint32_t Address() const = 0;  // network byte order
    virtual uint16_t Port() const = 0;
    virtual SessionId CurrentSessionId() const = 0;
    // False when nothing was sent (no connection, payload too long).
    virtual bool SendCommand(uint8_t code, const void *payload, size_t len) = 0;
    virtual bool SendCommandWithStreamId(const StreamId &streamId, uint8_t code,
                                         const void *payload, size_t len) = 0;

protected:
    ~CCommandChannel() = default;
};

}  // namespace kn::net
