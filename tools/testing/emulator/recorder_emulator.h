// CRecorderEmulator: a recorder on 127.0.0.1 that the library's tests talk
// to. It is an independent peer: it shares no code with the library, records
// every packet it receives, and answers as its knobs say (or misbehaves as
// they say: silence, late replies, resets, lying counts).
//
// A test sets the knobs, drives the library, then asserts on what was
// recorded. Every accessor returns a copy taken under the emulator's lock, so
// it may be called from any thread; WaitFor polls the recorded state with a
// bounded deadline.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "tools/testing/emulator/packet_reader.h"
#include "tools/testing/emulator/wire.h"

namespace kn::emu {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// What a connection is, decided by the first packet that names it:
// 49 or 56 command channel; 57 live; 73 playback; 81 download; 35 talk;
// 36 stop talk. Until then (or for anything else) Unknown.
enum class ChannelKind { Unknown, Command, Live, Playback, Download, Talk, StopTalk };
enum class Transport { Tcp, Udp };

const char *KindName(ChannelKind kind);

struct RecordedPacket {
    Clock::time_point at;
    Bytes raw;  // the whole packet as received
    Id4 sessionId{};
    uint8_t code = 0;
    Bytes payload;
};

// Who ended a connection, as the emulator saw it.
enum class CloseCause {
    None,         // still open
    Emulator,     // the emulator closed it (a knob, CloseConnection, Stop)
    PeerOrderly,  // the client ended it in order (the emulator read its end)
    PeerReset,    // the client reset it
};

struct ConnectionInfo {
    int index = -1;  // position in order of arrival, stable for the emulator's life
    ChannelKind kind = ChannelKind::Unknown;
    Transport transport = Transport::Tcp;
    bool open = false;
    uint16_t peerPort = 0;  // the client's local port
    Clock::time_point openedAt;
    Clock::time_point closedAt;  // valid once !open
    size_t packetCount = 0;
    size_t skippedBytes = 0;  // bytes that were no packet
    size_t audioBytes = 0;    // talk: raw bytes after the opening
    CloseCause closeCause = CloseCause::None;
    bool reading = true;     // false once the emulator stopped reading it
    size_t servedBytes = 0;  // download: bytes of the served stream sent so far
    bool serveDone = false;  // download: the whole served stream was sent
};

// Recording search: command 69 asks for one day, reply 71 lists records.
struct SearchQuery {
    int year = 0;  // in full: 2000 + the year byte
    int month = 0;
    int day = 0;
    int channel = 0;
    int selector = 0;
};

struct Recording {
    uint8_t startHour = 0, startMinute = 0, startSecond = 0;
    uint8_t endHour = 0, endMinute = 0, endSecond = 0;
    uint32_t value = 0;
};

struct SearchAnswer {
    bool answer = true;  // false: the query gets no reply at all
    std::vector<Recording> records;
    int count = -1;  // count byte to send; -1 = the number of records (0-255 lies freely)
};

using SearchHandler = std::function<SearchAnswer(const SearchQuery &)>;

// Something that happened on a connection, as an observer sees it: a new
// connection, a packet received (after its reply went out, so media may
// follow at once), or a closed connection (info.audioBytes is final then).
enum class EventType { Opened, Packet, Closed };

struct EmulatorEvent {
    EventType type = EventType::Opened;
    ConnectionInfo info;                     // snapshot taken with the event
    const RecordedPacket *packet = nullptr;  // Packet only; valid during the call
};

// Called on the emulator's own threads without its lock held; it may call
// the accessors and the senders, but must not block for long: the
// connection's receiving waits for it.
using EventObserver = std::function<void(const EmulatorEvent &)>;

// The media that leaves with the acknowledgement of an opening (the frame
// byte stream, as SendMedia takes it), given the connection and the opening
// packet. Called on the connection's thread without the emulator's lock.
using OpeningMediaSource = std::function<Bytes(const ConnectionInfo &, const RecordedPacket &)>;

// How SendMedia cuts the frame byte stream.
struct MediaOptions {
    // TCP: sizes of successive writes; UDP: stream bytes per datagram (after
    // the 4-byte prefix). The last size repeats. Empty: TCP one write, UDP 1024.
    std::vector<size_t> pieces;
    Millis pause{0};  // between writes or datagrams
    // UDP: datagram ordinals (0-based, within this call) whose sequence number
    // is used up but which are never sent: a lost datagram.
    std::set<size_t> drop;
    std::set<size_t> repeat;  // UDP: ordinals sent twice (same sequence number)
};

class CRecorderEmulator {
public:
    CRecorderEmulator();
    ~CRecorderEmulator();  // Stop()
    CRecorderEmulator(const CRecorderEmulator &) = delete;
    CRecorderEmulator &operator=(const CRecorderEmulator &) = delete;

