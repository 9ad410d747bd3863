#include "tools/testing/emulator/recorder_emulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kn::emu {

namespace {

// A knob that is a set of keys: the key is in it while the knob is on.
template <typename Set, typename Key>
void Mark(Set &set, const Key &key, bool on)
{
    if (on) {
        set.insert(key);
    } else {
        set.erase(key);
    }
}

constexpr Millis kSendDeadline{5000};  // a peer that reads nothing for this long is given up
constexpr Millis kWaitSlice{20};
// The most of a download stream that goes in one write, the acknowledgement's
// included; the rest follows in writes of this size.
constexpr size_t kServePiece = 65536;

// The recorder's reply table for parameter codes.
std::map<uint8_t, uint8_t> DefaultReplyCodes()
{
    std::map<uint8_t, uint8_t> t = {{33, 34}, {35, 37}, {49, 51}, {53, 55},   {57, 59},  {61, 63},
                                    {73, 75}, {76, 77}, {87, 89}, {163, 166}, {164, 166}};
    const int same[] = {42, 43, 93, 117, 118, 119, 120, 123, 124, 127, 142, 143, 145, 170, 173, 231, 232};
    for (int c : same) {
        t[static_cast<uint8_t>(c)] = static_cast<uint8_t>(c);
    }
    for (int c = 97; c <= 114; ++c) {
        t[static_cast<uint8_t>(c)] = static_cast<uint8_t>(c);
    }
    for (int c = 129; c <= 139; ++c) {
        t[static_cast<uint8_t>(c)] = static_cast<uint8_t>(c);
    }
    return t;
}

ChannelKind KindOfOpening(uint8_t code)
{
    switch (code) {
    case 49:
    case 56: return ChannelKind::Command;
    case 57: return ChannelKind::Live;
    case 73: return ChannelKind::Playback;
    case 81: return ChannelKind::Download;
    case 35: return ChannelKind::Talk;
    case 36: return ChannelKind::StopTalk;
    default: return ChannelKind::Unknown;
    }
}

bool IsMediaKind(ChannelKind k)
{
    return k == ChannelKind::Live || k == ChannelKind::Playback || k == ChannelKind::Download ||
           k == ChannelKind::Talk || k == ChannelKind::StopTalk;
}

void CloseFd(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

const char *KindName(ChannelKind kind)
{
    switch (kind) {
    case ChannelKind::Unknown: return "unknown";
    case ChannelKind::Command: return "command";
    case ChannelKind::Live: return "live";
    case ChannelKind::Playback: return "playback";
    case ChannelKind::Download: return "download";
    case ChannelKind::Talk: return "talk";
    case ChannelKind::StopTalk: return "stop-talk";
    }
    return "?";
}

// One accepted TCP connection, or one UDP client address.
struct CRecorderEmulator::Conn {
    ConnectionInfo info;                       // under m_Mutex
    std::vector<RecordedPacket> packets;       // under m_Mutex
    Bytes audio;                               // under m_Mutex
    CloseMode closeRequest = CloseMode::None;  // under m_Mutex
    bool talkOpen = false;                     // owning thread only: bytes after the opening are audio
    // A send met the client's reset. The send then takes the socket's error,
    // and the next receive reports an ordinary end instead of the reset.
    std::atomic<bool> sendSawReset{false};

    std::mutex sendMutex;        // fd writes and the close
    int fd = -1;                 // TCP socket; -1 once closed and for UDP
    int pokePipe[2] = {-1, -1};  // wakes the connection thread for a close request
    sockaddr_in peer{};          // UDP client address
    uint16_t nextSeq = 0;        // next media datagram sequence number
    CPacketReader reader;        // owning thread only
    std::thread thread;
    std::atomic<bool> finished{false};  // the thread is past its last use of the connection

    ~Conn()
    {
        CloseFd(fd);
        CloseFd(pokePipe[0]);
        CloseFd(pokePipe[1]);
    }
};

CRecorderEmulator::CRecorderEmulator() : m_ReplyCodes(DefaultReplyCodes()) {}

CRecorderEmulator::~CRecorderEmulator()
{
    Stop();
    CloseFd(m_StopPipe[0]);
    CloseFd(m_StopPipe[1]);
}

bool CRecorderEmulator::Start() { return Start("127.0.0.1", 0); }

bool CRecorderEmulator::Start(const char *address, uint16_t port)
{
    in_addr ip{};
    if (address == nullptr || ::inet_pton(AF_INET, address, &ip) != 1) {
        return false;
    }
    if (m_bStarted.exchange(true)) {
        return false;
    }
    if (::pipe2(m_StopPipe, O_CLOEXEC) != 0) {
        return false;
    }
    // Take the TCP port, then the same number for UDP. An ephemeral TCP port
    // may meet a UDP port that another process holds, so try a few times; a
    // chosen port is tried once, reusable at once after an earlier run.
    const int attempts = port == 0 ? 50 : 1;
    for (int attempt = 0; attempt < attempts && m_wPort == 0; ++attempt) {
        int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = ip;
        a.sin_port = htons(port);
        socklen_t len = sizeof a;
        if (port != 0 && tcp >= 0) {
            const int one = 1;
            ::setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        }
        if (tcp >= 0 && udp >= 0 && ::bind(tcp, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            ::getsockname(tcp, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
            ::bind(udp, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(tcp, 64) == 0) {
            m_ListenFd = tcp;
            m_UdpFd = udp;
            m_wPort = ntohs(a.sin_port);
        } else {
            CloseFd(tcp);
            CloseFd(udp);
        }
    }
    if (m_wPort == 0) {
        return false;
    }
    m_AcceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void CRecorderEmulator::Stop()
{
    if (!m_bStarted.load() || m_bStopping.exchange(true)) {
        return;
    }
    if (m_StopPipe[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(m_StopPipe[1], &b, 1);
    }
    if (m_AcceptThread.joinable()) {
        m_AcceptThread.join();
    }
    // The accept thread is gone, so the list no longer grows.
    std::vector<Conn *> conns;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        for (auto &c : m_Conns) {
            conns.push_back(c.get());
        }
    }
    for (Conn *c : conns) {
        if (c->thread.joinable()) {
            c->thread.join();
        }
    }
    CloseFd(m_ListenFd);
    CloseFd(m_UdpFd);
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        for (auto &c : m_Conns) {
            c->info.open = false;
        }
        Changed();
    }
    // Pipes stay open until destruction: a late SendRaw may still poll them.
}

void CRecorderEmulator::Changed()
{
    ++m_nGeneration;
    m_Cond.notify_all();
}

bool CRecorderEmulator::Pause(Millis d) const
{
    if (d.count() <= 0) {
        return !m_bStopping.load();
    }
    pollfd p{m_StopPipe[0], POLLIN, 0};
    const auto deadline = Clock::now() + d;
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) {
            return !m_bStopping.load();
        }
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0) {
            return false;
        }
    }
}

void CRecorderEmulator::AcceptLoop()
{
    for (;;) {
        pollfd fds[3] = {{m_StopPipe[0], POLLIN, 0}, {m_ListenFd, POLLIN, 0}, {m_UdpFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            ReapFinished();
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(m_ListenFd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
            if (fd >= 0) {
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto c = std::make_unique<Conn>();
                c->fd = fd;
                if (::pipe2(c->pokePipe, O_CLOEXEC) != 0) {
                    continue;  // ~Conn closes fd
                }
                c->info.transport = Transport::Tcp;
                c->info.open = true;
                c->info.peerPort = ntohs(peer.sin_port);
                c->info.openedAt = Clock::now();
                Conn *raw = c.get();
                {
                    std::lock_guard<std::mutex> lk(m_Mutex);
                    c->info.index = static_cast<int>(m_Conns.size());
                    m_Conns.push_back(std::move(c));
                    Changed();
                }
                // Announced before the connection's thread can report a packet.
                Notify(EventType::Opened, *raw);
                raw->thread = std::thread([this, raw] {
                    ConnectionLoop(*raw);
                    raw->finished = true;
                });
            }
        }
        if (fds[2].revents & POLLIN) {
            OnDatagram();
        }
    }
}

void CRecorderEmulator::ReapFinished()
{
    // A thread that ended keeps its stack until it is joined: thousands of
    // connections would hold megabytes the process under test is charged for.
    std::vector<Conn *> conns;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        for (auto &c : m_Conns) {
            if (c->finished.load() && c->thread.joinable()) {
                conns.push_back(c.get());
            }
        }
    }
    for (Conn *c : conns) {
        c->thread.join();
    }
}

void CRecorderEmulator::ConnectionLoop(Conn &c)
{
    std::vector<uint8_t> buf(65536);
    CloseCause cause = CloseCause::Emulator;
    for (;;) {
        bool reading;
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            reading = c.info.reading;
        }
        // A connection that is not read is not polled either: its bytes stay
        // in the TCP buffers, and the client's sends fill them up.
        pollfd fds[3] = {{m_StopPipe[0], POLLIN, 0}, {c.pokePipe[0], POLLIN, 0}, {reading ? c.fd : -1, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            char drain[16];
            [[maybe_unused]] ssize_t n = ::read(c.pokePipe[0], drain, sizeof drain);
            CloseMode mode;
            {
                std::lock_guard<std::mutex> lk(m_Mutex);
                mode = c.closeRequest;
            }
            if (mode != CloseMode::None) {
                CloseSocket(c, mode);
                return;
            }
            continue;  // the reading knob changed
        }
        if (fds[2].revents != 0) {
            const ssize_t n = ::recv(c.fd, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const bool reset = (n < 0 && errno == ECONNRESET) || c.sendSawReset.load();
                cause = reset ? CloseCause::PeerReset : (n == 0 ? CloseCause::PeerOrderly : CloseCause::Emulator);
                break;
            }
            if (!OnBytes(c, buf.data(), static_cast<size_t>(n))) {
                break;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (c.info.closeCause == CloseCause::None) {
            c.info.closeCause = cause;
        }
    }
    CloseSocket(c, CloseMode::Orderly);
}

void CRecorderEmulator::Poke(Conn &c)
{
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(c.pokePipe[1], &b, 1);
}

void CRecorderEmulator::OnDatagram()
{
    std::vector<uint8_t> buf(65536);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const ssize_t n = ::recvfrom(m_UdpFd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&peer), &len);
    if (n < 0) {
        return;
    }
    // Each client address is one connection; its packets come one datagram
    // at a time, so nothing is carried over from one datagram to the next.
    Conn *c = nullptr;
    bool opened = false;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        for (auto &k : m_Conns) {
            if (k->info.transport == Transport::Udp && k->peer.sin_addr.s_addr == peer.sin_addr.s_addr &&
                k->peer.sin_port == peer.sin_port) {
                c = k.get();
            }
        }
        if (c == nullptr) {
            auto k = std::make_unique<Conn>();
            k->peer = peer;
            k->info.index = static_cast<int>(m_Conns.size());
            k->info.transport = Transport::Udp;
            k->info.open = true;
            k->info.peerPort = ntohs(peer.sin_port);
            k->info.openedAt = Clock::now();
            c = k.get();
            m_Conns.push_back(std::move(k));
            opened = true;
            Changed();
        }
    }
    if (opened) {
        Notify(EventType::Opened, *c);
    }
    OnBytes(*c, buf.data(), static_cast<size_t>(n));
    c->reader.Discard();
    std::lock_guard<std::mutex> lk(m_Mutex);
    c->info.skippedBytes = c->reader.SkippedBytes();
    Changed();
}

bool CRecorderEmulator::OnBytes(Conn &c, const uint8_t *data, size_t len)
{
    if (c.talkOpen) {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_bKeepAudio) {
            c.audio.insert(c.audio.end(), data, data + len);
        }
        c.info.audioBytes += len;
        Changed();
        return true;
    }
    c.reader.Feed(data, len);
    ParsedPacket pkt;
    while (c.reader.Next(pkt)) {
        Action a;
        std::optional<RecordedPacket> seen;
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            a = Record(c, std::move(pkt));
            if (m_Observer) {
                seen = c.packets.back();
            }
        }
        const bool goOn = Execute(c, a);
        if (seen) {
            Notify(EventType::Packet, c, &*seen);
        }
        if (!goOn) {
            return false;
        }
        if (a.stopReading) {
            return true;  // whatever followed in this read is left unread
        }
        if (c.talkOpen) {
            // Whatever followed the opening in this read is already audio.
            const Bytes rest = c.reader.TakeRest();
            if (!rest.empty()) {
                return OnBytes(c, rest.data(), rest.size());
            }
            return true;
        }
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (c.info.skippedBytes != c.reader.SkippedBytes()) {
        c.info.skippedBytes = c.reader.SkippedBytes();
        Changed();
    }
    return true;
}

CRecorderEmulator::Action CRecorderEmulator::Record(Conn &c, ParsedPacket &&pkt)
{
    RecordedPacket p;
    p.at = Clock::now();
    p.raw = std::move(pkt.raw);
    p.sessionId = pkt.sessionId;
    p.code = pkt.code;
    p.payload = std::move(pkt.payload);
    if (c.info.kind == ChannelKind::Unknown) {
        c.info.kind = KindOfOpening(p.code);
    }
    c.packets.push_back(p);
    c.info.packetCount = c.packets.size();
    c.info.skippedBytes = c.reader.SkippedBytes();
    Changed();
    if (c.info.kind == ChannelKind::Command) {
        return DecideCommand(c, p);
    }
    if (IsMediaKind(c.info.kind)) {
        return DecideMedia(c, p);
    }
    return {};
}

CRecorderEmulator::Action CRecorderEmulator::DecideCommand(Conn &c, const RecordedPacket &p)
{
    Action a;
    if (m_nResetAfter > 0 && c.info.packetCount == static_cast<size_t>(m_nResetAfter)) {
        a.close = CloseMode::Reset;
        return a;
    }
    if (m_bSilent || p.code == 56 || m_Ignored.count(p.code) != 0) {
        return a;
    }
    a.delay = m_ReplyDelay;
    if (p.code == 49) {
        Bytes payload(m_nLoginPayloadLen, 0);
        if (m_LoginPayload) {
            payload = *m_LoginPayload;
        } else if (!payload.empty()) {
            payload[0] = m_byLoginResult;
        }
        a.reply = BuildPacket(m_SessionId, 51, payload);
        a.hasReply = true;
        a.close = m_bCloseAfterLogin ? CloseMode::Orderly : CloseMode::None;
        a.stopReading = m_StopReading.count(ChannelKind::Command) != 0;
        return a;
    }
    if (p.code == 69) {
        if (p.payload.size() >= 5) {
            a.search = true;
            a.query.year = 2000 + p.payload[0];
            a.query.month = p.payload[1];
            a.query.day = p.payload[2];
            a.query.channel = p.payload[3];
            a.query.selector = p.payload[4];
        }
        return a;
    }
    const auto it = m_ReplyCodes.find(p.code);
    if (it == m_ReplyCodes.end() || it->second == 0) {
        return a;
    }
    if (m_bParamStore) {
        Bytes payload;
        if (!p.payload.empty()) {
            m_StoredParams[p.code] = p.payload;
        } else if (const auto st = m_StoredParams.find(p.code); st != m_StoredParams.end()) {
            payload = st->second;
        }
        a.reply = BuildPacket(m_SessionId, it->second, payload);
        a.hasReply = true;
        return a;
    }
    const auto pr = m_ParamReplies.find(p.code);
    a.reply = BuildPacket(m_SessionId, it->second, pr == m_ParamReplies.end() ? Bytes{} : pr->second);
    a.hasReply = true;
    return a;
}

CRecorderEmulator::Action CRecorderEmulator::DecideMedia(Conn &c, const RecordedPacket &p)
{
    Action a;
    const ChannelKind kind = c.info.kind;
    if (KindOfOpening(p.code) != kind || kind == ChannelKind::StopTalk) {
        return a;  // only an opening is answered
    }
    if (kind == ChannelKind::Talk) {
        c.talkOpen = true;  // what follows on this connection is audio
    }
    a.stopReading = m_StopReading.count(kind) != 0;
    if (kind == ChannelKind::Download) {
        a.serve = m_DownloadStream;
    }
    a.serveDelay = m_ServeDelay;
    if (m_OpeningMedia && kind != ChannelKind::Talk) {
        a.openingMedia = m_OpeningMedia;
        a.info = c.info;
        a.packet = p;
    }
    if (m_MediaSilent.count(kind) != 0) {
        return a;
    }
    uint8_t code = 0;
    Bytes payload;
    switch (kind) {
    case ChannelKind::Live: {
        code = 59;
        const uint16_t port = m_bLiveOwnPort ? c.info.peerPort : m_wLivePort;
        payload = {0,
                   m_LiveGroup[0],
                   m_LiveGroup[1],
                   m_LiveGroup[2],
                   m_LiveGroup[3],
                   static_cast<uint8_t>(port >> 8),
                   static_cast<uint8_t>(port)};
        break;
    }
    case ChannelKind::Playback:
        code = 75;
        payload.assign(m_StreamId.begin(), m_StreamId.end());
        break;
    case ChannelKind::Download: code = 83; break;
    case ChannelKind::Talk: code = m_bTalkAccepted ? 37 : 38; break;
    default: return a;
    }
    const auto it = m_MediaReplyCodes.find(kind);
    if (it != m_MediaReplyCodes.end()) {
        code = static_cast<uint8_t>(it->second);
    }
    a.reply = BuildPacket(m_SessionId, code, payload);
    a.hasReply = true;
    a.delay = m_MediaReplyDelay;
    return a;
}

Bytes CRecorderEmulator::SearchReply(const SearchQuery &q, bool &answer)
{
    SearchHandler handler;
    SearchAnswer ans;
    int count;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        handler = m_SearchHandler;
        count = m_nSearchCount;
        const std::array<int, 3> date{q.year, q.month, q.day};
        if (!handler) {
            ans.answer = m_SilentDates.count(date) == 0;
            const auto it = m_Recordings.find(date);
            if (it != m_Recordings.end()) {
                ans.records = it->second;
            }
        }
    }
    if (handler) {
        ans = handler(q);
    }
    answer = ans.answer;
    if (ans.count < 0) {
        ans.count = count;
    }
    Bytes payload{static_cast<uint8_t>(ans.count >= 0 ? ans.count : static_cast<int>(ans.records.size())), 0, 0, 0, 0};
    for (const Recording &r : ans.records) {
        payload.insert(payload.end(), {r.startHour, r.startMinute, r.startSecond, r.endHour, r.endMinute, r.endSecond,
                                       static_cast<uint8_t>(r.value), static_cast<uint8_t>(r.value >> 8),
                                       static_cast<uint8_t>(r.value >> 16), static_cast<uint8_t>(r.value >> 24)});
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    return BuildPacket(m_SessionId, 71, payload);
}

bool CRecorderEmulator::Execute(Conn &c, const Action &a)
{
    Bytes reply = a.reply;
    bool hasReply = a.hasReply;
    if (a.search) {
        reply = SearchReply(a.query, hasReply);
    }
    // An eager recorder: the acknowledgement of an opening and the first
    // media leave in one write, at once (a polite one pauses in between).
    Bytes media;
    if (hasReply && a.openingMedia) {
        media = a.openingMedia(a.info, a.packet);
    }
    const bool udp = c.info.transport == Transport::Udp;
    const bool together = a.serveDelay.count() <= 0 && !udp;
    size_t served = 0;
    if (hasReply) {
        if (!Pause(a.delay)) {
            return false;
        }
        if (together) {
            reply.insert(reply.end(), media.begin(), media.end());
            media.clear();
            served = std::min(kServePiece, a.serve.size());
            reply.insert(reply.end(), a.serve.begin(), a.serve.begin() + static_cast<long>(served));
        }
        SendOn(c, reply.data(), reply.size(), served != 0);
    }
    if (a.close != CloseMode::None) {
        CloseSocket(c, a.close);
        return false;
    }
    if (a.stopReading) {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c.info.reading = false;
        Changed();
    }
    if (!hasReply) {
        return true;
    }
    if ((!media.empty() || served < a.serve.size()) && !Pause(a.serveDelay)) {
        return false;
    }
    if (!media.empty()) {
        if (udp) {
            SendDatagrams(c, media, {});
        } else {
            SendOn(c, media.data(), media.size());
        }
    }
    if (!a.serve.empty()) {
        Serve(c, a.serve, served);
    }
    return true;
}

void CRecorderEmulator::Serve(Conn &c, const Bytes &stream, size_t from)
{
    // In pieces, so that progress shows while the client holds the rest back.
    for (size_t at = from;;) {
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            c.info.servedBytes = at;
            c.info.serveDone = at == stream.size();
            Changed();
        }
        if (at == stream.size()) {
            return;
        }
        const size_t n = std::min(kServePiece, stream.size() - at);
        if (!SendOn(c, stream.data() + at, n, true)) {
            return;
        }
        at += n;
    }
}

bool CRecorderEmulator::SendOn(Conn &c, const uint8_t *data, size_t len, bool unbounded)
{
    std::lock_guard<std::mutex> lk(c.sendMutex);
    if (c.info.transport == Transport::Udp) {  // fixed before the record is published
        return ::sendto(m_UdpFd, data, len, 0, reinterpret_cast<const sockaddr *>(&c.peer), sizeof c.peer) ==
               static_cast<ssize_t>(len);
    }
    if (c.fd < 0) {
        return false;
    }
    const auto deadline = Clock::now() + kSendDeadline;
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::send(c.fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (errno == ECONNRESET) {
                c.sendSawReset = true;
            }
            return false;
        }
        const auto left = unbounded ? 100 : std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0 || m_bStopping.load()) {
            return false;
        }
        if (unbounded) {
            std::lock_guard<std::mutex> lk(m_Mutex);
            if (c.closeRequest != CloseMode::None) {
                return false;
            }
        }
        pollfd fds[2] = {{c.fd, POLLOUT, 0}, {m_StopPipe[0], POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 100)));
    }
    return true;
}

