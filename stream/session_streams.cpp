// The session's operations on its media streams: opening real-time,
// playback, download and talk streams, stopping them by kind, playback
// control and talk audio.
#include <algorithm>

#include "net/command_codes.h"
#include "platform/thread.h"
#include "session/dvr_session.h"
#include "stream/dvr_stream.h"

namespace kn {

namespace {

constexpr uint32_t kStopTalkSettleMs = 100;

struct ControlMapping {
    int32_t code;
    uint8_t operation;
    uint8_t level;
};

// Playback control codes and the operation and level bytes they send. The
// pause, resume and step codes carry no level of their own: they send 0.
constexpr ControlMapping kControlCodes[] = {
    {0x2800, 0, 0},
    {0x4033, 3, 3}, {0x4066, 2, 3},
    {0x5033, 3, 2}, {0x5066, 2, 2},
    {0x8033, 3, 1}, {0x8066, 2, 1},
    {0xFF33, 3, 0}, {0xFF66, 2, 0},
    {-1, 1, 0},
    {-2, 4, 0},
};

}  // namespace

bool CDvrSession::OwnsStream(const void *handle) const
{
    return FindStream(handle) != nullptr;
}

std::shared_ptr<CDvrStream> CDvrSession::FindStream(const void *handle) const
{
    if (handle == nullptr) {
        return nullptr;
    }
    platform::CLockGuard lock(m_ListMutex);
    for (const auto &stream : m_StreamList) {
        if (stream.get() == handle) {
            return stream;
        }
    }
    return nullptr;
}

std::shared_ptr<CDvrStream> CDvrSession::TakeStream(const void *handle)
{
    platform::CLockGuard lock(m_ListMutex);
    auto it = std::find_if(m_StreamList.begin(), m_StreamList.end(),
                           [handle](const auto &stream) { return stream.get() == handle; });
    if (it == m_StreamList.end()) {
        return nullptr;
    }
    std::shared_ptr<CDvrStream> stream = std::move(*it);
    m_StreamList.erase(it);
    if (m_pTalkStream == stream) {
        m_pTalkStream.reset();
    }
    return stream;
}

void CDvrSession::AppendStream(const std::shared_ptr<CDvrStream> &stream)
{
    platform::CLockGuard lock(m_ListMutex);
    m_StreamList.push_back(stream);
}

void CDvrSession::RemoveStream(const std::shared_ptr<CDvrStream> &stream)
{
    if (TakeStream(stream.get())) {
        stream->Destroy();
    }
}

void *CDvrSession::RealPlay(int32_t channel, int32_t transport, DvrDataCallback callback,
                            uint32_t user)
{
    if (callback == nullptr) {
        return nullptr;
    }
    std::shared_ptr<CDvrStream> stream;
    {
        platform::CLockGuard lock(m_ListMutex);
        for (const auto &candidate : m_StreamList) {
            if (candidate->Kind() == CDvrStream::kRealTime && candidate->Channel() == channel) {
                stream = candidate;
                break;
            }
        }
    }
    if (!stream) {
        stream = CDvrStream::Create(SessionId(), CDvrStream::kRealTime, Address(), Port());
        AppendStream(stream);
    }
    if (!stream->OpenRealPlay(channel, transport, callback, user)) {
        RemoveStream(stream);
        return nullptr;
    }
    return stream.get();
}

void *CDvrSession::PlayBack(int32_t channel, const DvrTime &start, DvrDataCallback callback,
                            uint32_t user)
{
    if (callback == nullptr) {
        return nullptr;
    }
    std::shared_ptr<CDvrStream> stream =
        CDvrStream::Create(SessionId(), CDvrStream::kPlayBack, Address(), Port());
    AppendStream(stream);
    if (!stream->OpenPlayBack(channel, start, callback, user)) {
        RemoveStream(stream);
        return nullptr;
    }
    return stream.get();
}

void *CDvrSession::DownLoad(int32_t channel, const DvrTime &start, const DvrTime &end,
                            DvrDataCallback callback, uint32_t user)
{
    std::shared_ptr<CDvrStream> stream =
        CDvrStream::Create(SessionId(), CDvrStream::kDownLoadOrTalk, Address(), Port());
    AppendStream(stream);
    if (!stream->OpenDownLoad(channel, start, end, callback, user)) {
        RemoveStream(stream);
        return nullptr;
    }
    return stream.get();
}

void *CDvrSession::Talk()
{
    std::shared_ptr<CDvrStream> old;
    {
        platform::CLockGuard lock(m_ListMutex);
        old = m_pTalkStream;
    }
    if (old) {
        RemoveStream(old);  // replaced without telling the recorder
    }
    std::shared_ptr<CDvrStream> stream =
        CDvrStream::Create(SessionId(), CDvrStream::kDownLoadOrTalk, Address(), Port());
    AppendStream(stream);
    if (!stream->OpenTalk()) {
        RemoveStream(stream);
        return nullptr;
    }
    platform::CLockGuard lock(m_ListMutex);
    m_pTalkStream = stream;
    return stream.get();
}

int32_t CDvrSession::StopTalk()
{
    std::shared_ptr<CDvrStream> talk;
    {
        platform::CLockGuard lock(m_ListMutex);
        talk = m_pTalkStream;
    }
    if (!talk) {
        return 1;
    }
    if (!TakeStream(talk.get())) {
        return 0;
    }
    talk->SendStopTalk();
    platform::SleepMs(kStopTalkSettleMs);
    talk->Destroy();
    return 1;
}

void CDvrSession::SendStopFor(const CDvrStream &stream)
{
    if (stream.Kind() == CDvrStream::kRealTime) {
        const uint8_t channel = static_cast<uint8_t>(stream.Channel());
        SendCommand(net::kCodeStopLive, &channel, 1);
    } else if (stream.Kind() == CDvrStream::kPlayBack) {
        SendCommandWithStreamId(stream.StreamId(), net::kCodeStopPlayBack, nullptr, 0);
    }
}

int32_t CDvrSession::StopStream(const void *handle)
{
    // The stream leaves the list first and is torn down outside the list
    // lock: a host that stops a stream from inside a data callback must not
    // wait behind another stop that is waiting for that very callback.
    std::shared_ptr<CDvrStream> stream = TakeStream(handle);
    if (!stream) {
        return 0;
    }
    SendStopFor(*stream);
    stream->Destroy();
    return 1;
}

int32_t CDvrSession::PlayBackCtrl(const void *handle, int32_t code)
{
    std::shared_ptr<CDvrStream> stream = FindStream(handle);
    if (!stream || stream->Kind() != CDvrStream::kPlayBack) {
        return 0;
    }
    uint8_t operation = 0;
    uint8_t level = 0;
    for (const ControlMapping &m : kControlCodes) {
        if (m.code == code) {
            operation = m.operation;
            level = m.level;
            break;
        }
    }
    const uint8_t payload[3] = {0, operation, level};
    SendCommandWithStreamId(stream->StreamId(), net::kCodePlayBackControl, payload, sizeof(payload));
    return 1;
}

int32_t CDvrSession::AudioSend(const void *handle, const void *data, int32_t len)
{
    std::shared_ptr<CDvrStream> stream = FindStream(handle);
    if (!stream || len < 0 || (data == nullptr && len > 0)) {
        return 0;
    }
    return stream->SendRaw(data, static_cast<size_t>(len)) ? 1 : 0;
}

}  // namespace kn