    // Listens on 127.0.0.1:<ephemeral> (TCP) and binds UDP on the same port.
    // False when no such port pair could be had or when already started.
    bool Start();
    // The same on a chosen IPv4 address (dotted text) and port; port 0 takes
    // an ephemeral one. False when the address is not IPv4 text or the TCP
    // or UDP port cannot be bound.
    bool Start(const char *address, uint16_t port);
    // Ends every thread promptly and closes every socket; idempotent.
    void Stop();
    uint16_t Port() const { return m_wPort; }

    // --- Command channel knobs (take effect for the next packet) ---
    void SetSessionId(const Id4 &id);
    // Login reply 51: payload byte 0 is the result, padded with zeros to
    // payloadLen bytes (0 sends a reply without payload).
    void SetLoginResult(uint8_t result, size_t payloadLen = 1);
    // Login reply 51 with exactly this payload (at most 4000 bytes), until
    // the next SetLoginResult.
    void SetLoginPayload(const Bytes &payload);
    void SetSilent(bool silent);          // answer nothing on the command channel
    void SetCloseAfterLogin(bool close);  // orderly close right after reply 51
    // Reset (linger 0) a command channel when its n-th packet arrives; that
    // packet is recorded and not answered. 0 = never.
    void SetResetAfterPackets(int n);
    void SetReplyDelay(Millis delay);  // before every command-channel reply
    // Reply table for parameter codes (defaults as the recorder's table);
    // reply 0 removes the entry, so the code is never answered.
    void SetReplyCode(uint8_t request, uint8_t reply);
    void SetParamReply(uint8_t request, const Bytes &payload);  // default empty
    void SetIgnored(uint8_t request, bool ignored);             // stop/resume answering a code
    // Parameter store: a parameter request with a payload stores it as the
    // code's blob and is answered without payload; one without payload is
    // answered with the code's blob (empty until set). SetParamReply entries
    // are then not used.
    void SetParamStore(bool on);
    Bytes StoredParam(uint8_t request) const;

    // --- Recording search ---
    // Records for one date (any channel and selector); dates without an entry
    // are answered with count 0.
    void SetRecordings(int year, int month, int day, const std::vector<Recording> &records);
    void SetSearchSilentDate(int year, int month, int day);  // never answered
    void SetSearchCount(int count);                          // count byte for every reply; -1 = honest
    // Overrides the date table when set; called outside the emulator's lock.
    void SetSearchHandler(SearchHandler handler);

    // --- Media channel knobs ---
    // Reply ';' to 57 with payload [0, group (4 bytes as given), port (network
    // order)]; the default 0.0.0.0:0 announces no group.
    void SetLiveAnnounce(const Id4 &group, uint16_t port);
    // Announces the group with the client's own local port (the port its
    // live connection comes from); SetLiveAnnounce turns this off again.
    void SetLiveAnnounceOwnPort(const Id4 &group);
    void SetStreamId(const Id4 &id);                     // payload of reply 'K' to 73
    void SetTalkAccepted(bool accepted);                 // '%' (default) or '&' to 35
    void SetMediaSilent(ChannelKind kind, bool silent);  // no reply to the opening
    // Reply code for a kind's opening, payload unchanged; -1 back to the usual.
    void SetMediaReplyCode(ChannelKind kind, int code);
    // Before every media opening's reply (a recorder slow to acknowledge).
    void SetMediaReplyDelay(Millis delay);
    // Talk audio is counted always; kept for TalkAudio only while this is on
    // (the default), so a long-running emulator can turn keeping off.
    void SetKeepAudio(bool keep);
    // Serves this frame byte stream on every download connection as an
    // eager recorder does: its first bytes leave in the same write as the
    // acknowledgement, the rest follows at once, as fast as TCP takes it: no
    // deadline, however slowly the client reads (until the connection closes
    // or Stop). Empty (the default) serves nothing.
    void SetDownloadStream(const Bytes &stream);
    // A polite recorder instead: the acknowledgement alone, then this pause
    // before any media of an opening (the download stream, the opening
    // media). 0, the default, sends them together.
    void SetServeDelay(Millis delay);
    // Media sent with every acknowledged opening: over TCP in the same write
    // as the acknowledgement (ahead of a download stream's first bytes), over
    // UDP in datagrams right behind it.
    void SetOpeningMedia(OpeningMediaSource source);
    // Connections of this kind stop reading once their opening is answered
    // (the login reply on a command channel): the client's sends pile up in
    // the TCP buffers until they are full, as with a recorder whose
    // application hangs while its TCP stack keeps the connection open.
    void SetStopReading(ChannelKind kind, bool stop);
    // Stops (or resumes) reading one connection at once.
    bool SetReading(int conn, bool reading);

