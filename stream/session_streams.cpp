#include "stream/session_streams.h"

#include <algorithm>

#include "core/handle_list.h"
#include "net/command_channel.h"
#include "net/requests.h"
#include "platform/thread.h"
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
    {0x2800, 0, 0}, {0x4033, 3, 3}, {0x4066, 2, 3}, {0x5033, 3, 2}, {0x5066, 2, 2}, {0x8033, 3, 1},
    {0x8066, 2, 1}, {0xFF33, 3, 0}, {0xFF66, 2, 0}, {-1, 1, 0},     {-2, 4, 0},
};

}  // namespace

CSessionStreams::CSessionStreams(net::CCommandChannel &channel) : m_Channel(channel) { m_StreamList.reserve(10); }

bool CSessionStreams::Owns(const void *handle) const { return Find(handle) != nullptr; }

std::shared_ptr<CDvrStream> CSessionStreams::Find(const void *handle) const
{
    platform::CLockGuard lock(m_ListMutex);
    return FindByHandle(m_StreamList, handle);
}

std::shared_ptr<CDvrStream> CSessionStreams::Take(const void *handle)
{
    platform::CLockGuard lock(m_ListMutex);
    std::shared_ptr<CDvrStream> stream = TakeByHandle(m_StreamList, handle);
    if (stream && m_pTalkStream == stream) {
        m_pTalkStream.reset();
    }
    return stream;
}

void CSessionStreams::Append(const std::shared_ptr<CDvrStream> &stream)
{
    platform::CLockGuard lock(m_ListMutex);
    m_StreamList.push_back(stream);
}

void CSessionStreams::Remove(const std::shared_ptr<CDvrStream> &stream)
{
    if (Take(stream->Handle())) {
        stream->Destroy();
    }
}

std::shared_ptr<CDvrStream> CSessionStreams::NewStream(int32_t kind)
{
    std::shared_ptr<CDvrStream> stream =
        CDvrStream::Create(m_Channel.CurrentSessionId(), kind, m_Channel.Address(), m_Channel.Port());
    {
        platform::CLockGuard lock(m_ListMutex);
        if (!m_bClosing) {
            m_StreamList.push_back(stream);
            return stream;
        }
    }
    stream->Destroy();  // the session closed first: never listed, never opened
    return nullptr;
}

void *CSessionStreams::Opened(const std::shared_ptr<CDvrStream> &stream) const
{
    platform::CLockGuard lock(m_ListMutex);
    for (const auto &listed : m_StreamList) {
        if (listed == stream) {
            return stream->Handle();
        }
    }
    return nullptr;
}

void CSessionStreams::CloseAll()
{
    {
        platform::CLockGuard lock(m_ListMutex);
        m_bClosing = true;
    }
    // Nothing joins the list from here on, so one pass stops everything.
    StopAll();
}

void CSessionStreams::Reopen()
{
    platform::CLockGuard lock(m_ListMutex);
    m_bClosing = false;
}

void CSessionStreams::StopAll()
{
    std::vector<std::shared_ptr<CDvrStream>> streams;
    {
        platform::CLockGuard lock(m_ListMutex);
        streams = m_StreamList;
    }
    for (const auto &stream : streams) {
        StopStream(stream->Handle());
    }
}

bool CSessionStreams::LiveChannels(uint32_t &channels) const
{
    platform::CLockGuard lock(m_ListMutex);
    if (m_StreamList.empty()) {
        return false;
    }
    channels = 0;
    for (const auto &stream : m_StreamList) {
        if (stream->Kind() == CDvrStream::kRealTime) {
            channels |= 1u << (static_cast<uint32_t>(stream->Channel()) % 32);
        }
    }
    return true;
}

CSessionStreams::CChannelTurn::CChannelTurn(CSessionStreams &streams, int32_t channel)
    : m_Streams(streams), m_nChannel(channel)
{
    platform::CLock lock(m_Streams.m_ListMutex);
    auto &opening = m_Streams.m_OpeningChannels;
    m_Streams.m_TurnEnded.wait(lock,
                               [&] { return std::find(opening.begin(), opening.end(), channel) == opening.end(); });
    opening.push_back(channel);
}

CSessionStreams::CChannelTurn::~CChannelTurn()
{
    {
        platform::CLockGuard lock(m_Streams.m_ListMutex);
        auto &opening = m_Streams.m_OpeningChannels;
        opening.erase(std::find(opening.begin(), opening.end(), m_nChannel));
    }
    m_Streams.m_TurnEnded.notify_all();
}

std::shared_ptr<CDvrStream> CSessionStreams::FindLive(int32_t channel) const
{
    // A stream whose first opening has not succeeded still reports channel
    // 0, whatever channel it is being opened for: it is nobody's to reuse.
    platform::CLockGuard lock(m_ListMutex);
    for (const auto &candidate : m_StreamList) {
        if (candidate->Kind() == CDvrStream::kRealTime && candidate->HasOpened() && candidate->Channel() == channel) {
            return candidate;
        }
    }
    return nullptr;
}

