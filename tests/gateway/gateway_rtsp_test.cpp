// kestrel gateway end to end: kestrel-recorder as the recorder, the gateway
// as a program, and ffmpeg's own RTSP client (ffprobe, ffmpeg) as the
// clients, all on 127.0.0.1 with bounded waits.
#include "tests/gateway/media_tools_fixture.h"
#include "tests/support/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <thread>

namespace kn::test {
namespace {

using namespace std::chrono_literals;
using GatewayRtspTest = CMediaToolsTest;

// An RTSP client that sets a channel up, plays it and then reads nothing:
// over TCP its receive buffer is small, so what the server writes to it
// backs up at once. Every receive waits at most 5 s.
class CStalledRtspClient {
public:
    ~CStalledRtspClient()
    {
        for (int fd : {m_nFd, m_nUdp}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    // Sets the channel up and plays it; with describes 2 the channel is
    // described twice on the connection first, as some clients do.
    // Over UDP the stream comes to a port of its own.
    bool Play(uint16_t port, const std::string &path, std::string &why, int describes = 1, bool udp = false)
    {
        m_nFd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        ::setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        timeval wait{5, 0};
        ::setsockopt(m_nFd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string transport = "RTP/AVP/TCP;unicast;interleaved=0-1";
        if (udp) {
            m_nUdp = ::socket(AF_INET, SOCK_DGRAM, 0);
            ::setsockopt(m_nUdp, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            sockaddr_in u{};
            u.sin_family = AF_INET;
            u.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof u;
            ::bind(m_nUdp, reinterpret_cast<sockaddr *>(&u), sizeof u);
            ::getsockname(m_nUdp, reinterpret_cast<sockaddr *>(&u), &len);
            const int rtp = ntohs(u.sin_port);
            transport = "RTP/AVP;unicast;client_port=" + std::to_string(rtp) + "-" + std::to_string(rtp + 1);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_nFd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            why = "cannot connect";
            return false;
        }
        const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + path;
        std::string reply;
        for (int n = 1; n <= describes; ++n) {
            if (!Request("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(n) +
                             "\r\nAccept: application/sdp\r\n\r\n",
                         reply) ||
                reply.find("sprop-parameter-sets=") == std::string::npos) {
                why = "DESCRIBE " + std::to_string(n) + ": " + reply;
                return false;
            }
        }
        std::smatch m;
        const std::string base =
            std::regex_search(reply, m, std::regex("Content-Base: *([^\r]+)")) ? m[1].str() : url + "/";
        const std::string control =
            std::regex_search(reply, m, std::regex("a=control:(stream=[0-9]+)")) ? m[1].str() : "";
        if (!Request("SETUP " + base + control + " RTSP/1.0\r\nCSeq: 10\r\nTransport: " + transport + "\r\n\r\n",
                     reply) ||
            !std::regex_search(reply, m, std::regex("Session: *([^;\r]+)"))) {
            why = "SETUP: " + reply;
            return false;
        }
        const std::string session = m[1].str();
        if (std::regex_search(reply, m, std::regex("ssrc=([0-9A-Fa-f]+)"))) {
            m_nSsrc = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
        }
        if (!Request("PLAY " + base + " RTSP/1.0\r\nCSeq: 11\r\nSession: " + session + "\r\n\r\n", reply)) {
            why = "PLAY: " + reply;
            return false;
        }
        // Where the stream begins: its first packet is the one named here.
        if (std::regex_search(reply, m, std::regex("RTP-Info: *url=[^;]+;seq=([0-9]+);rtptime=([0-9]+)"))) {
            m_nFirstSeq = std::stol(m[1]);
        }
        m_Pending.assign(reply.begin() + static_cast<long>(reply.find("\r\n\r\n") + 4), reply.end());
        return true;
    }

    // What came on the RTP channel while reading.
    struct Received {
        long long bytes = 0;  // -1: the server closed the connection
        long firstSeq = -1;   // the first packet's sequence number
        bool ssrc = true;     // every packet had the SSRC the SETUP answer named
        uint32_t oldest = 0;  // the first packet's RTP time
        uint32_t jump = 0;    // the longest step in RTP time from a packet to the next
        uint32_t before = 0;  // the RTP time from the first packet to that step
        int gaps = 0;         // packets whose sequence number is not the one after the last's
    };

    // Reads for a while, taking the interleaved packets apart.
    Received ReadRtpFor(std::chrono::milliseconds span)
    {
        Received r;
        bool any = false;
        uint32_t last = 0;
        uint16_t seq = 0;
        const auto packet = [&](const uint8_t *p, size_t len) {
            if (len < 12) {
                return;
            }
            const auto s = static_cast<uint16_t>((p[2] << 8) | p[3]);
            r.gaps += any && s != static_cast<uint16_t>(seq + 1) ? 1 : 0;
            seq = s;
            const uint32_t ts = (uint32_t{p[4]} << 24) | (uint32_t{p[5]} << 16) | (p[6] << 8) | p[7];
            const uint32_t ssrc = (uint32_t{p[8]} << 24) | (uint32_t{p[9]} << 16) | (p[10] << 8) | p[11];
            r.ssrc = r.ssrc && ssrc == m_nSsrc;
            if (!any) {
                r.firstSeq = (p[2] << 8) | p[3];
                r.oldest = last = ts;
                any = true;
            }
            if (ts - last > r.jump) {
                r.jump = ts - last;
                r.before = last - r.oldest;
            }
            last = ts;
        };
        char chunk[16384];
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until) {
            const ssize_t n = ::recv(m_nUdp >= 0 ? m_nUdp : m_nFd, chunk, sizeof chunk, 0);
            if (n == 0 && m_nUdp < 0) {
                r.bytes = -1;
                return r;
            }
            if (n < 0) {
                break;  // nothing within 5 s
            }
            r.bytes += n;
            if (m_nUdp >= 0) {
                packet(reinterpret_cast<const uint8_t *>(chunk), static_cast<size_t>(n));
                continue;
            }
            std::string &buf = m_Pending;
            buf.append(chunk, static_cast<size_t>(n));
            while (buf.size() >= 4 && buf[0] == '$') {
                const size_t len = (static_cast<uint8_t>(buf[2]) << 8) | static_cast<uint8_t>(buf[3]);
                if (buf.size() < 4 + len) {
                    break;
                }
                if (buf[1] == 0) {
                    packet(reinterpret_cast<const uint8_t *>(buf.data() + 4), len);
                }
                buf.erase(0, 4 + len);
            }
            if (!buf.empty() && buf[0] != '$') {
                buf.clear();  // an RTSP message from the server: not looked at
            }
        }
        return r;
    }

    long FirstSeq() const { return m_nFirstSeq; }

private:
    // Sends a request and reads its reply (headers and any body); false
    // unless it is 200 OK.
    bool Request(const std::string &text, std::string &reply)
    {
        if (::send(m_nFd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
            return false;
        }
        reply.clear();
        size_t end = std::string::npos;
        size_t body = 0;
        char c[4096];
        while (end == std::string::npos || reply.size() < end + 4 + body) {
            const ssize_t n = ::recv(m_nFd, c, sizeof c, 0);
            if (n <= 0) {
                return false;
            }
            reply.append(c, static_cast<size_t>(n));
            if (end == std::string::npos && (end = reply.find("\r\n\r\n")) != std::string::npos) {
                std::smatch m;
                const std::string head = reply.substr(0, end);
                body = std::regex_search(head, m, std::regex("Content-Length: *([0-9]+)")) ? std::stoul(m[1]) : 0;
            }
        }
        return reply.rfind("RTSP/1.0 200", 0) == 0;
    }

    int m_nFd = -1;
    int m_nUdp = -1;
    uint32_t m_nSsrc = 0;
    long m_nFirstSeq = -1;
    std::string m_Pending;  // bytes read past a reply
};

TEST_F(GatewayRtspTest, ProbesAsH264At352x288OverTcpAndUdp)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway({"--stats", "1"}));
    const struct {
        int channel;
        const char *transport;
    } cases[] = {{0, "tcp"}, {5, "udp"}};
    for (const auto &c : cases) {
        const RunResult r = Probe(Url(c.channel), c.transport);
        ASSERT_EQ(0, r.rc) << c.transport << ": " << r.err;
        EXPECT_NE(std::string::npos, r.out.find("codec_name=h264")) << c.transport << r.out;
        EXPECT_NE(std::string::npos, r.out.find("width=352")) << c.transport << r.out;
        EXPECT_NE(std::string::npos, r.out.find("height=288")) << c.transport << r.out;
    }
    EXPECT_TRUE(Eventually([&] {
        return std::regex_search(GatewayLog(), std::regex("stats channel 5: frames [1-9][0-9]*, bytes [1-9]"));
    }));
    // The server notices a client gone a moment after the client ended.
    EXPECT_TRUE(Eventually([&] {
        return std::regex_search(GatewayLog(), std::regex("channel 5: client 127\\.0\\.0\\.1 left \\(0 clients\\)"));
    }));
    const std::string log = GatewayLog();
    EXPECT_TRUE(std::regex_search(log, std::regex("channel 0: client 127\\.0\\.0\\.1 joined \\(1 client\\)")));
}

TEST_F(GatewayRtspTest, AStalledTcpClientNeitherHoldsUpAFastOneNorIsDisconnected)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    const uint16_t port = StartGateway({"--stats", "1"});
    ASSERT_NE(0, port);
    CStalledRtspClient stalled;
    std::string why;
    ASSERT_TRUE(stalled.Play(port, "/live/3", why)) << why;
    // The fast client plays beside it, from its own start to its end.
    const RunResult r = Program(KN_FFMPEG_BIN, RecordArgs(Url(3), 6, Path("fast.mp4")), "fast");
    ASSERT_EQ(0, r.rc) << r.err;
    ExpectDecodesFromAKeyframe(Path("fast.mp4"), 100);  // 6 s at 25 frames a second
    EXPECT_TRUE(Eventually([&] {
        return std::regex_search(GatewayLog(), std::regex("channel 3: client 127\\.0\\.0\\.1 left \\(1 client\\)"));
    }));
    // The stalled one is still served: reading again, it gets the stream,
    // not the whole of what it missed: it went on at a keyframe.
    const auto resumed = stalled.ReadRtpFor(1500ms);
    EXPECT_GT(resumed.bytes, 0);
    // The stream went on at a keyframe (a step of more than the stall less
    // what it was sent), after at most 2 s of its frames waiting for the
    // connection and what the kernel holds (32 KiB, 1.6 s of this stream).
    EXPECT_GT(resumed.jump, 2 * 90000u);
    EXPECT_LT(resumed.before, 5 * 90000u);
    EXPECT_FALSE(std::regex_search(GatewayLog(), std::regex("channel 3: client [^ ]+ left \\(0 clients\\)")));
}

TEST_F(GatewayRtspTest, ViewersOfAChannelEachPlayFromThePacketTheirAnswerNamesOverTcpAndUdp)
{
    ASSERT_NE(0, StartRecorder());
    const uint16_t port = StartGateway();
    ASSERT_NE(0, port);
    // Two viewers of one channel, the second joining the first's media
    // half a second later, with the cached group; over TCP the channel is
    // described twice on one connection first, as some clients do.
    const struct {
        bool udp;
        int describes;
        const char *path;
    } cases[] = {{false, 2, "/live/4"}, {true, 1, "/live/6"}};
    for (const auto &c : cases) {
        CStalledRtspClient viewers[2];
        for (CStalledRtspClient &v : viewers) {
            std::string why;
            ASSERT_TRUE(v.Play(port, c.path, why, c.describes, c.udp)) << c.path << ": " << why;
            const auto r = v.ReadRtpFor(&v == &viewers[0] ? 500ms : 1000ms);
            EXPECT_GT(r.bytes, 0) << c.path;
            EXPECT_NE(-1, v.FirstSeq()) << c.path;
            EXPECT_EQ(v.FirstSeq(), r.firstSeq) << c.path;
            EXPECT_TRUE(r.ssrc) << c.path;
            // The joiner's cached group, packets of its own, and then the
            // channel's, in one run.
            EXPECT_EQ(0, c.udp ? 0 : r.gaps) << c.path;
        }
    }
}

TEST_F(GatewayRtspTest, TwoClientsOneJoiningLaterBothStartOnAKeyframeAndDecodeCleanly)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway());
    CChildProcess first, second;
    ASSERT_TRUE(
        first.Start(KN_FFMPEG_BIN, RecordArgs(Url(2), 3, Path("first.mp4")), Path("first.out"), Path("first.err")));
    // The second client joins mid-picture-group of the stream the first one
    // opened.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(
        second.Start(KN_FFMPEG_BIN, RecordArgs(Url(2), 3, Path("second.mp4")), Path("second.out"), Path("second.err")));
    EXPECT_EQ(0, first.Wait(40s)) << ReadText(Path("first.err"));
    EXPECT_EQ(0, second.Wait(40s)) << ReadText(Path("second.err"));
    ExpectDecodesFromAKeyframe(Path("first.mp4"), 60);
    ExpectDecodesFromAKeyframe(Path("second.mp4"), 60);
    EXPECT_EQ(1u, Count(RecorderLog(), std::regex("live channel 2 requested"))) << "one recorder stream for both";
}

