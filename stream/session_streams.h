// The media streams of one session: the stream list, the talk slot and the
// operations on them (open real-time, playback, download and talk streams,
// stop them by kind, playback control, talk audio). The session owns one and
// lends it its command channel.
//
// Locking: m_ListMutex guards the list and the talk slot only. A stream is
// taken out of the list before it is torn down, and torn down outside the
// lock, so a host that stops a stream from inside a data callback never waits
// behind another stop that waits for that very callback.
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
    void *DownLoad(int32_t channel, const DvrTime &start, const DvrTime &end,
                   DvrDataCallback callback, uint32_t user);
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
    bool m_bClosing = false;  // under m_ListMutex
};

}  // namespace kn
