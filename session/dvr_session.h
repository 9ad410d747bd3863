// One logged-in connection to one recorder: the TCP command channel, the
// recorder-assigned session id, a receive thread that reads replies and
// recorder messages, a keep-alive thread, the single request/reply slot, the
// media streams opened through it and the results of the last search.
//
// Sessions are always held by shared_ptr. Each worker thread holds a
// reference of its own for as long as it runs, so a thread that outlives the
// stop grace never touches freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/handle_pool.h"
#include "core/host_types.h"
#include "net/atomic_id.h"
#include "net/command_channel.h"
#include "net/command_packet.h"
#include "net/messages.h"
#include "net/packet_framing.h"
#include "net/socket_slot.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "session/recording_search.h"
#include "stream/session_streams.h"

namespace kn {

class CDvrSession final : public std::enable_shared_from_this<CDvrSession>, public net::CCommandChannel {
public:
    static std::shared_ptr<CDvrSession> Create();
    ~CDvrSession();
    CDvrSession(const CDvrSession &) = delete;
    CDvrSession &operator=(const CDvrSession &) = delete;

    // Login exchange. Returns the recorder's login result byte sign-extended,
    // 0 on refusal or any failure. Null names read as empty; names that do not
    // fit one command packet refuse the login before anything is sent.
    int32_t Login(uint32_t addressNetOrder, uint16_t port, const char *user, const char *password);
    // Stops every stream, sends the logout command, closes the command channel
    // and forgets the recorder's address, port and session id. Threads stay.
    void LogoutClose();
    // Final teardown before the last reference goes: streams, threads (never
    // waiting for the calling thread itself), socket, search results.
    void Destroy();

    // The command channel, also lent to the session's streams.
    uint32_t Address() const override { return m_dwDvrIp.load(); }
    uint16_t Port() const override { return m_wDvrPort.load(); }
    net::SessionId CurrentSessionId() const override { return m_SessionId.load(); }
    // Sends a request on the command channel; false when nothing was sent,
    // or not all of it within the reply time-out (the channel is then lost).
    bool Send(const net::CRequest &request) override;
    // Any command with its payload unchanged, with the current session id.
    bool SendCommand(uint8_t code, const void *payload, size_t len);

    // Device parameter pass-through.
    int32_t GetDvrParam(int32_t cmd, const void *in, int32_t inLen, void *out, uint32_t outSize);
    int32_t SetDvrParam(int32_t cmd, const void *in, int32_t inLen);

    // Recording search.
    int32_t FindFile(int32_t channel, int32_t selector, const DvrTime &start, const DvrTime &end);
    int32_t NextFile(DvrFileRecord &record);
    void ClearFiles();

    // The value the host knows this session by (core/handle_pool.h).
    void *Handle() const { return m_Handle.Value(); }

    // The media streams opened through this session.
    CSessionStreams &Streams() { return m_Streams; }
    const CSessionStreams &Streams() const { return m_Streams; }

private:
    CDvrSession();

    // The longest reply payload handed to a requester: a packet of up to
    // net::kMaxPacket bytes, joined across receives, less its header.
    static constexpr size_t kReplyPayloadSize = net::kMaxPacket - net::kHeaderSize;

    // The request/reply slot. The receive thread copies an awaited reply into
    // a buffer of its own before raising the event, so the requester reads
    // exactly that reply however many messages arrive after it. An awaited
    // reply too long for the slot fails the request: AwaitReply is false, as
    // for no reply at all; a reply is never handed over cut short.
    void ArmReply(int32_t code);
    bool AwaitReply(bool alsoDisconnect);
    // Copies up to cap bytes of the awaited reply's payload; returns the
    // payload length (0 for a reply without payload).
    size_t ReplyPayload(uint8_t *out, size_t cap);
    int32_t LoginResult();
    int32_t Exchange(int32_t cmd, const void *in, int32_t inLen, void *out, uint32_t outSize);
    int32_t QueryDay(int32_t channel, int32_t selector, const DvrTime &start, const DvrTime &end);

    // Sends one packet within the reply time-out; a send that times out
    // breaks the connection (see CloseIfSendBroken).
    bool SendBytes(const uint8_t *bytes, size_t len);
    // Receive thread: closes the command channel when a send on it timed
    // out; true when it did (the caller reports the loss).
    bool CloseIfSendBroken();

    void StartThreads();
    void ReceiveLoop();
    void ReceiveLoop1001();
    void KeepAliveLoop();
    // One receive on s (socket lock held): appends to m_Joiner and returns
    // the byte count, or closes the socket and returns 0 when the peer closed
    // or the receive failed.
    size_t ReceiveLocked(platform::SocketHandle s);
    // Dispatches each packet m_Joiner holds and calls the message callback
    // for recorder messages; an unfinished packet stays in m_Joiner for the
    // next receive.
    void DispatchReceived();
    // Handles one received packet; returns true when it was a recorder
    // message to deliver, copied to message for the caller to deliver after
    // unlocking. A packet too long to hold only ends an awaited request, as
    // a failure.
    bool Dispatch(const net::Packet &packet, net::RecorderMessage &message);
    // Sets the disconnect event and posts the host's notice for a session
    // that is logged in; a loss seen before the login stored the address is
    // kept for the login to report.
    void ReportDisconnect(bool connectionLost);
    void PostDisconnectNotice();
    void CloseCommandSocket();

    std::atomic<uint32_t> m_dwDvrIp{0};
    std::atomic<uint16_t> m_wDvrPort{0};
    net::CAtomicId m_SessionId;  // as received
    const CHandle m_Handle{SessionHandles()};
    std::atomic<bool> m_bRun{true};

    uint8_t m_RecvBuf[net::CPacketJoiner::kReceiveSize];
    net::CPacketJoiner m_Joiner;  // received bytes, cut into packets

    platform::CMutex m_SlotMutex;          // guards the four below
    uint8_t m_SlotBuf[kReplyPayloadSize];  // the awaited reply's payload
    size_t m_nReplyPayloadLen = 0;
    bool m_bSlotFilled = false;
    bool m_bSlotFailed = false;  // the awaited reply could not be held
    std::atomic<int32_t> m_nWaitCode{0};

    platform::CEvent m_hReplyEvent;
    platform::CEvent m_hDisconnectEvent;
    platform::CEvent m_hRecvWake;       // makes a receive pass end at once
    platform::CEvent m_hKeepAliveWake;  // ends the keep-alive pause at once

    platform::CMutex m_NoticeMutex;  // the address and the pending loss together
    bool m_bLossUnreported = false;

    net::CSocketSlot m_Sock;
    std::atomic<bool> m_bConnected{false};
    // Counts the connections installed by logins; the receive thread starts
    // each new one with a clean receive state.
    std::atomic<uint32_t> m_nConnection{0};
    platform::CThread m_hRecvThread;
    platform::CThread m_hKeepAliveThread;

    CSessionStreams m_Streams{*this};
    CRecordingSearch m_Search;

    platform::CMutex m_SockMutex;
};

}  // namespace kn
