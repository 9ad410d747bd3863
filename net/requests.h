// Every request the library sends, encoded into a command packet: on the
// command channel (login, logout, keep-alive, search, parameters, stopping
// and steering streams) and on a media channel (the openings and the end of
// talk). Each encoder knows its payload's layout; the session and the
// streams only say what to ask for.
//
// A request is built in a fixed buffer inside the returned value (nothing is
// allocated); one whose payload does not fit its channel's buffer (89
// payload bytes on the command channel, 189 on a media channel) comes back
// empty and is never cut.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/host_types.h"
#include "net/command_packet.h"

namespace kn::net {

class CRequest {
public:
    CRequest() = default;  // empty
    // The packet built in a buffer of bufferSize bytes (at most
    // kMediaBufferSize); empty when the payload does not fit.
    CRequest(size_t bufferSize, const SessionId &id, uint8_t code, const void *payload, size_t n);

    const uint8_t *data() const { return m_Bytes; }
    size_t size() const { return m_nLength; }
    bool empty() const { return m_nLength == 0; }

private:
    uint8_t m_Bytes[kMediaBufferSize] = {};
    size_t m_nLength = 0;
};

// Any command-channel request: code and the payload unchanged (a device
// parameter request passes the host's bytes so).
CRequest CommandRequest(const SessionId &id, uint8_t code, const void *payload, size_t n);

// True when both names, each with its length byte, fit one login request.
bool LoginFits(size_t userLength, size_t passwordLength);
CRequest LoginRequest(const SessionId &id, const char *user, size_t userLength, const char *password,
                      size_t passwordLength);
CRequest LogoutRequest(const SessionId &id);
// liveChannels: bit n set when channel n has a live stream.
CRequest KeepAliveRequest(const SessionId &id, uint16_t liveChannels);
// One day of a recording search: the date of day, the channel and the
// selector byte.
CRequest SearchRequest(const SessionId &id, const DvrTime &day, int32_t channel, int32_t selector);
CRequest StopLiveRequest(const SessionId &id, int32_t channel);
CRequest StopPlayBackRequest(const SessionId &id, const StreamId &stream);
CRequest PlayBackControlRequest(const SessionId &id, const StreamId &stream, uint8_t operation, uint8_t level);

// Media channel.
CRequest OpenLiveRequest(const SessionId &id, int32_t channel);
CRequest OpenPlayBackRequest(const SessionId &id, int32_t channel, const DvrTime &start);
// The end's date is the start's: only its time travels.
CRequest OpenDownLoadRequest(const SessionId &id, int32_t channel, const DvrTime &start, const DvrTime &end);
CRequest OpenTalkRequest(const SessionId &id);
CRequest StopTalkRequest(const SessionId &id);

}  // namespace kn::net