TEST_F(GatewayRtspTest, ReconnectsWhenTheRecorderDropsTheStreamAndTheClientGetsFramesAgain)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder({"--drop-live-after", "30"}));
    ASSERT_NE(0, StartGateway({"--idle-timeout", "1"}));
    const RunResult r = Program(KN_FFMPEG_BIN, RecordArgs(Url(1), 4, Path("across.mp4")), "across");
    ASSERT_EQ(0, r.rc) << r.err;
    const std::string log = GatewayLog();
    EXPECT_TRUE(std::regex_search(log, std::regex("channel 1: stream lost"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("channel 1: stream reopened after [0-9.]+ s \\(reconnection 1\\)")))
        << log;
    EXPECT_EQ(2u, Count(RecorderLog(), std::regex("live channel 1 requested")));
    // 30 frames came before the drop; a 4 s recording holds frames from after it.
    ExpectDecodesFromAKeyframe(Path("across.mp4"), 60);
}

TEST_F(GatewayRtspTest, ARecorderStreamIsReusedWithinTheLingerAndClosedAfterIt)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway({"--linger", "3"}));
    ASSERT_EQ(0, Probe(Url(3), "tcp", "a").rc);
    ASSERT_EQ(0, Probe(Url(3), "udp", "b").rc);
    ASSERT_TRUE(Eventually([&] { return Count(GatewayLog(), std::regex("channel 3: stream closed")) > 0; }));
    ASSERT_TRUE(Eventually([&] { return Count(GatewayLog(), std::regex("channel 3: client \\S+ left")) == 2; }));
    const std::string log = GatewayLog();
    // Every client's arrival and departure, and every closing, in order.
    const std::regex event("T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z gateway: live: channel 3: "
                           "(client \\S+ joined|client \\S+ left|stream closed, its last client left 3\\.[0-9] s ago)");
    std::vector<std::pair<long, char>> events;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), event); it != std::sregex_iterator(); ++it) {
        const std::string what = (*it)[5];
        events.emplace_back(StampMs((*it)[1], (*it)[2], (*it)[3], (*it)[4]),
                            what.find("joined") != std::string::npos   ? 'j'
                            : what.find("closed") != std::string::npos ? 'c'
                                                                       : 'l');
    }
    // A client arriving within the linger reuses the stream; one that comes
    // later (a slow ffprobe start on a loaded machine) finds it closed. Each
    // closing comes the linger after the last client left.
    size_t opened = 0, closings = 0;
    long lastLeft = -1;
    bool open = false;
    for (const auto &[at, what] : events) {
        if (what == 'j' && !open) {
            ++opened;
            open = true;
        } else if (what == 'l') {
            lastLeft = at;
        } else if (what == 'c') {
            ++closings;
            open = false;
            EXPECT_GE(at - lastLeft, 2900) << log;
            EXPECT_LE(at - lastLeft, 4500) << log;
        }
    }
    EXPECT_GE(closings, 1u) << log;
    EXPECT_EQ(opened, Count(RecorderLog(), std::regex("live channel 3 requested")))
        << "a stream per opening, reused within the linger";
}

