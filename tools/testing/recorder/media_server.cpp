#include "tools/testing/recorder/media_server.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "tools/testing/recorder/event_log.h"
#include "tools/testing/recorder/schedule.h"

namespace kn::recorder {

using emu::ChannelKind;
using emu::Transport;
using Clock = std::chrono::steady_clock;

namespace {

// Downloads go out faster than real time but paced, so that a host's frame
// queue is never overrun by a burst.
constexpr auto kDownloadPeriod = std::chrono::microseconds(5000);
constexpr size_t kMulticastStretch = 1024;
// Frames an eager recorder sends with the acknowledgement of an opening.
constexpr long kFramesWithReply = 3;

const char *TransportName(Transport t) { return t == Transport::Tcp ? "tcp" : "udp"; }

int SecondOfDay(const emu::Bytes &p, size_t at) { return p[at] * 3600 + p[at + 1] * 60 + p[at + 2]; }

}  // namespace

struct CMediaServer::Sender {
    int conn = -1;
    ChannelKind kind = ChannelKind::Unknown;
    Transport transport = Transport::Tcp;
    int channel = 0;
    emu::Id4 streamId{};
    long total = -1;  // frames to send; -1 endless
    long first = 0;   // frames that left with the acknowledgement
    // Steering, under m_Mutex:
    bool stop = false;
    bool paused = false;
    int steps = 0;
    double speed = 1.0;
    bool finished = false;
    // Sender thread only:
    uint16_t multicastSeq = 0;
    uint64_t payloadBytes = 0;
    std::thread thread;
};

CMediaServer::CMediaServer(emu::CRecorderEmulator &emulator, std::vector<emu::Bytes> frames,
                           const RecorderOptions &options, CFrameLog *frameLog)
    : m_Emulator(emulator), m_Frames(std::move(frames)), m_Options(options), m_pFrameLog(frameLog)
{
    if (!m_Options.raises.empty()) {
        m_Raiser = std::thread([this] { RunRaises(); });
    }
}

CMediaServer::~CMediaServer() { Stop(); }

void CMediaServer::Stop()
{
    std::list<std::unique_ptr<Sender>> senders;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bStopping = true;
        for (auto &s : m_Senders) {
            s->stop = true;
        }
        senders.swap(m_Senders);
    }
    m_Cond.notify_all();
    for (auto &s : senders) {
        if (s->thread.joinable()) {
            s->thread.join();
        }
    }
    if (m_Raiser.joinable()) {
        m_Raiser.join();
    }
}

void CMediaServer::OnEvent(const emu::EmulatorEvent &event)
{
    const emu::ConnectionInfo &info = event.info;
    switch (event.type) {
    case emu::EventType::Opened:
        LogEvent("conn %d: opened over %s from port %u", info.index, TransportName(info.transport),
                 static_cast<unsigned>(info.peerPort));
        break;
    case emu::EventType::Closed:
        if (info.kind == ChannelKind::Talk) {
            LogEvent("conn %d: closed (talk, %zu audio bytes)", info.index, info.audioBytes);
        } else {
            LogEvent("conn %d: closed (%s, %zu packets)", info.index, emu::KindName(info.kind), info.packetCount);
        }
        if (info.kind == ChannelKind::Command) {
            {
                std::lock_guard<std::mutex> lk(m_Mutex);
                m_LoggedIn.erase(info.index);
            }
            // UDP live video has no connection of its own to lose: it ends with
            // the last command channel.
            bool anyCommand = false;
            for (const emu::ConnectionInfo &c : m_Emulator.Connections()) {
                anyCommand = anyCommand || (c.kind == ChannelKind::Command && c.open);
            }
            if (!anyCommand) {
                std::lock_guard<std::mutex> lk(m_Mutex);
                for (auto &s : m_Senders) {
                    if (s->kind == ChannelKind::Live && s->transport == Transport::Udp && !s->stop) {
                        s->stop = true;
                        LogEvent("conn %d: live channel %d over udp ends with the last session", s->conn, s->channel);
                    }
                }
                m_Cond.notify_all();
            }
        }
        break;
    case emu::EventType::Packet:
        if (event.packet != nullptr) {
            OnPacket(event);
        }
        break;
    }
}