void CRecorderEmulator::CloseSocket(Conn &c, CloseMode mode)
{
    {
        std::lock_guard<std::mutex> lk(c.sendMutex);
        if (c.fd >= 0) {
            if (mode == CloseMode::Reset) {
                const linger l{1, 0};
                ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
            CloseFd(c.fd);
        }
    }
    bool closed = false;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (c.info.open) {
            c.info.open = false;
            c.info.closedAt = Clock::now();
            if (c.info.closeCause == CloseCause::None) {
                c.info.closeCause = CloseCause::Emulator;
            }
            closed = true;
            Changed();
        }
    }
    if (closed) {
        Notify(EventType::Closed, c);
    }
}

void CRecorderEmulator::Notify(EventType type, const Conn &c, const RecordedPacket *packet)
{
    if (!m_Observer) {
        return;
    }
    EmulatorEvent e;
    e.type = type;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        e.info = c.info;
    }
    e.packet = packet;
    m_Observer(e);
}

CRecorderEmulator::Conn *CRecorderEmulator::Find(int conn) const
{
    if (conn < 0 || static_cast<size_t>(conn) >= m_Conns.size()) {
        return nullptr;
    }
    return m_Conns[static_cast<size_t>(conn)].get();
}

// --- knobs ---

void CRecorderEmulator::SetSessionId(const Id4 &id) { Assign(m_SessionId, id); }

