#include "session/dvr_session.h"

#include <algorithm>
#include <cstring>

#include "core/globals.h"
#include "core/release.h"
#include "net/command_codes.h"
#include "net/messages.h"
#include "net/requests.h"
#include "net/reply_codes.h"
#include "net/socket_ops.h"
#include "platform/thread_message.h"

namespace kn {

namespace {

constexpr uint32_t kReceiveWaitMs = 200;
constexpr uint32_t kKeepAliveIntervalMs = 1000;
// An unconnected receive thread sleeps until a login wakes it.
constexpr uint32_t kIdleWaitMs = 1000;
constexpr int kSilentPassesBeforeNotice = 5;
// Release 1.0.0.1: the readiness wait of each pass, and the idle wait of a
// receive thread whose connection is gone (any wake ends it: a login that
// installs a socket, or the session's destruction).
constexpr uint32_t kReceiveWait1001Ms = 500;
constexpr uint32_t kIdleWait1001Ms = 60000;

constexpr uint32_t kMessageType = 101;

}  // namespace

std::shared_ptr<CDvrSession> CDvrSession::Create() { return std::shared_ptr<CDvrSession>(new CDvrSession()); }

CDvrSession::CDvrSession() = default;

CDvrSession::~CDvrSession() = default;

bool CDvrSession::Send(const net::CRequest &request)
{
    return !request.empty() && SendBytes(request.data(), request.size());
}

bool CDvrSession::SendCommand(uint8_t code, const void *payload, size_t len)
{
    return Send(net::CommandRequest(CurrentSessionId(), code, payload, len));
}

bool CDvrSession::SendBytes(const uint8_t *bytes, size_t len)
{
    // Every send on the command channel is bounded by the reply time-out. A
    // recorder that does not take a packet within that time has stopped
    // reading: the receive thread is woken to close the channel and report
    // the loss, as for a failed receive.
    switch (m_Sock.Send(bytes, len, g_dwReplyTimeout.load())) {
    case net::SendResult::Sent: return true;
    case net::SendResult::TimedOut: m_hRecvWake.Set(); return false;
    default: return false;
    }
}

bool CDvrSession::CloseIfSendBroken()
{
    if (!m_Sock.Broken()) {
        return false;
    }
    platform::CLockGuard lock(m_SockMutex);
    if (!m_Sock.Broken()) {
        return false;  // replaced by a new login meanwhile
    }
    m_bConnected = false;
    m_Sock.Close();
    m_Joiner.Clear();
    return true;
}

// ---------------------------------------------------------------- login

int32_t CDvrSession::Login(uint32_t addressNetOrder, uint16_t port, const char *user, const char *password)
{
    const size_t userLen = user ? std::strlen(user) : 0;
    const size_t passwordLen = password ? std::strlen(password) : 0;
    // Names that do not fit one login request refuse the login: never cut.
    if (!net::LoginFits(userLen, passwordLen)) {
        return 0;
    }

    CloseCommandSocket();
    {
        platform::CLockGuard lock(m_SockMutex);
        const platform::SocketHandle s = net::OpenConnectedSocket(net::Transport::Tcp, addressNetOrder, port);
        if (s == platform::kNoSocket) {
            return 0;
        }
        m_Sock.Install(s);
        ++m_nConnection;  // the receive thread starts this one with a clean state
        m_bConnected = true;
    }
    m_Streams.Reopen();  // a session logged out before takes streams again
    m_hRecvWake.Set();   // an idle receive thread starts reading at once
    StartThreads();

    {
        platform::CLockGuard lock(m_NoticeMutex);
        m_bLossUnreported = false;
    }
    m_hDisconnectEvent.Reset();
    ArmReply(net::kCodeLoginReply);
    Send(net::LoginRequest(CurrentSessionId(), user, userLen, password, passwordLen));
    if (!AwaitReply(release::kPostsDisconnectNotice)) {
        CloseCommandSocket();
        return 0;
    }

    const int32_t result = LoginResult();
    {
        // A recorder may close right after its reply, before the address is
        // stored; the loss noticed meanwhile is reported now, exactly once.
        platform::CLockGuard lock(m_NoticeMutex);
        m_dwDvrIp = addressNetOrder;
        m_wDvrPort = port;
        if (m_bLossUnreported && result != 0) {
            PostDisconnectNotice();
        }
        m_bLossUnreported = false;
    }
    return result;
}

int32_t CDvrSession::LoginResult()
{
    // Every rule reads at most the first ten payload bytes.
    uint8_t payload[10] = {};
    const size_t n = ReplyPayload(payload, sizeof(payload));
    return net::LoginResult(payload, n < sizeof(payload) ? n : sizeof(payload), net::kReadRules);
}

void CDvrSession::LogoutClose()
{
    m_Streams.CloseAll();
    Send(net::LogoutRequest(CurrentSessionId()));
    CloseCommandSocket();
    m_dwDvrIp = 0;
    m_wDvrPort = 0;
    m_SessionId = net::SessionId{};
}

void CDvrSession::Destroy()
{
    m_Streams.CloseAll();

    m_bRun = false;
    m_hKeepAliveWake.Set();
    m_hRecvWake.Set();
    m_hKeepAliveThread.Stop(platform::kThreadStopGraceMs);
    m_hRecvThread.Stop(platform::kThreadStopGraceMs);

    CloseCommandSocket();
    m_Search.Clear();
}

void CDvrSession::CloseCommandSocket()
{
    m_bConnected = false;
    // A receive pass holds the socket lock while it waits; wake it so the
    // close does not wait out the pass.
    m_hRecvWake.Set();
    platform::CLockGuard lock(m_SockMutex);
    m_Sock.Close();
}

void CDvrSession::StartThreads()
{
    std::shared_ptr<CDvrSession> self = shared_from_this();
    if (!m_hRecvThread.Started()) {
        m_hRecvThread.Start([self] {
            platform::NameCurrentThread("kn-session-recv");
            self->ReceiveLoop();
        });
    }
    if (!m_hKeepAliveThread.Started()) {
        m_hKeepAliveThread.Start([self] {
            platform::NameCurrentThread("kn-keepalive");
            self->KeepAliveLoop();
        });
    }
}

// ---------------------------------------------------------------- request slot

void CDvrSession::ArmReply(int32_t code)
{
    platform::CLockGuard lock(m_SlotMutex);
    m_nWaitCode = code;
    m_bSlotFilled = false;
    m_bSlotFailed = false;
    m_nReplyPayloadLen = 0;
    m_hReplyEvent.Reset();
}

bool CDvrSession::AwaitReply(bool alsoDisconnect)
{
    const uint32_t timeout = g_dwReplyTimeout.load();
    const bool replied = alsoDisconnect ? platform::WaitEither(m_hReplyEvent, m_hDisconnectEvent, timeout) == 0
                                        : m_hReplyEvent.Wait(timeout);
    if (!replied) {
        return false;
    }
    platform::CLockGuard lock(m_SlotMutex);
    return !m_bSlotFailed;
}

size_t CDvrSession::ReplyPayload(uint8_t *out, size_t cap)
{
    platform::CLockGuard lock(m_SlotMutex);
    const size_t n = m_nReplyPayloadLen;
    if (out != nullptr && cap != 0 && n != 0) {
        std::memcpy(out, m_SlotBuf, n < cap ? n : cap);
    }
    return n;
}

// ---------------------------------------------------------------- threads

void CDvrSession::ReceiveLoop()
{
    if constexpr (release::kQuietReceiveLoop) {
        ReceiveLoop1001();
        return;
    }
    int silentPasses = 0;
    uint32_t connection = m_nConnection.load();
    while (m_bRun) {
        if (CloseIfSendBroken()) {
            ReportDisconnect(true);
            continue;
        }
        if (!m_bConnected || !m_Sock.Has()) {
            // Silence is counted per connection: a new login must not inherit
            // the count of the connection before it, nor its unfinished packet.
            silentPasses = 0;
            m_Joiner.Clear();
            m_hRecvWake.Wait(kIdleWaitMs);
            continue;
        }

        size_t received = 0;
        bool lost = false;
        bool silent = false;
        {
            platform::CLockGuard lock(m_SockMutex);
            const platform::SocketHandle s = m_Sock.Peek();
            if (s == platform::kNoSocket || !m_bConnected) {
                continue;
            }
            if (const uint32_t now = m_nConnection.load(); now != connection) {
                // A new connection: nothing of the one before carries over.
                connection = now;
                m_Joiner.Clear();
                silentPasses = 0;
            }
            switch (platform::WaitReadable(s, &m_hRecvWake, kReceiveWaitMs)) {
            case platform::Readiness::Woken: m_hRecvWake.TryTake(); continue;
            case platform::Readiness::TimedOut:
            case platform::Readiness::Failed: silent = true; break;
            case platform::Readiness::Readable: {
                received = ReceiveLocked(s);
                if (received != 0) {
                    silentPasses = 0;
                } else {
                    lost = true;
                }
                break;
            }
            }
        }

        // Host callbacks and notices run without the socket lock, so a host
        // may log out from inside its callback. m_Joiner belongs to this
        // thread alone, so dispatching needs no lock either.
        if (received != 0) {
            DispatchReceived();
        }
        if (lost) {
            ReportDisconnect(true);
        } else if (silent && ++silentPasses > kSilentPassesBeforeNotice) {
            ReportDisconnect(false);
        }
    }
}

size_t CDvrSession::ReceiveLocked(platform::SocketHandle s)
{
    const long got = platform::Receive(s, m_RecvBuf, sizeof(m_RecvBuf));
    if (got <= 0) {
        m_bConnected = false;
        m_Sock.Close();
        m_Joiner.Clear();
        return 0;
    }
    const size_t received = static_cast<size_t>(got);
    m_Joiner.Append(m_RecvBuf, received);
    return received;
}

void CDvrSession::DispatchReceived()
{
    net::Packet packet;
    while (m_bRun && m_Joiner.Next(packet)) {
        net::RecorderMessage message;
        if (Dispatch(packet, message)) {
            if (DvrMessageCallback callback = g_pfnMessageCallback.load()) {
                callback(kMessageType, Handle(), message.bytes, net::kMessageLength);
            }
        }
    }
    if (!m_bRun) {
        m_Joiner.Clear();
    }
}

// Release 1.0.0.1 waits for data without the socket lock and takes it only
// around the receive and the dispatch. The lease keeps the descriptor from
// being reused while the wait runs, so a close meanwhile is seen as a changed
// socket. Silence is never counted and a loss is never reported: the socket
// is closed and the thread idles on its wake event, receiving nothing more
// until a login installs a new socket.
void CDvrSession::ReceiveLoop1001()
{
    uint32_t connection = m_nConnection.load();
    while (m_bRun) {
        if (CloseIfSendBroken()) {
            continue;  // lost like a failed receive: closed, not reported
        }
        const net::CSocketSlot::Lease lease = m_Sock.Acquire();
        if (!lease) {
            m_hRecvWake.Wait(kIdleWait1001Ms);
            continue;
        }
        const platform::SocketHandle s = lease.get();
        const platform::Readiness ready = platform::WaitReadable(s, &m_hRecvWake, kReceiveWait1001Ms);
        if (ready == platform::Readiness::Woken) {
            m_hRecvWake.TryTake();
            continue;
        }
        if (ready == platform::Readiness::Failed) {
            m_hRecvWake.Wait(kReceiveWait1001Ms);  // a failing wait must not spin
            continue;
        }
        if (ready != platform::Readiness::Readable) {
            continue;
        }

        size_t received = 0;
        {
            platform::CLockGuard lock(m_SockMutex);
            if (m_Sock.Peek() != s) {
                continue;  // closed or replaced while we waited
            }
            if (const uint32_t now = m_nConnection.load(); now != connection) {
                connection = now;  // a new connection: nothing carries over
                m_Joiner.Clear();
            }
            received = ReceiveLocked(s);
        }
        if (received != 0) {
            DispatchReceived();
        }
    }
}

bool CDvrSession::Dispatch(const net::Packet &packet, net::RecorderMessage &message)
{
    net::CommandReply reply;
    if (!net::ReadCommandReply(packet.bytes, packet.length, reply)) {
        return false;  // the joiner hands out whole headers only
    }
    if (!packet.Whole()) {
        // Only its header was held: an awaited reply of that code fails its
        // request; anything else of that length is dropped.
        platform::CLockGuard lock(m_SlotMutex);
        if (reply.code == m_nWaitCode.load() && !m_bSlotFilled) {
            m_bSlotFilled = true;
            m_bSlotFailed = true;
            m_hReplyEvent.Set();
        }
        return false;
    }
    if (reply.code == net::kCodeMessage) {
        return net::ReadRecorderMessage(reply, net::kReadRules, message);
    }
    if (reply.code == net::kCodeLoginReply) {
        m_SessionId = reply.sessionId;
    }
    platform::CLockGuard lock(m_SlotMutex);
    if (reply.code == m_nWaitCode.load() && !m_bSlotFilled) {
        const size_t n = reply.payloadLength < sizeof(m_SlotBuf) ? reply.payloadLength : sizeof(m_SlotBuf);
        if (n != 0) {
            std::memcpy(m_SlotBuf, reply.payload, n);
        }
        m_nReplyPayloadLen = n;
        m_bSlotFilled = true;
        m_hReplyEvent.Set();
    }
    return false;
}

void CDvrSession::ReportDisconnect(bool connectionLost)
{
    {
        platform::CLockGuard lock(m_NoticeMutex);
        if (m_dwDvrIp.load() != 0) {
            PostDisconnectNotice();
        } else if (connectionLost) {
            m_bLossUnreported = true;
        }
    }
    m_hDisconnectEvent.Set();
}

void CDvrSession::PostDisconnectNotice()
{
    const uint32_t thread = g_dwNotifyThreadId.load();
    const uint32_t address = m_dwDvrIp.load();
    if (thread != 0 && g_uNotifyMessage.load() == kNotifyMessage && address != 0) {
        platform::PostThreadMessage(thread, kNotifyMessage, Handle(), address);
    }
}

void CDvrSession::KeepAliveLoop()
{
    // The bitmap of the last pass stays while the session has no stream.
    uint16_t bitmap = 0;
    while (m_bRun) {
        uint32_t channels = 0;
        if (m_Streams.LiveChannels(channels)) {
            bitmap = static_cast<uint16_t>(channels);
        }
        Send(net::KeepAliveRequest(CurrentSessionId(), bitmap));
        m_hKeepAliveWake.Wait(kKeepAliveIntervalMs);
    }
}

// ---------------------------------------------------------------- parameters and search

int32_t CDvrSession::Exchange(int32_t cmd, const void *in, int32_t inLen, void *out, uint32_t outSize)
{
    const uint8_t replyCode = net::ReplyCodeFor(cmd);
    if (replyCode == 0 || inLen < 0 || static_cast<size_t>(inLen) > net::kCommandMaxPayload ||
        (in == nullptr && inLen > 0)) {
        return 0;
    }
    // The event is cleared before sending, so a reply that arrived late for
    // an earlier request is never taken as the answer to this one.
    ArmReply(replyCode);
    SendCommand(static_cast<uint8_t>(cmd), in, static_cast<size_t>(inLen));
    if (!AwaitReply(false)) {
        return 0;
    }
    if (out == nullptr) {
        return 1;
    }
    if (!net::ParameterReplyFits(ReplyPayload(nullptr, 0), outSize, net::kReadRules)) {
        return 0;
    }
    ReplyPayload(static_cast<uint8_t *>(out), outSize);
    return 1;
}

int32_t CDvrSession::GetDvrParam(int32_t cmd, const void *in, int32_t inLen, void *out, uint32_t outSize)
{
    if (out == nullptr && outSize != 0) {
        return 0;
    }
    uint8_t ignored = 0;
    return Exchange(cmd, in, inLen, out ? out : &ignored, out ? outSize : 0);
}

int32_t CDvrSession::SetDvrParam(int32_t cmd, const void *in, int32_t inLen)
{
    return Exchange(cmd, in, inLen, nullptr, 0);
}

int32_t CDvrSession::FindFile(int32_t channel, int32_t selector, const DvrTime &start, const DvrTime &end)
{
    return CRecordingSearch::WalkDays(start, end, [&](const DvrTime &dayStart, const DvrTime &dayEnd) {
        return QueryDay(channel, selector, dayStart, dayEnd);
    });
}

int32_t CDvrSession::QueryDay(int32_t channel, int32_t selector, const DvrTime &start, const DvrTime &end)
{
    ArmReply(net::kCodeSearchReply);
    Send(net::SearchRequest(CurrentSessionId(), start, channel, selector));
    if (!AwaitReply(false)) {
        return 0;
    }
    // A page holds at most 255 records, whatever length the reply declares:
    // the bytes beyond them are never read.
    uint8_t reply[net::kSearchPageHead + net::kMaxSearchRecords * net::kSearchRecordSize];
    const size_t n = std::min(ReplyPayload(reply, sizeof(reply)), sizeof(reply));
    net::SearchPage page;
    if (!net::ReadSearchPage(reply, n, page) || page.declaredCount == 0) {
        return 1;
    }
    // A full page table ends the search rather than overflowing it.
    return m_Search.StorePage(start, end, page) ? 1 : 0;
}

int32_t CDvrSession::NextFile(DvrFileRecord &record) { return m_Search.NextFile(record); }

void CDvrSession::ClearFiles() { m_Search.Clear(); }

}  // namespace kn
