#include "net/command_packet.h"

#include <cstring>

namespace kn::net {

namespace {

// Builds in a buffer of the caller's stack and hands it to one send call;
// the send's own result is deliberately not looked at.
template <size_t Cap>
bool SendBuilt(platform::SocketHandle s, const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    if (s == platform::kNoSocket) {
        return false;
    }
    uint8_t buf[Cap];
    const size_t len = BuildPacket(buf, Cap, id, code, payload, n);
    if (len == 0) {
        return false;
    }
    (void)platform::Send(s, buf, len);
    return true;
}

}  // namespace

size_t BuildPacket(uint8_t *buf, size_t cap, const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    if (buf == nullptr || cap < kHeaderSize || n > cap - kHeaderSize || n > 0xFFFEu) {
        return 0;
    }
    std::memset(buf, 0, cap);
    std::memcpy(buf, kPacketMagic, sizeof kPacketMagic);
    std::memcpy(buf + 4, id.data(), id.size());
    const size_t length = n + 1;
    buf[8] = static_cast<uint8_t>(length & 0xFF);
    buf[9] = static_cast<uint8_t>(length >> 8);
    buf[10] = code;
    if (payload != nullptr && n > 0) {
        std::memcpy(buf + kHeaderSize, payload, n);
    }
    return kHeaderSize + n;
}

bool SendCommand(platform::SocketHandle s, const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    return SendBuilt<kCommandBufferSize>(s, id, code, payload, n);
}

bool SendCommandWithStreamId(platform::SocketHandle s, const SessionId &id, const StreamId &streamId,
                             uint8_t code, const void *payload, size_t n)
{
    if (s == platform::kNoSocket || n > kStreamIdMaxPayload) {
        return false;
    }
    uint8_t body[kStreamIdBufferSize] = {};
    std::memcpy(body, streamId.data(), streamId.size());
    if (payload != nullptr && n > 0) {
        std::memcpy(body + streamId.size(), payload, n);
    }
    return SendCommand(s, id, code, body, n + streamId.size());
}

bool SendMediaCommand(platform::SocketHandle s, const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    return SendBuilt<kMediaBufferSize>(s, id, code, payload, n);
}

}  // namespace kn::net