void CRecorderEmulator::SetLoginResult(uint8_t result, size_t payloadLen)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_byLoginResult = result;
    m_nLoginPayloadLen = std::min<size_t>(payloadLen, 4000);
    m_LoginPayload.reset();
}

void CRecorderEmulator::SetLoginPayload(const Bytes &payload)
{
    Assign(m_LoginPayload, Bytes(payload.begin(), payload.begin() + std::min<size_t>(payload.size(), 4000)));
}

void CRecorderEmulator::SetSilent(bool silent) { Assign(m_bSilent, silent); }

void CRecorderEmulator::SetCloseAfterLogin(bool close) { Assign(m_bCloseAfterLogin, close); }

void CRecorderEmulator::SetResetAfterPackets(int n) { Assign(m_nResetAfter, std::max(n, 0)); }

void CRecorderEmulator::SetReplyDelay(Millis delay) { Assign(m_ReplyDelay, delay); }

void CRecorderEmulator::SetReplyCode(uint8_t request, uint8_t reply)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_ReplyCodes[request] = reply;
}

void CRecorderEmulator::SetParamReply(uint8_t request, const Bytes &payload)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_ParamReplies[request] = payload;
}

void CRecorderEmulator::SetIgnored(uint8_t request, bool ignored)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    Mark(m_Ignored, request, ignored);
}

