#include "stream/dvr_stream.h"

#include <cstring>
#include <utility>

#include "core/globals.h"
#include "net/command_codes.h"
#include "net/messages.h"
#include "net/socket_ops.h"

namespace kn {

namespace {

// Both threads are woken explicitly whenever they must act (a stop, a new
// socket, a frame), so their waits only bound how long an idle stream
// sleeps: long waits keep a hundred idle streams nearly free.
constexpr uint32_t kReceiveWaitMs = 5000;
constexpr uint32_t kDeliverWaitMs = 5000;
// While bytes keep coming, the delivery thread is woken once per this many
// frames instead of once per frame; whenever the socket runs dry (or goes),
// the receive thread hands over whatever waits at once.
constexpr int32_t kDeliverWakeBatch = 8;
constexpr int kRebindAttempts = 20;

constexpr uint32_t kConnectionLost = 255;

}  // namespace

std::shared_ptr<CDvrStream> CDvrStream::Create(const net::SessionId &sessionId, int32_t kind, uint32_t addressNetOrder,
                                               uint16_t port)
{
    std::shared_ptr<CDvrStream> stream(new CDvrStream(sessionId, kind, addressNetOrder, port));
    stream->StartThreads();
    return stream;
}

CDvrStream::CDvrStream(const net::SessionId &sessionId, int32_t kind, uint32_t addressNetOrder, uint16_t port)
    : m_dwDvrIp(addressNetOrder),
      m_wDvrPort(port),
      m_SessionId(sessionId),
      m_nKind(kind),
      m_Assembler(m_Queue),
      m_Framer(m_Assembler, &CDvrStream::OnReply, this)
{
    m_Queue.SetWakeBatch(kDeliverWakeBatch);
}

CDvrStream::~CDvrStream() = default;

void CDvrStream::StartThreads()
{
    std::shared_ptr<CDvrStream> self = shared_from_this();
    m_hRecvThread.Start([self] {
        platform::NameCurrentThread("kn-stream-recv");
        self->ReceiveLoop();
    });
    m_hDeliverThread.Start([self] {
        platform::NameCurrentThread("kn-stream-dlvr");
        self->DeliverLoop();
    });
}

void CDvrStream::Destroy()
{
    if constexpr (!release::kStopsStreamThreadsBeforeClose) {
        CloseSocket();
    }
    m_bRun = false;
    m_hRecvWake.Set();
    m_hDeliverWake.Set();
    m_Queue.WakeProducer();
    m_Queue.Wake();
    m_hRecvThread.Stop(platform::kThreadStopGraceMs);
    m_hDeliverThread.Stop(platform::kThreadStopGraceMs);
    if constexpr (release::kStopsStreamThreadsBeforeClose) {
        CloseSocket();
    }
}

net::StreamId CDvrStream::StreamId() const { return m_StreamId.load(); }

// ---------------------------------------------------------------- connection

bool CDvrStream::ConnectTcp() { return Connect(true); }

bool CDvrStream::ConnectUdp() { return Connect(false); }

bool CDvrStream::Connect(bool tcp)
{
    const platform::SocketHandle s =
        net::OpenConnectedSocket(tcp ? net::Transport::Tcp : net::Transport::Udp, m_dwDvrIp, m_wDvrPort);
    if (s == platform::kNoSocket) {
        return false;
    }
    CSockLock lock(*this);
    m_Sock.Install(s);
    // Everything of an earlier connection is over: an unfinished reply or
    // frame of it is given up, its loss is not this one's, and frames of
    // this connection wait for its opening to be acknowledged.
    m_Framer.NewConnection();
    m_bDatagramSocket = !tcp;
    m_bLossPending = false;
    m_bDelivering = false;
    m_nTransport = tcp ? 1 : 0;
    m_hRecvWake.Set();  // an idle receive thread starts reading at once
    return true;
}

void CDvrStream::CloseSocket()
{
    CSockLock lock(*this);
    m_Sock.Close();
}

// The receive thread holds the socket lock for a whole pass, whose readiness
// wait lasts up to kReceiveWaitMs; another thread that needs the lock says so
// and wakes the pass, and the receive thread stays away from the lock until
// it has been taken.
CDvrStream::CSockLock::CSockLock(CDvrStream &stream) : m_Stream(stream)
{
    ++m_Stream.m_nSockWaiters;
    m_Stream.m_hRecvWake.Set();
    m_Stream.m_Queue.WakeProducer();  // a download waiting for room gives up
    m_Stream.m_SockMutex.lock();
    --m_Stream.m_nSockWaiters;
}

CDvrStream::CSockLock::~CSockLock() { m_Stream.m_SockMutex.unlock(); }

void CDvrStream::SendRequest(const net::CRequest &request)
{
    if (!request.empty()) {
        SendBytes(request.data(), request.size());
    }
}

bool CDvrStream::SendRaw(const void *data, size_t len)
{
    const net::CSocketSlot::Lease lease = m_Sock.Acquire();
    if (!lease) {
        return false;
    }
    if (data != nullptr && len != 0) {
        SendBytes(data, len, lease);
    }
    return true;
}

void CDvrStream::SendBytes(const void *data, size_t len) { SendBytes(data, len, m_Sock.Acquire()); }

void CDvrStream::SendBytes(const void *data, size_t len, const net::CSocketSlot::Lease &lease)
{
    // Bounded by the reply time-out. A recorder that takes nothing for that
    // long has stopped reading this connection: the receive thread closes it
    // and reports the stream lost, as for a failed receive.
    if (lease.Send(data, len, g_dwReplyTimeout.load()) == net::SendResult::TimedOut) {
        m_hRecvWake.Set();
    }
}

// ---------------------------------------------------------------- openings

bool CDvrStream::Request(const net::CRequest &request)
{
    m_hReplyEvent.Reset();
    SendRequest(request);
    if (!m_hReplyEvent.Wait(g_dwReplyTimeout.load())) {
        CloseSocket();
        return false;
    }
    return true;
}

void CDvrStream::Accept(int32_t channel, DvrDataCallback callback, uint32_t user)
{
    // The delivery thread reads the callback, then the user value: store the
    // user value first.
    m_dwUserData = user;
    m_pfnDataCallback = callback;
    m_nChannel = channel;
    m_bOpened = true;
    m_bLossDelivered = false;
    // Frames that came with the acknowledgement, or before the callback was
    // stored, have waited in the queue: they go to the host now, in order.
    m_bDelivering = true;
    m_hDeliverWake.Set();
}

bool CDvrStream::KeepWaitingForRoom(void *context)
{
    // Runs on the receive thread inside a pass, socket lock held.
    CDvrStream &self = *static_cast<CDvrStream *>(context);
    // A connection that failed (a reset) still holds, readable, what the
    // recorder sent before it failed: the host gets all of it, so the wait
    // goes on while the host takes frames.
    return self.m_bRun.load() && self.m_nSockWaiters.load() == 0 && !self.m_Sock.Broken();
}

void CDvrStream::ConnectionLost()
{
    // Frames completed before the loss are in the queue; the flag follows
    // them, so the delivery thread sees it only with all of them waiting.
    m_Queue.Flush();
    m_bLossPending = true;
    m_Queue.Wake();
}

void CDvrStream::DeliverLoss()
{
    if (!m_bLossPending.exchange(false)) {
        return;
    }
    if (DvrDataCallback callback = m_pfnDataCallback.load()) {
        m_bLossDelivered = true;
        callback(Handle(), kConnectionLost, nullptr, 0, m_dwUserData.load());
    }
}

void CDvrStream::TellLossOnDestroy()
{
    if (m_bOpened.load() && !m_bLossDelivered.load()) {
        m_bLossOnEnd = true;
    }
}

bool CDvrStream::OpenRealPlay(int32_t channel, int32_t transport, DvrDataCallback callback, uint32_t user)
{
    if ((transport == 0 && !ConnectUdp()) || (transport == 1 && !ConnectTcp())) {
        return false;
    }
    if (!Request(net::OpenLiveRequest(m_SessionId, channel))) {
        return false;
    }
    Accept(channel, callback, user);
    return true;
}

bool CDvrStream::OpenPlayBack(int32_t channel, const DvrTime &start, DvrDataCallback callback, uint32_t user)
{
    if (!ConnectTcp()) {
        return false;
    }
    if (!Request(net::OpenPlayBackRequest(m_SessionId, channel, start))) {
        return false;
    }
    Accept(-1, callback, user);
    return true;
}

bool CDvrStream::OpenDownLoad(int32_t channel, const DvrTime &start, const DvrTime &end, DvrDataCallback callback,
                              uint32_t user)
{
    // A download must arrive whole: when the host falls behind, the receive
    // thread waits for room in the queue (and TCP slows the recorder down)
    // instead of giving up waiting frames. Set before the connection exists,
    // so the receive thread sees it with the socket.
    m_Queue.SetWaitForRoom(true, &CDvrStream::KeepWaitingForRoom, this);
    if (!ConnectTcp()) {
        return false;
    }
    if (!Request(net::OpenDownLoadRequest(m_SessionId, channel, start, end))) {
        return false;
    }
    Accept(-1, callback, user);
    return true;
}

bool CDvrStream::OpenTalk()
{
    if (!ConnectTcp()) {
        return false;
    }
    // What a reply other than "%" or "&" that ends the wait means for talk.
    m_bTalkAccepted = net::TalkAccepted(net::ControlReply::kNoCode, net::kReadRules);
    if (!Request(net::OpenTalkRequest(m_SessionId))) {
        return false;
    }
    if (!m_bTalkAccepted) {
        CloseSocket();
        return false;
    }
    m_nChannel = -1;
    return true;
}

bool CDvrStream::SendStopTalk()
{
    if (!ConnectTcp()) {
        return false;
    }
    m_hReplyEvent.Reset();
    SendRequest(net::StopTalkRequest(m_SessionId));
    m_nChannel = -1;
    return true;
}

// ---------------------------------------------------------------- receive side

void CDvrStream::HandleChunk(uint8_t *bytes, size_t count) { m_Framer.OnReceive(bytes, count, m_bDatagramSocket); }

bool CDvrStream::OnReply(void *context, const net::ControlReply &reply)
{
    return static_cast<CDvrStream *>(context)->HandleReply(reply);
}

bool CDvrStream::HandleReply(const net::ControlReply &reply)
{
    switch (reply.code) {
    case net::kReplyLive: {
        m_hReplyEvent.Set();
        if (!reply.announcesGroup) {
            break;
        }
        // A connected datagram socket receives no group traffic (it only
        // accepts datagrams from its peer, addressed to its own address), so
        // the stream always moves to an unconnected datagram socket bound to
        // the announced port, also when that is the port it already has.
        // The old socket is released only when a send still holding it has
        // finished (the opener's request may be just returning), and until
        // then its port is taken: try again briefly, bounded.
        bool moved = false;
        for (int attempt = 0; attempt < kRebindAttempts && !moved; ++attempt) {
            moved = net::RebindMulticastSocket(m_Sock, reply.portNetOrder);
            if (!moved) {
                platform::SleepMs(1);
            }
        }
        if (moved) {
            net::JoinMulticastGroup(m_Sock.Peek(), reply.groupNetOrder);
            // The group carries the recorder's datagrams, whatever transport
            // the stream asked for: read them as datagrams.
            m_bDatagramSocket = true;
        } else {
            // No socket on the group's port: nothing will ever arrive. The
            // stream is lost, and the receive loop says so (type 255).
            m_Sock.Close();
            m_bMoveFailed = true;
        }
        return false;
    }
    case net::kReplyPlayBack:
        m_StreamId = reply.streamId;
        m_hReplyEvent.Set();
        break;
    case net::kReplyDownLoad: m_hReplyEvent.Set(); break;
    case net::kReplyTalkAccepted:
    case net::kReplyTalkRefused:
        m_bTalkAccepted = net::TalkAccepted(reply.code, net::kReadRules);
        m_hReplyEvent.Set();
        break;
    default: break;
    }
    return true;
}

long CDvrStream::ReceiveNoWait(platform::SocketHandle s, bool &wouldBlock, bool &truncated)
{
    truncated = false;
    if (m_bDatagramSocket) {
        return platform::ReceiveDatagramNoWait(s, m_RecvBuf, sizeof(m_RecvBuf), wouldBlock, truncated);
    }
    return platform::ReceiveNoWait(s, m_RecvBuf, kStreamReceiveSize, wouldBlock);
}

void CDvrStream::ReceiveLoop()
{
    while (m_bRun) {
        if (m_Sock.Broken()) {
            // A send timed out: the recorder stopped reading this connection.
            platform::CLockGuard lock(m_SockMutex);
            if (m_Sock.Broken()) {
                m_Sock.Close();
                ConnectionLost();
            }
            continue;
        }
        if (!m_Sock.Has()) {
            m_Queue.Flush();
            m_hRecvWake.Wait(kReceiveWaitMs);
            continue;
        }
        if (m_nSockWaiters.load() > 0) {
            m_Queue.Flush();
            platform::SleepMs(1);  // let the waiting thread have the lock first
            continue;
        }
        {
            platform::CLockGuard lock(m_SockMutex);
            const platform::SocketHandle s = m_Sock.Peek();
            if (s == platform::kNoSocket) {
                continue;
            }
            // Try the receive first: under load data is nearly always waiting
            // and the readiness wait would return at once anyway.
            bool wouldBlock = false;
            bool truncated = false;
            long got = ReceiveNoWait(s, wouldBlock, truncated);
            if (wouldBlock) {
                m_Queue.Flush();  // the input ran dry: hand over what was collected
                const platform::Readiness ready = platform::WaitReadable(s, &m_hRecvWake, kReceiveWaitMs);
                if (ready == platform::Readiness::Woken) {
                    m_hRecvWake.TryTake();
                    continue;
                }
                if (ready != platform::Readiness::Readable) {
                    continue;
                }
                got = ReceiveNoWait(s, wouldBlock, truncated);
                if (wouldBlock) {
                    continue;
                }
            }
            if (truncated) {
                // Longer than any UDP payload: as good as lost.
                m_Assembler.DatagramLost();
            } else if (got > 0) {
                HandleChunk(m_RecvBuf, static_cast<size_t>(got));
                if (std::exchange(m_bMoveFailed, false)) {
                    ConnectionLost();
                } else if (m_bDatagramSocket || static_cast<size_t>(got) < kStreamReceiveSize) {
                    // A short receive has (almost surely) emptied the socket:
                    // hand over now rather than after one more receive.
                    m_Queue.Flush();
                }
            } else {
                // The peer closed, an empty datagram arrived, or the receive
                // failed; everything received before has been read.
                m_Sock.Close();
                ConnectionLost();
            }
        }
    }
}

void CDvrStream::DeliverLoop()
{
    uint8_t type = 0;
    while (m_bRun) {
        if (!m_bDelivering.load()) {
            // The opening is not acknowledged yet: its frames wait.
            m_hDeliverWake.Wait(kDeliverWaitMs);
            continue;
        }
        // A loss seen before the queue is found empty comes after every
        // frame of its connection: those were queued before it was flagged.
        const bool lossBefore = m_bLossPending.load();
        if (!m_Queue.WaitForFrame(lossBefore ? 0 : kDeliverWaitMs)) {
            if (lossBefore) {
                DeliverLoss();
            }
            continue;
        }
        const int32_t n = m_Queue.TakeFrame(m_DeliverBuf, &type, sizeof(m_DeliverBuf));
        if (n <= 0) {
            continue;
        }
        if (DvrDataCallback callback = m_pfnDataCallback.load()) {
            callback(Handle(), type, m_DeliverBuf, n, m_dwUserData.load());
        }
    }
    if (m_bLossOnEnd.exchange(false)) {
        m_bLossPending = true;
        DeliverLoss();
    }
}

}  // namespace kn