    // --- Observing ---
    void SetEventObserver(EventObserver observer);  // set before Start

    // --- Media ---
    // The frame byte stream (see BuildFrame) on a media connection: over TCP
    // as it is, in the chosen writes; over UDP in datagrams carrying the
    // 4-byte prefix with the connection's running sequence number.
    bool SendMedia(int conn, const Bytes &stream, const MediaOptions &options = {});
    // One datagram [0, 0, seq LE] + stretch to a UDP client; the running
    // sequence number is not touched.
    bool SendDatagram(int conn, uint16_t seq, const Bytes &stretch);
    void SetNextSequence(int conn, uint16_t seq);  // for SendMedia, default 0
    // One datagram without any byte to a UDP client.
    bool SendEmptyDatagram(int conn);
    // One datagram, as given, to a multicast group from 127.0.0.1 with TTL 1.
    // Meant for a test's own network namespace only.
    bool SendMulticast(const Id4 &group, uint16_t port, const Bytes &datagram);

    // --- Sending at will (from the test thread, any time) ---
    // Bytes as given, in pieces of pieceSize (0 = one write) with a pause
    // between pieces. False when the connection is closed or unknown.
    bool SendRaw(int conn, const Bytes &bytes, size_t pieceSize = 0, Millis pause = Millis(0));
    // One packet with the emulator's session id.
    bool SendPacket(int conn, uint8_t code, const Bytes &payload = {});
    // Closes a connection (reset: linger 0, the peer sees a reset) and waits,
    // bounded, until its thread has let go of it.
    bool CloseConnection(int conn, bool reset = false);
    // True once every byte written on a TCP connection so far has left the
    // emulator's socket (none waits for room in the client's receive
    // window), within timeoutMs. A write returns when the socket has taken
    // the bytes, not when they were sent: a reset discards whatever the
    // socket still held, so a test that means "these frames reached the
    // client before the reset" waits for this first.
    bool WaitUntilSent(int conn, uint32_t timeoutMs);

    // --- Recorded state ---
    std::vector<ConnectionInfo> Connections() const;
    std::optional<ConnectionInfo> Connection(int conn) const;
    std::vector<RecordedPacket> Packets(int conn) const;
    // Packets with this code over every connection of this kind, in order of arrival.
    std::vector<RecordedPacket> PacketsWithCode(ChannelKind kind, uint8_t code) const;
    Bytes TalkAudio(int conn) const;
    // Index of the nth connection of a kind (0-based), or -1.
    int FindConnection(ChannelKind kind, int nth = 0) const;

    // Polls pred (called without the emulator's lock, so it may use the
    // accessors) until it holds or the timeout passes; re-checked on every
    // change and at least every 20 ms. Returns the last result.
    bool WaitFor(const std::function<bool()> &pred, Millis timeout) const;
    int WaitForConnection(ChannelKind kind, Millis timeout, int nth = 0) const;

private:
    struct Conn;
    enum class CloseMode { None, Orderly, Reset };
    struct Action {
        Bytes reply;
        bool hasReply = false;
        bool search = false;  // reply to be built from a search answer
        SearchQuery query;
        CloseMode close = CloseMode::None;
        Millis delay{0};
        bool stopReading = false;         // after the reply
        Bytes serve;                      // after the reply, unbounded
        OpeningMediaSource openingMedia;  // media opening: what goes with the reply
        ConnectionInfo info;              // for openingMedia
        RecordedPacket packet;            // for openingMedia
        Millis serveDelay{0};
    };

