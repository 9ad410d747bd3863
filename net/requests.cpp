#include "net/requests.h"

#include <cstring>

#include "net/command_codes.h"

namespace kn::net {

namespace {

constexpr size_t kOpenPlayBackPayload = 7;
constexpr size_t kOpenDownLoadPayload = 170;  // the times, then zero bytes
constexpr size_t kKeepAlivePayload = 14;      // 12 zero bytes, then the bitmap

// Start date and time with the channel, as playback and download carry them.
void PutStart(uint8_t *p, int32_t channel, const DvrTime &start)
{
    p[0] = YearByte(start.nYear);
    p[1] = static_cast<uint8_t>(start.nMonth);
    p[2] = static_cast<uint8_t>(start.nDay);
    p[3] = static_cast<uint8_t>(channel);
    p[4] = static_cast<uint8_t>(start.nHour);
    p[5] = static_cast<uint8_t>(start.nMinute);
    p[6] = static_cast<uint8_t>(start.nSecond);
}

CRequest Command(const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    return CRequest(kCommandBufferSize, id, code, payload, n);
}

CRequest Media(const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    return CRequest(kMediaBufferSize, id, code, payload, n);
}

}  // namespace

CRequest::CRequest(size_t bufferSize, const SessionId &id, uint8_t code, const void *payload, size_t n)
    : m_nLength(BuildPacket(m_Bytes, bufferSize < sizeof(m_Bytes) ? bufferSize : sizeof(m_Bytes), id, code, payload, n))
{}

CRequest CommandRequest(const SessionId &id, uint8_t code, const void *payload, size_t n)
{
    return Command(id, code, payload, n);
}

bool LoginFits(size_t userLength, size_t passwordLength)
{
    // Each length travels in one byte.
    return userLength <= 255 && passwordLength <= 255 && userLength + passwordLength + 2 <= kCommandMaxPayload;
}

CRequest LoginRequest(const SessionId &id, const char *user, size_t userLength, const char *password,
                      size_t passwordLength)
{
    if (!LoginFits(userLength, passwordLength) || (user == nullptr && userLength != 0) ||
        (password == nullptr && passwordLength != 0)) {
        return CRequest{};
    }
    uint8_t payload[kCommandMaxPayload];
    size_t n = 0;
    payload[n++] = static_cast<uint8_t>(userLength);
    if (userLength != 0) {
        std::memcpy(payload + n, user, userLength);
        n += userLength;
    }
    payload[n++] = static_cast<uint8_t>(passwordLength);
    if (passwordLength != 0) {
        std::memcpy(payload + n, password, passwordLength);
        n += passwordLength;
    }
    return Command(id, kCodeLogin, payload, n);
}

CRequest LogoutRequest(const SessionId &id) { return Command(id, kCodeLogout, nullptr, 0); }

CRequest KeepAliveRequest(const SessionId &id, uint16_t liveChannels)
{
    uint8_t payload[kKeepAlivePayload] = {};
    payload[12] = static_cast<uint8_t>(liveChannels);
    payload[13] = static_cast<uint8_t>(liveChannels >> 8);
    return Command(id, kCodeKeepAlive, payload, sizeof(payload));
}

CRequest SearchRequest(const SessionId &id, const DvrTime &day, int32_t channel, int32_t selector)
{
    const uint8_t payload[5] = {YearByte(day.nYear), static_cast<uint8_t>(day.nMonth), static_cast<uint8_t>(day.nDay),
                                static_cast<uint8_t>(channel), static_cast<uint8_t>(selector)};
    return Command(id, kCodeSearch, payload, sizeof(payload));
}

CRequest StopLiveRequest(const SessionId &id, int32_t channel)
{
    const uint8_t payload = static_cast<uint8_t>(channel);
    return Command(id, kCodeStopLive, &payload, 1);
}

CRequest StopPlayBackRequest(const SessionId &id, const StreamId &stream)
{
    return Command(id, kCodeStopPlayBack, stream.data(), stream.size());
}

CRequest PlayBackControlRequest(const SessionId &id, const StreamId &stream, uint8_t operation, uint8_t level)
{
    const uint8_t payload[7] = {stream[0], stream[1], stream[2], stream[3], 0, operation, level};
    return Command(id, kCodePlayBackControl, payload, sizeof(payload));
}

CRequest OpenLiveRequest(const SessionId &id, int32_t channel)
{
    const uint8_t payload[2] = {static_cast<uint8_t>(channel), 0};
    return Media(id, kCodeOpenLive, payload, sizeof(payload));
}

CRequest OpenPlayBackRequest(const SessionId &id, int32_t channel, const DvrTime &start)
{
    uint8_t payload[kOpenPlayBackPayload];
    PutStart(payload, channel, start);
    return Media(id, kCodeOpenPlayBack, payload, sizeof(payload));
}

CRequest OpenDownLoadRequest(const SessionId &id, int32_t channel, const DvrTime &start, const DvrTime &end)
{
    uint8_t payload[kOpenDownLoadPayload] = {};
    PutStart(payload, channel, start);
    payload[7] = static_cast<uint8_t>(end.nHour);
    payload[8] = static_cast<uint8_t>(end.nMinute);
    payload[9] = static_cast<uint8_t>(end.nSecond);
    return Media(id, kCodeOpenDownLoad, payload, sizeof(payload));
}

CRequest OpenTalkRequest(const SessionId &id) { return Media(id, kCodeOpenTalk, nullptr, 0); }

CRequest StopTalkRequest(const SessionId &id) { return Media(id, kCodeStopTalk, nullptr, 0); }

}  // namespace kn::net