void CMediaServer::OnPacket(const emu::EmulatorEvent &event)
{
    const emu::ConnectionInfo &info = event.info;
    const emu::RecordedPacket &p = *event.packet;
    const emu::Bytes &d = p.payload;
    switch (info.kind) {
    case ChannelKind::Command:
        if (m_Options.verbose) {
            // Every command packet with the session id it carried, for
            // comparing with a capture of the same run.
            LogEvent("conn %d: command %u, session %02x%02x%02x%02x, %zu payload bytes", info.index,
                     static_cast<unsigned>(p.code), p.sessionId[0], p.sessionId[1], p.sessionId[2], p.sessionId[3],
                     d.size());
        }
        OnCommand(p);
        if (p.code == 49) {
            std::lock_guard<std::mutex> lk(m_Mutex);
            m_LoggedIn.insert(info.index);
        }
        if (p.code == 49 && (m_Options.messageEveryMs > 0 || m_Options.closeCommandAfterMs > 0)) {
            StartMessenger(info);
        }
        return;
    case ChannelKind::Live:
        if (p.code == 57 && d.size() >= 2) {
            LogEvent("conn %d: live channel %d requested over %s", info.index, d[0], TransportName(info.transport));
            StartSender(info, p);
        }
        return;
    case ChannelKind::Playback:
        if (p.code == 73 && d.size() >= 7) {
            LogEvent("conn %d: playback of channel %d from %04d-%02d-%02d %02d:%02d:%02d requested", info.index, d[3],
                     2000 + d[0], d[1], d[2], d[4], d[5], d[6]);
            StartSender(info, p);
        }
        return;
    case ChannelKind::Download:
        if (p.code == 81 && d.size() >= 10) {
            LogEvent(
                "conn %d: download of channel %d on %04d-%02d-%02d from %02d:%02d:%02d to %02d:%02d:%02d requested",
                info.index, d[3], 2000 + d[0], d[1], d[2], d[4], d[5], d[6], d[7], d[8], d[9]);
            StartSender(info, p);
        }
        return;
    case ChannelKind::Talk:
        if (p.code == 35) {
            LogEvent("conn %d: talk opened", info.index);
        }
        return;
    case ChannelKind::StopTalk: LogEvent("conn %d: stop talk", info.index); return;
    default:
        LogEvent("conn %d: packet %u on a connection of unknown kind", info.index, static_cast<unsigned>(p.code));
        return;
    }
}

void CMediaServer::OnCommand(const emu::RecordedPacket &p)
{
    const emu::Bytes &d = p.payload;
    switch (p.code) {
    case 49: LogEvent("command: login"); return;
    case 53: LogEvent("command: logout"); return;
    case 56:
        if (m_Options.verbose) {
            LogEvent("command: keep-alive");
        }
        return;
    case 69:
        if (d.size() >= 5) {
            LogEvent("command: search channel %d on %04d-%02d-%02d", d[3], 2000 + d[0], d[1], d[2]);
        }
        return;
    default: break;
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (p.code == 61 && !d.empty()) {
        LogEvent("command: stop live channel %d", d[0]);
        for (auto &s : m_Senders) {
            if (s->kind == ChannelKind::Live && s->channel == d[0]) {
                s->stop = true;
            }
        }
    } else if (p.code == 79 && d.size() >= 4) {
        LogEvent("command: stop playback stream %02x%02x%02x%02x", d[0], d[1], d[2], d[3]);
        for (auto &s : m_Senders) {
            if (s->kind == ChannelKind::Playback && std::equal(s->streamId.begin(), s->streamId.end(), d.begin())) {
                s->stop = true;
            }
        }
    } else if (p.code == 76 && d.size() >= 7) {
        const uint8_t op = d[5];
        const int level = d[6] & 3;
        LogEvent("command: playback control operation %u level %u", static_cast<unsigned>(op),
                 static_cast<unsigned>(d[6]));
        bool steered = false;
        for (auto &s : m_Senders) {
            if (s->kind == ChannelKind::Playback && std::equal(s->streamId.begin(), s->streamId.end(), d.begin())) {
                Steer(*s, op, level);
                steered = true;
            }
        }
        const uint32_t next = m_nNextStreamId;
        const emu::Id4 acknowledged{static_cast<uint8_t>(next >> 24), static_cast<uint8_t>(next >> 16),
                                    static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next)};
        if (!steered && std::equal(acknowledged.begin(), acknowledged.end(), d.begin()) &&
            m_EarlyControls.size() < 64) {
            if (m_EarlyControlsFor != acknowledged) {
                m_EarlyControls.clear();
                m_EarlyControlsFor = acknowledged;
            }
            m_EarlyControls.emplace_back(op, level);
        }
    } else {
        const bool store = !d.empty();
        LogEvent("command: parameter request %u with %zu bytes%s", static_cast<unsigned>(p.code), d.size(),
                 store ? " (stored)" : "");
        return;
    }
    m_Cond.notify_all();
}