    void AcceptLoop();
    // Accept thread: joins the connection threads that have ended.
    void ReapFinished();
    void ConnectionLoop(Conn &c);
    void OnDatagram();
    bool OnBytes(Conn &c, const uint8_t *data, size_t len);
    Action Record(Conn &c, ParsedPacket &&pkt);              // under m_Mutex
    Action DecideCommand(Conn &c, const RecordedPacket &p);  // under m_Mutex
    Action DecideMedia(Conn &c, const RecordedPacket &p);    // under m_Mutex
    Bytes SearchReply(const SearchQuery &q, bool &answer);
    bool Execute(Conn &c, const Action &a);
    bool Pause(Millis d) const;  // false when stopping
    void Notify(EventType type, const Conn &c, const RecordedPacket *packet = nullptr);
    // Gives up after the send deadline, or (unbounded) only when the
    // connection is asked to close or the emulator stops.
    bool SendOn(Conn &c, const uint8_t *data, size_t len, bool unbounded = false);
    // Sends stream[from, end) in pieces, recording the progress.
    void Serve(Conn &c, const Bytes &stream, size_t from);
    // Datagrams of a media byte stream with the connection's running sequence.
    bool SendDatagrams(Conn &c, const Bytes &stream, const MediaOptions &options);
    void Poke(Conn &c);
    void CloseSocket(Conn &c, CloseMode mode);
    Conn *Find(int conn) const;  // under m_Mutex
    void Changed();              // under m_Mutex
    // Sets one knob under the lock.
    template <typename T, typename V>
    void Assign(T &knob, V &&value)
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        knob = std::forward<V>(value);
    }

    uint16_t m_wPort = 0;
    int m_ListenFd = -1;
    int m_UdpFd = -1;
    int m_StopPipe[2] = {-1, -1};  // written once by Stop, never drained
    std::thread m_AcceptThread;
    std::atomic<bool> m_bStarted{false};
    std::atomic<bool> m_bStopping{false};

    mutable std::mutex m_Mutex;  // everything below
    mutable std::condition_variable m_Cond;
    uint64_t m_nGeneration = 0;
    std::deque<std::unique_ptr<Conn>> m_Conns;

    Id4 m_SessionId{0x0A, 0x0B, 0x0C, 0x0D};
    uint8_t m_byLoginResult = 1;
    size_t m_nLoginPayloadLen = 1;
    std::optional<Bytes> m_LoginPayload;
    bool m_bSilent = false;
    bool m_bCloseAfterLogin = false;
    int m_nResetAfter = 0;
    Millis m_ReplyDelay{0};
    std::map<uint8_t, uint8_t> m_ReplyCodes;
    std::map<uint8_t, Bytes> m_ParamReplies;
    bool m_bParamStore = false;
    std::map<uint8_t, Bytes> m_StoredParams;
    bool m_bKeepAudio = true;
    Bytes m_DownloadStream;
    Millis m_ServeDelay{0};
    OpeningMediaSource m_OpeningMedia;
    std::set<ChannelKind> m_StopReading;
    EventObserver m_Observer;  // fixed once started
    std::set<uint8_t> m_Ignored;

    std::map<std::array<int, 3>, std::vector<Recording>> m_Recordings;
    std::set<std::array<int, 3>> m_SilentDates;
    int m_nSearchCount = -1;
    SearchHandler m_SearchHandler;

    Id4 m_LiveGroup{};
    uint16_t m_wLivePort = 0;
    bool m_bLiveOwnPort = false;
    Id4 m_StreamId{0x11, 0x22, 0x33, 0x44};
    bool m_bTalkAccepted = true;
    std::set<ChannelKind> m_MediaSilent;
    std::map<ChannelKind, int> m_MediaReplyCodes;
    Millis m_MediaReplyDelay{0};
};

}  // namespace kn::emu