void CRecorderEmulator::SetParamStore(bool on) { Assign(m_bParamStore, on); }

Bytes CRecorderEmulator::StoredParam(uint8_t request) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const auto it = m_StoredParams.find(request);
    return it == m_StoredParams.end() ? Bytes{} : it->second;
}

void CRecorderEmulator::SetKeepAudio(bool keep) { Assign(m_bKeepAudio, keep); }

void CRecorderEmulator::SetEventObserver(EventObserver observer)
{
    if (!m_bStarted.load()) {
        m_Observer = std::move(observer);
    }
}

void CRecorderEmulator::SetRecordings(int year, int month, int day, const std::vector<Recording> &records)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Recordings[{year, month, day}] = records;
}

void CRecorderEmulator::SetSearchSilentDate(int year, int month, int day)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_SilentDates.insert({year, month, day});
}

void CRecorderEmulator::SetSearchCount(int count) { Assign(m_nSearchCount, count); }

void CRecorderEmulator::SetSearchHandler(SearchHandler handler) { Assign(m_SearchHandler, std::move(handler)); }

void CRecorderEmulator::SetLiveAnnounce(const Id4 &group, uint16_t port)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_LiveGroup = group;
    m_wLivePort = port;
    m_bLiveOwnPort = false;
}

void CRecorderEmulator::SetLiveAnnounceOwnPort(const Id4 &group)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_LiveGroup = group;
    m_wLivePort = 0;
    m_bLiveOwnPort = true;
}