TEST_F(GatewayRtspTest, ClientsAuthenticateWhenCredentialsAreSetAndNoPasswordIsShown)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ::setenv("KESTREL_RTSP_PASSWORD", "rtsp-pass-81", 1);
    ::setenv("KESTREL_PASSWORD", "recorder-pass-72", 1);
    ASSERT_NE(0, StartGateway({"--rtsp-user", "viewer"}));
    const RunResult refused = Probe(Url(0), "tcp", "anonymous");
    EXPECT_NE(0, refused.rc);
    EXPECT_NE(std::string::npos, refused.err.find("401")) << refused.err;
    const RunResult wrong = Probe(Url(0, "viewer:wrong@"), "tcp", "wrong");
    EXPECT_NE(0, wrong.rc);
    const RunResult accepted = Probe(Url(0, "viewer:rtsp-pass-81@"), "tcp", "accepted");
    EXPECT_EQ(0, accepted.rc) << accepted.err;
    EXPECT_NE(std::string::npos, accepted.out.find("codec_name=h264"));
    const std::string log = GatewayLog();
    EXPECT_EQ(std::string::npos, log.find("rtsp-pass-81"));
    EXPECT_EQ(std::string::npos, log.find("recorder-pass-72"));

    // Off loopback without credentials the gateway does not start at all.
    ::unsetenv("KESTREL_RTSP_PASSWORD");
    const RunResult open = Program(KN_KESTREL_BIN, {"gateway", "--listen", "0.0.0.0:0"}, "open", 10s);
    EXPECT_EQ(2, open.rc);
    EXPECT_NE(std::string::npos, open.err.find("needs RTSP credentials")) << open.err;
}

