// One media or data channel to a recorder, owned by a session: real-time
// video of a channel, playback, download or talk. Each stream has its own
// connection to the recorder, a receive thread that reads control replies
// and media, the reassembly into frames, a frame queue and a delivery thread
// that hands each frame to the host. All its buffers are part of the object:
// nothing is allocated while media flows.
//
// Streams are always held by shared_ptr; each worker thread holds one for as
// long as it runs, so a thread that outlives the stop grace never touches
// freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/handle_pool.h"
#include "core/host_types.h"
#include "core/release.h"
#include "net/atomic_id.h"
#include "net/command_packet.h"
#include "net/requests.h"
#include "net/socket_slot.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "stream/frame_assembler.h"
#include "stream/frame_queue.h"
#include "stream/media_framer.h"

namespace kn {

class CDvrStream : public std::enable_shared_from_this<CDvrStream> {
public:
    static constexpr int32_t kRealTime = 0;
    static constexpr int32_t kPlayBack = 1;
    static constexpr int32_t kDownLoadOrTalk = 3;
    static constexpr size_t kDeliverBufSize = release::kDeliverBufferSize;

    // Builds the stream and starts its two threads.
    static std::shared_ptr<CDvrStream> Create(const net::SessionId &sessionId, int32_t kind, uint32_t addressNetOrder,
                                              uint16_t port);
    ~CDvrStream();
    CDvrStream(const CDvrStream &) = delete;
    CDvrStream &operator=(const CDvrStream &) = delete;

    // Closes the connection and stops both threads; never waits for the
    // calling thread itself (a host may stop a stream from its callback).
    void Destroy();
    // A reopening of a stream that had opened failed: the stream is going,
    // and the callback in place is told, once, with type 255 from the
    // delivery thread as it ends (unless it was already told of the loss of
    // the last connection it was given). Call before Destroy.
    void TellLossOnDestroy();

    bool ConnectTcp();
    bool ConnectUdp();

    bool OpenRealPlay(int32_t channel, int32_t transport, DvrDataCallback callback, uint32_t user);
    bool OpenPlayBack(int32_t channel, const DvrTime &start, DvrDataCallback callback, uint32_t user);
    bool OpenDownLoad(int32_t channel, const DvrTime &start, const DvrTime &end, DvrDataCallback callback,
                      uint32_t user);
    bool OpenTalk();
    bool SendStopTalk();

    // A request on the stream's own connection; nothing without one (or
    // when the request is empty). Every send on the stream is bounded by the
    // reply time-out; one that times out loses the connection (type 255, as
    // for a failed receive).
    void SendRequest(const net::CRequest &request);
    // The bytes unchanged; false when the stream has no connection.
    bool SendRaw(const void *data, size_t len);

    // One receive: over TCP a stretch of the byte stream, in which control
    // replies are framed by their declared length and everything else is
    // media; on a datagram socket one datagram, a control reply when it
    // begins with "SDVR" and media otherwise. Runs on the receive thread
    // under the socket lock.
    void HandleChunk(uint8_t *bytes, size_t count);

    // The value the host knows this stream by (core/handle_pool.h).
    void *Handle() const { return m_Handle.Value(); }
    int32_t Kind() const { return m_nKind; }
    int32_t Channel() const { return m_nChannel.load(); }
    // True once an opening succeeded; a lost connection leaves it true.
    bool HasOpened() const { return m_bOpened.load(); }
    net::StreamId StreamId() const;

private:
    CDvrStream(const net::SessionId &sessionId, int32_t kind, uint32_t addressNetOrder, uint16_t port);
    void StartThreads();
    void ReceiveLoop();
    void DeliverLoop();
    bool Connect(bool tcp);
    // Sends an opening request and waits for any control reply.
    bool Request(const net::CRequest &request);
    void CloseSocket();
    // One receive into m_RecvBuf that never blocks (receive thread, under
    // m_SockMutex): a whole datagram on a datagram socket, else a stretch of
    // the byte stream.
    long ReceiveNoWait(platform::SocketHandle s, bool &wouldBlock, bool &truncated);
    void SendBytes(const void *data, size_t len);
    void SendBytes(const void *data, size_t len, const net::CSocketSlot::Lease &lease);

    // m_SockMutex taken from outside the receive thread: ends a receive pass
    // in progress at once instead of waiting it out.
    class CSockLock {
    public:
        explicit CSockLock(CDvrStream &stream);
        ~CSockLock();
        CSockLock(const CSockLock &) = delete;
        CSockLock &operator=(const CSockLock &) = delete;

    private:
        CDvrStream &m_Stream;
    };
    void Accept(int32_t channel, DvrDataCallback callback, uint32_t user);
    // The framer's reply handler: acts on one control reply; false when the
    // stream moved to another socket.
    static bool OnReply(void *context, const net::ControlReply &reply);
    bool HandleReply(const net::ControlReply &reply);
    // The receive thread found the connection gone: the frames taken from it
    // so far are handed over, then the loss (type 255) by the delivery thread.
    void ConnectionLost();
    // Delivery thread: type 255 to the host, if it has a callback.
    void DeliverLoss();
    // The queue's keep-waiting check of a download: the stream runs, nobody
    // waits for the socket lock, and the connection has not failed.
    static bool KeepWaitingForRoom(void *context);

    const CHandle m_Handle{StreamHandles()};
    const uint32_t m_dwDvrIp;
    const uint16_t m_wDvrPort;
    const net::SessionId m_SessionId;
    std::atomic<int32_t> m_nTransport{0};
    std::atomic<bool> m_bRun{true};
    platform::CEvent m_hReplyEvent;
    platform::CEvent m_hRecvWake;
    platform::CThread m_hRecvThread;
    platform::CThread m_hDeliverThread;
    const int32_t m_nKind;
    std::atomic<int32_t> m_nChannel{0};
    std::atomic<bool> m_bOpened{false};
    net::CAtomicId m_StreamId;  // as received
    // A TCP receive takes at most kStreamReceiveSize bytes; a datagram is
    // taken whole, up to the largest UDP payload.
    static constexpr size_t kStreamReceiveSize = 4096;
    uint8_t m_RecvBuf[platform::kMaxDatagram];
    uint8_t m_DeliverBuf[kDeliverBufSize];
    net::CSocketSlot m_Sock;
    CFrameQueue m_Queue;
    CFrameAssembler m_Assembler;
    CMediaFramer m_Framer;
    // Receive thread, under m_SockMutex: the socket is a datagram socket
    // (a live stream over UDP, or any stream moved to a multicast group).
    bool m_bDatagramSocket = true;
    std::atomic<bool> m_bTalkAccepted{false};
    std::atomic<uint32_t> m_dwUserData{0};
    std::atomic<DvrDataCallback> m_pfnDataCallback{nullptr};
    platform::CMutex m_SockMutex;
    std::atomic<int> m_nSockWaiters{0};  // threads about to take m_SockMutex
    bool m_bMoveFailed = false;          // receive thread: the multicast move found no port
    // Frames go to the host only once the opening of the current connection
    // is acknowledged and its callback stored; until then they wait.
    std::atomic<bool> m_bDelivering{false};
    platform::CEvent m_hDeliverWake;  // the delivery thread waits on it while closed
    // The connection is gone; the delivery thread reports it after the
    // frames that came before it.
    std::atomic<bool> m_bLossPending{false};
    // The host was given type 255 for the last connection it was given.
    std::atomic<bool> m_bLossDelivered{false};
    // Type 255 once more as the delivery thread ends (TellLossOnDestroy).
    std::atomic<bool> m_bLossOnEnd{false};
};

}  // namespace kn