void CRecorderEmulator::SetStreamId(const Id4 &id) { Assign(m_StreamId, id); }

void CRecorderEmulator::SetTalkAccepted(bool accepted) { Assign(m_bTalkAccepted, accepted); }

void CRecorderEmulator::SetServeDelay(Millis delay) { Assign(m_ServeDelay, delay); }

void CRecorderEmulator::SetOpeningMedia(OpeningMediaSource source) { Assign(m_OpeningMedia, std::move(source)); }

void CRecorderEmulator::SetDownloadStream(const Bytes &stream) { Assign(m_DownloadStream, stream); }

void CRecorderEmulator::SetStopReading(ChannelKind kind, bool stop)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    Mark(m_StopReading, kind, stop);
}

bool CRecorderEmulator::SetReading(int conn, bool reading)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
        if (c == nullptr || !c->info.open || c->info.transport != Transport::Tcp) {
            return false;
        }
        c->info.reading = reading;
        Changed();
    }
    Poke(*c);
    return true;
}

void CRecorderEmulator::SetMediaSilent(ChannelKind kind, bool silent)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    Mark(m_MediaSilent, kind, silent);
}

void CRecorderEmulator::SetMediaReplyDelay(Millis delay) { Assign(m_MediaReplyDelay, delay); }

void CRecorderEmulator::SetMediaReplyCode(ChannelKind kind, int code)
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (code < 0) {
        m_MediaReplyCodes.erase(kind);
    } else {
        m_MediaReplyCodes[kind] = code & 0xFF;
    }
}