long CMediaServer::FramesToSend(const emu::ConnectionInfo &info, const emu::RecordedPacket &opening) const
{
    const emu::Bytes &d = opening.payload;
    switch (info.kind) {
    case ChannelKind::Live: return d.size() >= 2 && d[0] < m_Options.channels ? -1 : 0;
    case ChannelKind::Playback:
        return d.size() >= 7 ? static_cast<long>(SecondsLeftInRecording(SecondOfDay(d, 4))) * m_Options.fps : 0;
    case ChannelKind::Download:
        return d.size() >= 10
                   ? DownloadFrames(SecondOfDay(d, 4), SecondOfDay(d, 7), m_Options.downloadCapSeconds, m_Options.fps)
                   : 0;
    default: return 0;
    }
}

emu::Bytes CMediaServer::OpeningMedia(const emu::ConnectionInfo &info, const emu::RecordedPacket &opening)
{
    const bool opens = (info.kind == ChannelKind::Live && opening.code == 57) ||
                       (info.kind == ChannelKind::Playback && opening.code == 73) ||
                       (info.kind == ChannelKind::Download && opening.code == 81);
    if (!opens || m_Options.startDelayMs > 0 || (info.kind == ChannelKind::Live && m_Options.multicast) ||
        m_Frames.empty()) {
        return {};
    }
    const long total = FramesToSend(info, opening);
    const long n = total < 0 ? kFramesWithReply : std::min(total, kFramesWithReply);
    emu::Bytes media;
    for (long i = 0; i < n; ++i) {
        const emu::Bytes &frame = m_Frames[static_cast<size_t>(i) % m_Frames.size()];
        media.insert(media.end(), frame.begin(), frame.end());
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_SentWithReply[info.index] = n;
    return media;
}

void CMediaServer::StartSender(const emu::ConnectionInfo &info, const emu::RecordedPacket &opening)
{
    auto s = std::make_unique<Sender>();
    s->conn = info.index;
    s->kind = info.kind;
    s->transport = info.transport;
    s->total = FramesToSend(info, opening);
    const emu::Bytes &d = opening.payload;
    if (info.kind == ChannelKind::Live) {
        s->channel = d[0];
        if (s->total == 0) {
            LogEvent("conn %d: no channel %d (channels 0-%d): closing", info.index, s->channel, m_Options.channels - 1);
        }
    } else {
        s->channel = d[3];
        if (info.kind == ChannelKind::Playback && s->total == 0) {
            LogEvent("conn %d: no recording at %02d:%02d:%02d: closing", info.index, d[4], d[5], d[6]);
        }
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_bStopping) {
        return;
    }
    ReapFinished();
    if (const auto it = m_SentWithReply.find(info.index); it != m_SentWithReply.end()) {
        s->first = it->second;
        m_SentWithReply.erase(it);
    }
    if (info.kind == ChannelKind::Playback) {
        // The acknowledgement carried the id set after the previous opening;
        // the next playback gets a new one.
        const uint32_t id = m_nNextStreamId++;
        s->streamId = {static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
                       static_cast<uint8_t>(id)};
        if (m_EarlyControlsFor == s->streamId) {
            for (const auto &[op, level] : m_EarlyControls) {
                Steer(*s, op, level);
            }
        }
        m_EarlyControls.clear();
        const uint32_t next = m_nNextStreamId;
        m_Emulator.SetStreamId({static_cast<uint8_t>(next >> 24), static_cast<uint8_t>(next >> 16),
                                static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next)});
    }
    Launch(std::move(s));
}

void CMediaServer::Steer(Sender &s, uint8_t op, int level)
{
    switch (op) {
    case 0: s.paused = true; break;
    case 1:
        s.paused = false;
        s.speed = 1.0;
        break;
    case 4:
        s.paused = true;
        ++s.steps;
        break;
    case 3: s.speed = std::ldexp(1.0, 4 - level); break;  // faster: x2 .. x16
    case 2: s.speed = std::ldexp(1.0, level - 4); break;  // slower: x1/2 .. x1/16
    default: break;
    }
}

void CMediaServer::StartMessenger(const emu::ConnectionInfo &info)
{
    auto s = std::make_unique<Sender>();
    s->conn = info.index;
    s->kind = ChannelKind::Command;
    std::lock_guard<std::mutex> lk(m_Mutex);
    if (m_bStopping) {
        return;
    }
    ReapFinished();
    Launch(std::move(s));
}

