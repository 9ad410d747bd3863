// The media streams of one session: the stream list, the talk slot and the
// operations on them (open real-time, playback, download and talk streams,
// stop them by kind, playback control, talk audio). The session owns one and
// lends it its command channel.
//
// Locking: m_ListMutex guards the list, the talk slot and the channels being
// opened. A stream is taken out of the list before it is torn down, and torn
// down outside the lock, so a host that stops a stream from inside a data
// callback never waits behind another stop that waits for that very callback.
//
// Real-time openings from several host threads: openings of different
// channels run side by side, each on a stream of its own; two openings of
// one channel run one after the other, and the second reuses the stream the
// first opened. A stream is found for reuse only once its first opening has
// succeeded, and only by an opening of the channel it was opened for.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/host_types.h"
#include "platform/mutex.h"

namespace kn::net {
class CCommandChannel;
}

namespace kn {

class CDvrStream;

class CSessionStreams {
public:
    explicit CSessionStreams(net::CCommandChannel &channel);
    CSessionStreams(const CSessionStreams &) = delete;
    CSessionStreams &operator=(const CSessionStreams &) = delete;

    bool Owns(const void *handle) const;
    void *RealPlay(int32_t channel, int32_t transport, DvrDataCallback callback, uint32_t user);
    void *PlayBack(int32_t channel, const DvrTime &start, DvrDataCallback callback, uint32_t user);
    void *DownLoad(int32_t channel, const DvrTime &start, const DvrTime &end, DvrDataCallback callback, uint32_t user);
    void *Talk();
    int32_t StopTalk();
    int32_t StopStream(const void *handle);
    int32_t PlayBackCtrl(const void *handle, int32_t code);
    int32_t AudioSend(const void *handle, const void *data, int32_t len);

    // Stops each stream of the list once, by its kind.
    void StopAll();
    // Stops every stream and accepts no new one until Reopen: an opening
    // that races the close returns null, its connection closed, so that no
    // stream outlives its session's close.
    void CloseAll();
    // Accepts new streams again (a new login of the same session).
    void Reopen();
    // The keep-alive bitmap: bit (channel mod 32) of every real-time stream.
    // Leaves channels untouched and returns false when the list is empty.
    bool LiveChannels(uint32_t &channels) const;

private:
    // Holds the turn of one channel's real-time opening: waits while another
    // opening of that channel runs (which is bounded by its connect, request
    // and reply time-outs), and hands the turn on when it ends.
    class CChannelTurn {
    public:
        CChannelTurn(CSessionStreams &streams, int32_t channel);
        ~CChannelTurn();
        CChannelTurn(const CChannelTurn &) = delete;
        CChannelTurn &operator=(const CChannelTurn &) = delete;

    private:
        CSessionStreams &m_Streams;
        const int32_t m_nChannel;
    };

    // The open (or lost) real-time stream of a channel, or null.
    std::shared_ptr<CDvrStream> FindLive(int32_t channel) const;
    std::shared_ptr<CDvrStream> Take(const void *handle);
    std::shared_ptr<CDvrStream> Find(const void *handle) const;
    void Append(const std::shared_ptr<CDvrStream> &stream);
    void Remove(const std::shared_ptr<CDvrStream> &stream);
    void SendStopFor(const CDvrStream &stream);
    // A new stream in the list; null (and nothing left running) once the
    // session is closing.
    std::shared_ptr<CDvrStream> NewStream(int32_t kind);
    // The result of an opening: the handle while the stream is still listed
    // (a close meanwhile took it and tore it down), else null.
    void *Opened(const std::shared_ptr<CDvrStream> &stream) const;

    net::CCommandChannel &m_Channel;
    mutable platform::CMutex m_ListMutex;
    std::vector<std::shared_ptr<CDvrStream>> m_StreamList;
    std::shared_ptr<CDvrStream> m_pTalkStream;
    bool m_bClosing = false;                 // under m_ListMutex
    std::vector<int32_t> m_OpeningChannels;  // under m_ListMutex
    platform::CCondition m_TurnEnded;
};

}  // namespace kn