// --- media ---

bool CRecorderEmulator::SendMedia(int conn, const Bytes &stream, const MediaOptions &options)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
        if (c == nullptr || !c->info.open) {
            return false;
        }
    }
    if (c->info.transport == Transport::Udp) {
        return SendDatagrams(*c, stream, options);
    }
    auto pieceSize = [&](size_t ordinal) -> size_t {
        if (options.pieces.empty()) {
            return std::max<size_t>(stream.size(), 1);
        }
        return std::max<size_t>(options.pieces[std::min(ordinal, options.pieces.size() - 1)], 1);
    };
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t n = std::min(pieceSize(i), stream.size() - at);
        if (i > 0 && !Pause(options.pause)) {
            return false;
        }
        if (!SendOn(*c, stream.data() + at, n)) {
            return false;
        }
        at += n;
    }
    return true;
}

bool CRecorderEmulator::SendDatagrams(Conn &c, const Bytes &stream, const MediaOptions &options)
{
    auto pieceSize = [&](size_t ordinal) -> size_t {
        if (options.pieces.empty()) {
            return 1024;
        }
        return std::max<size_t>(options.pieces[std::min(ordinal, options.pieces.size() - 1)], 1);
    };
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t n = std::min(pieceSize(i), stream.size() - at);
        if (i > 0 && !Pause(options.pause)) {
            return false;
        }
        uint16_t seq;
        {
            std::lock_guard<std::mutex> lk(c.sendMutex);
            seq = c.nextSeq++;
        }
        if (options.drop.count(i) == 0) {
            const Bytes d = BuildDatagram(seq, stream.data() + at, n);
            const int times = options.repeat.count(i) != 0 ? 2 : 1;
            for (int k = 0; k < times; ++k) {
                if (!SendOn(c, d.data(), d.size())) {
                    return false;
                }
            }
        }
        at += n;
    }
    return true;
}