void CMediaServer::Launch(std::unique_ptr<Sender> s)
{
    Sender *raw = s.get();
    m_Senders.push_back(std::move(s));
    raw->thread = std::thread([this, raw] { raw->kind == ChannelKind::Command ? RunMessages(*raw) : Run(*raw); });
}

void CMediaServer::RunMessages(Sender &s)
{
    // Bytes 0-3 count the messages; the words at 4, 6 and 8 are nonzero, so
    // release 1.0.0.1 of the library passes them on too.
    const auto period = std::chrono::milliseconds(m_Options.messageEveryMs);
    const auto never = Clock::time_point::max();
    const auto closeAt = m_Options.closeCommandAfterMs > 0
                             ? Clock::now() + std::chrono::milliseconds(m_Options.closeCommandAfterMs)
                             : never;
    uint32_t sent = 0;
    std::unique_lock<std::mutex> lk(m_Mutex);
    auto next = m_Options.messageEveryMs > 0 ? Clock::now() + period : never;
    while (!m_Cond.wait_until(lk, std::min(next, closeAt), [&] { return s.stop; })) {
        lk.unlock();
        if (Clock::now() >= closeAt) {
            LogEvent("conn %d: command channel closed %d ms after the login", s.conn, m_Options.closeCommandAfterMs);
            m_Emulator.CloseConnection(s.conn);
            lk.lock();
            break;
        }
        const uint32_t n = sent + 1;
        const emu::Bytes message{static_cast<uint8_t>(n),
                                 static_cast<uint8_t>(n >> 8),
                                 static_cast<uint8_t>(n >> 16),
                                 static_cast<uint8_t>(n >> 24),
                                 1,
                                 0,
                                 2,
                                 0,
                                 3,
                                 0,
                                 0,
                                 0};
        const bool ok = m_Emulator.SendPacket(s.conn, 56, message);
        lk.lock();
        if (!ok) {
            break;
        }
        sent = n;
        next += period;
    }
    if (m_Options.messageEveryMs > 0) {
        LogEvent("conn %d: %u recorder messages sent", s.conn, sent);
    }
    s.finished = true;
}

void CMediaServer::ChangeBits(const std::vector<BitChange> &changes)
{
    std::lock_guard<std::mutex> order(m_WordsMutex);
    std::string what;
    for (const BitChange &c : changes) {
        const bool on = c.on.value_or((m_Words[static_cast<size_t>(c.word - 1)] >> c.bit & 1) == 0);
        uint16_t &w = m_Words[static_cast<size_t>(c.word - 1)];
        const uint16_t mask = static_cast<uint16_t>(1u << c.bit);
        w = static_cast<uint16_t>(on ? (w | mask) : (w & ~mask));
        what += (what.empty() ? "" : ", ") + std::string("word ") + std::to_string(c.word) + " bit " +
                std::to_string(c.bit) + (on ? " set" : " cleared");
    }
    const uint32_t n = ++m_nRaised;
    // Bytes 0-3 count these messages, the words follow at 4, 6 and 8.
    const emu::Bytes message{static_cast<uint8_t>(n),
                             static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 24),
                             static_cast<uint8_t>(m_Words[0]),
                             static_cast<uint8_t>(m_Words[0] >> 8),
                             static_cast<uint8_t>(m_Words[1]),
                             static_cast<uint8_t>(m_Words[1] >> 8),
                             static_cast<uint8_t>(m_Words[2]),
                             static_cast<uint8_t>(m_Words[2] >> 8),
                             0,
                             0};
    std::set<int> conns;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        conns = m_LoggedIn;
    }
    for (const int conn : conns) {
        m_Emulator.SendPacket(conn, 56, message);
    }
    LogEvent("message %u: %s, words %04x %04x %04x, to %zu command channel(s)", n, what.c_str(), m_Words[0], m_Words[1],
             m_Words[2], conns.size());
}

void CMediaServer::Signal()
{
    std::vector<BitChange> flips;
    for (const SignalBit &b : m_Options.signalBits) {
        flips.push_back(BitChange{b.word, b.bit, std::nullopt});
    }
    if (!flips.empty()) {
        ChangeBits(flips);
    }
}