// A listener the gateway was told to open and cannot (the port is taken)
// ends it at start with its own status and the address, whichever side it
// is; without the web side (--http off) the same gateway serves.
TEST_F(GatewayRtspTest, AListenAddressInUseEndsTheGatewayAtStartWithItsOwnStatus)
{
    ASSERT_NE(0, StartRecorder());
    CTcpListener taken;
    ASSERT_TRUE(taken.Ok());
    const std::string busy = "127.0.0.1:" + std::to_string(taken.Port());
    const std::string recorder = std::to_string(m_wRecorderPort);
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--listen", "127.0.0.1:0", "--http", busy}, "cannot listen for HTTP on " + busy},
        {{"--listen", busy, "--http", "off"}, "cannot listen for RTSP on " + busy},
        {{"--listen", busy, "--http", "127.0.0.1:0"}, "cannot listen for RTSP on " + busy},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"gateway", "-p", recorder};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.says);
        const RunResult r = Program(KN_KESTREL_BIN, args, "busy", 20s);
        EXPECT_EQ(3, r.rc) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("serving RTSP only")) << r.err;
    }
    ASSERT_NE(0, StartGateway({"--http", "off"}));
    EXPECT_EQ(std::string::npos, GatewayLog().find("http://")) << GatewayLog();
}