void *CSessionStreams::RealPlay(int32_t channel, int32_t transport, DvrDataCallback callback, uint32_t user)
{
    if (callback == nullptr) {
        return nullptr;
    }
    const CChannelTurn turn(*this, channel);
    std::shared_ptr<CDvrStream> stream = FindLive(channel);
    if (!stream) {
        stream = NewStream(CDvrStream::kRealTime);
        if (!stream) {
            return nullptr;
        }
    }
    if (!stream->OpenRealPlay(channel, transport, callback, user)) {
        // A reused stream goes too; whoever holds it learns it from its
        // callback, as for a lost connection.
        stream->TellLossOnDestroy();
        Remove(stream);
        return nullptr;
    }
    return Opened(stream);
}

void *CSessionStreams::PlayBack(int32_t channel, const DvrTime &start, DvrDataCallback callback, uint32_t user)
{
    if (callback == nullptr) {
        return nullptr;
    }
    std::shared_ptr<CDvrStream> stream = NewStream(CDvrStream::kPlayBack);
    if (!stream) {
        return nullptr;
    }
    if (!stream->OpenPlayBack(channel, start, callback, user)) {
        Remove(stream);
        return nullptr;
    }
    return Opened(stream);
}

void *CSessionStreams::DownLoad(int32_t channel, const DvrTime &start, const DvrTime &end, DvrDataCallback callback,
                                uint32_t user)
{
    std::shared_ptr<CDvrStream> stream = NewStream(CDvrStream::kDownLoadOrTalk);
    if (!stream) {
        return nullptr;
    }
    if (!stream->OpenDownLoad(channel, start, end, callback, user)) {
        Remove(stream);
        return nullptr;
    }
    return Opened(stream);
}

void *CSessionStreams::Talk()
{
    std::shared_ptr<CDvrStream> old;
    {
        platform::CLockGuard lock(m_ListMutex);
        old = m_pTalkStream;
    }
    if (old) {
        Remove(old);  // replaced without telling the recorder
    }
    std::shared_ptr<CDvrStream> stream = NewStream(CDvrStream::kDownLoadOrTalk);
    if (!stream) {
        return nullptr;
    }
    if (!stream->OpenTalk()) {
        Remove(stream);
        return nullptr;
    }
    platform::CLockGuard lock(m_ListMutex);
    for (const auto &listed : m_StreamList) {
        if (listed == stream) {
            m_pTalkStream = stream;
            return stream->Handle();
        }
    }
    return nullptr;  // a close took it meanwhile and tore it down
}

int32_t CSessionStreams::StopTalk()
{
    std::shared_ptr<CDvrStream> talk;
    {
        platform::CLockGuard lock(m_ListMutex);
        talk = m_pTalkStream;
    }
    if (!talk) {
        return 1;
    }
    if (!Take(talk->Handle())) {
        return 0;
    }
    talk->SendStopTalk();
    platform::SleepMs(kStopTalkSettleMs);
    talk->Destroy();
    return 1;
}

void CSessionStreams::SendStopFor(const CDvrStream &stream)
{
    if (stream.Kind() == CDvrStream::kRealTime) {
        m_Channel.Send(net::StopLiveRequest(m_Channel.CurrentSessionId(), stream.Channel()));
    } else if (stream.Kind() == CDvrStream::kPlayBack) {
        m_Channel.Send(net::StopPlayBackRequest(m_Channel.CurrentSessionId(), stream.StreamId()));
    }
}

int32_t CSessionStreams::StopStream(const void *handle)
{
    // The stream leaves the list first and is torn down outside the list
    // lock: a host that stops a stream from inside a data callback must not
    // wait behind another stop that is waiting for that very callback.
    std::shared_ptr<CDvrStream> stream = Take(handle);
    if (!stream) {
        return 0;
    }
    SendStopFor(*stream);
    stream->Destroy();
    return 1;
}

int32_t CSessionStreams::PlayBackCtrl(const void *handle, int32_t code)
{
    std::shared_ptr<CDvrStream> stream = Find(handle);
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
    m_Channel.Send(net::PlayBackControlRequest(m_Channel.CurrentSessionId(), stream->StreamId(), operation, level));
    return 1;
}

int32_t CSessionStreams::AudioSend(const void *handle, const void *data, int32_t len)
{
    std::shared_ptr<CDvrStream> stream = Find(handle);
    if (!stream || len < 0 || (data == nullptr && len > 0)) {
        return 0;
    }
    return stream->SendRaw(data, static_cast<size_t>(len)) ? 1 : 0;
}

}  // namespace kn