bool CRecorderEmulator::SendDatagram(int conn, uint16_t seq, const Bytes &stretch)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
        if (c == nullptr || c->info.transport != Transport::Udp) {
            return false;
        }
    }
    const Bytes d = BuildDatagram(seq, stretch.data(), stretch.size());
    return SendOn(*c, d.data(), d.size());
}

bool CRecorderEmulator::SendEmptyDatagram(int conn)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
        if (c == nullptr || c->info.transport != Transport::Udp) {
            return false;
        }
    }
    const uint8_t none = 0;
    return SendOn(*c, &none, 0);
}

void CRecorderEmulator::SetNextSequence(int conn, uint16_t seq)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
    }
    if (c != nullptr) {
        std::lock_guard<std::mutex> lk(c->sendMutex);
        c->nextSeq = seq;
    }
}

bool CRecorderEmulator::SendMulticast(const Id4 &group, uint16_t port, const Bytes &datagram)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    in_addr local{};
    local.s_addr = htonl(INADDR_LOOPBACK);
    const unsigned char ttl = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr.s_addr, group.data(), 4);
    to.sin_port = htons(port);
    const bool ok = ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) == 0 &&
                    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
                    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
                        static_cast<ssize_t>(datagram.size());
    ::close(fd);
    return ok;
}