TEST_F(GatewayRtspTest, CtrlCEndsTheClientsAndLogsOutOfTheRecorder)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway());
    CChildProcess client;
    ASSERT_TRUE(
        client.Start(KN_FFMPEG_BIN, RecordArgs(Url(0), 0, Path("open.mp4")), Path("open.out"), Path("open.err")));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("channel 0: stream opened") != std::string::npos; }));
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("open.mp4")).size() > 0; }));
    m_Gateway.Signal(SIGINT);
    EXPECT_EQ(0, m_Gateway.Wait(10s));
    EXPECT_TRUE(Eventually([&] { return RecorderLog().find("command: logout") != std::string::npos; }));
    EXPECT_NE(-1, client.Wait(20s)) << "the client noticed the end";
    const std::string log = GatewayLog();
    EXPECT_NE(std::string::npos, log.find("gateway: stopping"));
    EXPECT_NE(std::string::npos, log.find("gateway: stopped"));
}

TEST_F(GatewayRtspTest, ALongOutageEndsTheClientsSessions)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway({"--idle-timeout", "1", "--give-up", "2", "--backoff-max", "1"}));
    CChildProcess client;
    ASSERT_TRUE(
        client.Start(KN_FFMPEG_BIN, RecordArgs(Url(4), 0, Path("outage.mp4")), Path("outage.out"), Path("outage.err")));
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("outage.mp4")).size() > 0; }));
    m_Recorder.Kill();
    // Well inside the client's own 15 s time-out: the gateway ended it.
    EXPECT_NE(-1, client.Wait(10s)) << "the client was told the stream ended";
    EXPECT_TRUE(std::regex_search(GatewayLog(), std::regex("channel 4: no stream for [0-9.]+ s: ending the sessions")));
}

}  // namespace
}  // namespace kn::test