void CMediaServer::RunRaises()
{
    struct Due {
        Clock::time_point at;
        bool set;  // the next change sets the bit
    };
    std::vector<Due> due;
    const auto start = Clock::now();
    for (const RaiseSchedule &r : m_Options.raises) {
        due.push_back(Due{start + std::chrono::milliseconds(r.everyMs), true});
    }
    std::unique_lock<std::mutex> lk(m_Mutex);
    while (!m_bStopping) {
        size_t next = 0;
        for (size_t i = 1; i < due.size(); ++i) {
            next = due[i].at < due[next].at ? i : next;
        }
        if (m_Cond.wait_until(lk, due[next].at, [this] { return m_bStopping; })) {
            break;
        }
        if (Clock::now() < due[next].at) {
            continue;
        }
        const RaiseSchedule &r = m_Options.raises[next];
        const bool set = due[next].set;
        due[next].at += std::chrono::milliseconds(set ? r.holdMs : r.everyMs - r.holdMs);
        due[next].set = !set;
        lk.unlock();
        ChangeBits({BitChange{r.word, r.bit, set}});
        lk.lock();
    }
}

void CMediaServer::ReapFinished()
{
    for (auto it = m_Senders.begin(); it != m_Senders.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();  // it has nothing left to do but return
            it = m_Senders.erase(it);
        } else {
            ++it;
        }
    }
}

bool CMediaServer::SendFrame(Sender &s, size_t ordinal)
{
    const emu::Bytes &frame = m_Frames[ordinal % m_Frames.size()];
    s.payloadBytes += frame.size() - 4;
    if (s.kind == ChannelKind::Live && m_Options.multicast) {
        for (size_t at = 0; at < frame.size(); at += kMulticastStretch) {
            const size_t n = std::min(kMulticastStretch, frame.size() - at);
            if (!m_Emulator.SendMulticast(m_Options.group, m_Options.groupPort,
                                          emu::BuildDatagram(s.multicastSeq++, frame.data() + at, n))) {
                return false;
            }
        }
        return true;
    }
    return m_Emulator.SendMedia(s.conn, frame);
}

void CMediaServer::Run(Sender &s)
{
    const bool download = s.kind == ChannelKind::Download;
    long sent = s.first;
    bool lost = false;
    for (long i = 0; i < s.first; ++i) {
        s.payloadBytes += m_Frames[static_cast<size_t>(i) % m_Frames.size()].size() - 4;
    }
    if (s.total != 0) {
        std::unique_lock<std::mutex> lk(m_Mutex);
        // The frames that went with the acknowledgement were the first
        // period's; a polite recorder waits its start delay instead.
        const auto framePeriod =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / m_Options.fps));
        const auto period = download ? std::chrono::duration_cast<Clock::duration>(kDownloadPeriod) : framePeriod;
        auto next = Clock::now() + (s.first > 0 ? std::chrono::duration_cast<Clock::duration>(period)
                                                : std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::milliseconds(m_Options.startDelayMs)));
        while (s.total < 0 || sent < s.total) {
            if (m_Cond.wait_until(lk, next, [&] { return s.stop; })) {
                break;
            }
            if (s.paused && s.steps == 0) {
                m_Cond.wait(lk, [&] { return s.stop || !s.paused || s.steps > 0; });
                next = Clock::now();
                continue;
            }
            if (s.paused) {
                --s.steps;
            }
            const double speed = s.speed;
            lk.unlock();
            if (!SendFrame(s, static_cast<size_t>(sent))) {
                lost = true;
                lk.lock();
                break;
            }
            if (m_pFrameLog != nullptr && s.kind == ChannelKind::Live) {
                m_pFrameLog->Sent(s.channel, static_cast<size_t>(sent) % m_Frames.size());
            }
            ++sent;
            if (s.kind == ChannelKind::Live && m_Options.dropLiveAfterFrames > 0 &&
                sent >= m_Options.dropLiveAfterFrames && !m_bDroppedLive.exchange(true)) {
                LogEvent("conn %d: dropping the live connection after %ld frames", s.conn, sent);
                m_Emulator.CloseConnection(s.conn);
                lost = true;
                lk.lock();
                break;
            }
            // The schedule, not the time each send took, sets the pace:
            // an hour of live video carries exactly an hour of frames.
            next += std::chrono::duration_cast<Clock::duration>(period / speed);
            lk.lock();
        }
    }
    bool stopped;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        stopped = s.stop;
    }
    LogEvent("conn %d: %s channel %d: %ld frames sent, %llu payload bytes%s", s.conn, emu::KindName(s.kind), s.channel,
             sent, static_cast<unsigned long long>(s.payloadBytes),
             lost ? ", connection gone" : (stopped ? ", stopped" : ", done"));
    if (!lost && !stopped && s.kind != ChannelKind::Live) {
        m_Emulator.CloseConnection(s.conn);
    } else if (s.total == 0 && s.transport == Transport::Tcp) {
        m_Emulator.CloseConnection(s.conn);
    }
    std::lock_guard<std::mutex> lk(m_Mutex);
    s.finished = true;
}

}  // namespace kn::recorder