// --- sending at will ---

bool CRecorderEmulator::SendRaw(int conn, const Bytes &bytes, size_t pieceSize, Millis pause)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
        if (c == nullptr || !c->info.open) {
            return false;
        }
    }
    // Over UDP every piece is one datagram, sent as given.
    const size_t step = pieceSize == 0 ? std::max<size_t>(bytes.size(), 1) : pieceSize;
    for (size_t at = 0; at < bytes.size(); at += step) {
        if (at > 0 && !Pause(pause)) {
            return false;
        }
        if (!SendOn(*c, bytes.data() + at, std::min(step, bytes.size() - at))) {
            return false;
        }
    }
    return true;
}

bool CRecorderEmulator::SendPacket(int conn, uint8_t code, const Bytes &payload)
{
    Id4 id;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        id = m_SessionId;
    }
    return SendRaw(conn, BuildPacket(id, code, payload));
}

bool CRecorderEmulator::CloseConnection(int conn, bool reset)
{
    std::unique_lock<std::mutex> lk(m_Mutex);
    Conn *c = Find(conn);
    if (c == nullptr || !c->info.open) {
        return false;
    }
    if (c->info.transport == Transport::Udp) {
        c->info.open = false;
        c->info.closedAt = Clock::now();
        Changed();
        lk.unlock();
        Notify(EventType::Closed, *c);
        return true;
    }
    c->closeRequest = reset ? CloseMode::Reset : CloseMode::Orderly;
    Poke(*c);
    return m_Cond.wait_for(lk, Millis(2000), [c] { return !c->info.open; });
}

bool CRecorderEmulator::WaitUntilSent(int conn, uint32_t timeoutMs)
{
    Conn *c;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        c = Find(conn);
        if (c == nullptr || c->info.transport != Transport::Tcp) {
            return false;
        }
    }
    const auto deadline = Clock::now() + Millis(timeoutMs);
    for (;;) {
        int unsent = -1;
        {
            std::lock_guard<std::mutex> lk(c->sendMutex);
            if (c->fd < 0 || ::ioctl(c->fd, SIOCOUTQNSD, &unsent) != 0) {
                return false;
            }
        }
        if (unsent == 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(Millis(1));
    }
}

// --- recorded state ---

std::vector<ConnectionInfo> CRecorderEmulator::Connections() const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    std::vector<ConnectionInfo> out;
    for (const auto &c : m_Conns) {
        out.push_back(c->info);
    }
    return out;
}

std::optional<ConnectionInfo> CRecorderEmulator::Connection(int conn) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const Conn *c = Find(conn);
    if (c == nullptr) {
        return std::nullopt;
    }
    return c->info;
}

std::vector<RecordedPacket> CRecorderEmulator::Packets(int conn) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const Conn *c = Find(conn);
    return c == nullptr ? std::vector<RecordedPacket>{} : c->packets;
}

std::vector<RecordedPacket> CRecorderEmulator::PacketsWithCode(ChannelKind kind, uint8_t code) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    std::vector<RecordedPacket> out;
    for (const auto &c : m_Conns) {
        if (c->info.kind != kind) {
            continue;
        }
        for (const RecordedPacket &p : c->packets) {
            if (p.code == code) {
                out.push_back(p);
            }
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const RecordedPacket &a, const RecordedPacket &b) { return a.at < b.at; });
    return out;
}

Bytes CRecorderEmulator::TalkAudio(int conn) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    const Conn *c = Find(conn);
    return c == nullptr ? Bytes{} : c->audio;
}

int CRecorderEmulator::FindConnection(ChannelKind kind, int nth) const
{
    std::lock_guard<std::mutex> lk(m_Mutex);
    for (const auto &c : m_Conns) {
        if (c->info.kind == kind && nth-- == 0) {
            return c->info.index;
        }
    }
    return -1;
}

bool CRecorderEmulator::WaitFor(const std::function<bool()> &pred, Millis timeout) const
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        uint64_t gen;
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            gen = m_nGeneration;
        }
        if (pred()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        std::unique_lock<std::mutex> lk(m_Mutex);
        m_Cond.wait_until(lk, std::min(deadline, now + kWaitSlice), [&] { return m_nGeneration != gen; });
    }
}

int CRecorderEmulator::WaitForConnection(ChannelKind kind, Millis timeout, int nth) const
{
    int found = -1;
    WaitFor([&] { return (found = FindConnection(kind, nth)) >= 0; }, timeout);
    return found;
}

}  // namespace kn::emu
