// kestrel gateway end to end: kestrel-recorder as the recorder, the gateway
// as a program, and ffmpeg's own RTSP client (ffprobe, ffmpeg) as the
// clients, all on 127.0.0.1 with bounded waits.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/eventually.h"

namespace kn::test {
namespace {

using namespace std::chrono_literals;

#if defined(KN_FFPROBE_BIN) && defined(KN_FFMPEG_BIN)
#define KN_NEED_FFMPEG()
#else
#define KN_NEED_FFMPEG() GTEST_SKIP() << "ffmpeg and ffprobe are needed"
#define KN_FFPROBE_BIN ""
#define KN_FFMPEG_BIN ""
#endif

struct RunResult {
    int rc = -1;
    std::string out, err;
};

// Milliseconds of the day of a log line's time stamp ("...THH:MM:SS.mmmZ").
long StampMs(const std::string &hh, const std::string &mm, const std::string &ss, const std::string &ms)
{
    return ((std::stol(hh) * 60 + std::stol(mm)) * 60 + std::stol(ss)) * 1000 + std::stol(ms);
}

size_t Count(const std::string &text, const std::regex &re)
{
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                                             std::sregex_iterator()));
}

class GatewayRtspTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrel-gateway-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_Dir = pattern;
        // GStreamer keeps type data for the process's life; leak reports of
        // the gateway process would be about that, not about the gateway.
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        ::unsetenv("KESTREL_PASSWORD");
        ::unsetenv("KESTREL_RTSP_PASSWORD");
    }
    void TearDown() override
    {
        m_Gateway.Signal(SIGINT);
        m_Gateway.Wait(10s);
        m_Recorder.Signal(SIGINT);
        m_Recorder.Wait(10s);
        if (!HasFailure()) {
            std::system(("rm -rf '" + m_Dir + "'").c_str());
        } else {
            std::fprintf(stderr, "gateway log:\n%s\nrecorder log:\n%s\n", GatewayLog().c_str(), RecorderLog().c_str());
        }
    }

    std::string Path(const std::string &name) const { return m_Dir + "/" + name; }
    std::string GatewayLog() const { return ReadText(Path("gateway.log")); }
    std::string RecorderLog() const { return ReadText(Path("recorder.log")); }

    // The port a program reports in its log, once it does.
    uint16_t PortLogged(const std::string &log, const std::regex &re)
    {
        uint16_t port = 0;
        Eventually([&] {
            const std::string text = ReadText(log);
            std::smatch m;
            if (std::regex_search(text, m, re)) {
                port = static_cast<uint16_t>(std::stoi(m[1]));
            }
            return port != 0;
        });
        return port;
    }

    uint16_t StartRecorder(std::vector<std::string> args = {})
    {
        args.insert(args.end(), {"--port", "0", "--channels", "8"});
        if (!m_Recorder.Start(KN_RECORDER_BIN, args, Path("recorder.out"), Path("recorder.log"))) {
            return 0;
        }
        m_wRecorderPort = PortLogged(Path("recorder.log"), std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"));
        return m_wRecorderPort;
    }

    uint16_t StartGateway(std::vector<std::string> args = {})
    {
        std::vector<std::string> all{"gateway", "-p", std::to_string(m_wRecorderPort), "--listen", "127.0.0.1:0",
                                     "--timeout", "2000", "--channels", "8"};
        all.insert(all.end(), args.begin(), args.end());
        if (!m_Gateway.Start(KN_KESTREL_BIN, all, Path("gateway.out"), Path("gateway.log"))) {
            return 0;
        }
        m_wRtspPort = PortLogged(Path("gateway.log"), std::regex("serving rtsp://127\\.0\\.0\\.1:([0-9]+)/live/0"));
        return m_wRtspPort;
    }

    std::string Url(int channel, const std::string &credentials = "") const
    {
        return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(m_wRtspPort) + "/live/" +
               std::to_string(channel);
    }

    RunResult Program(const std::string &program, const std::vector<std::string> &args, const std::string &name,
                std::chrono::milliseconds limit = 40s)
    {
        CChildProcess p;
        RunResult r;
        if (p.Start(program, args, Path(name + ".out"), Path(name + ".err"))) {
            r.rc = p.Wait(limit);
        }
        r.out = ReadText(Path(name + ".out"));
        r.err = ReadText(Path(name + ".err"));
        return r;
    }

    RunResult Probe(const std::string &url, const std::string &transport, const std::string &name = "probe")
    {
        return Program(KN_FFPROBE_BIN,
                       {"-v", "error", "-rtsp_transport", transport, "-timeout", "15000000", "-show_entries",
                        "stream=codec_name,width,height,r_frame_rate", "-of", "default=nw=1", url},
                       name);
    }

    std::vector<std::string> RecordArgs(const std::string &url, double seconds, const std::string &file)
    {
        std::vector<std::string> a{"-v", "error", "-rtsp_transport", "tcp", "-timeout", "15000000", "-i", url};
        if (seconds > 0) {
            a.insert(a.end(), {"-t", std::to_string(seconds)});
        }
        a.insert(a.end(), {"-c", "copy", "-y", file});
        return a;
    }

    // Decodes every frame of a file: the key frame flags in order, and
    // whatever the decoder complained about.
    std::vector<int> DecodeKeyFlags(const std::string &file, std::string &complaints)
    {
        const RunResult r = Program(KN_FFPROBE_BIN,
                              {"-v", "error", "-select_streams", "v", "-show_entries", "frame=key_frame", "-of",
                               "csv=p=0", file},
                              "decode");
        complaints = r.rc == 0 ? r.err : "ffprobe failed: " + r.err;
        std::vector<int> flags;
        for (char c : r.out) {
            if (c == '0' || c == '1') {
                flags.push_back(c - '0');
            }
        }
        return flags;
    }

    void ExpectDecodesFromAKeyframe(const std::string &file, size_t atLeast)
    {
        std::string complaints;
        const std::vector<int> flags = DecodeKeyFlags(file, complaints);
        EXPECT_EQ("", complaints) << file;
        ASSERT_GE(flags.size(), atLeast) << file;
        EXPECT_EQ(1, flags.front()) << file << ": the first frame is a keyframe";
    }

    std::string m_Dir;
    CChildProcess m_Recorder, m_Gateway;
    uint16_t m_wRecorderPort = 0, m_wRtspPort = 0;
};

TEST_F(GatewayRtspTest, ProbesAsH264At352x288And25FramesASecondOverTcpAndUdp)
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
        EXPECT_NE(std::string::npos, r.out.find("r_frame_rate=25/1")) << c.transport << r.out;
    }
    EXPECT_TRUE(Eventually([&] {
        return std::regex_search(GatewayLog(), std::regex("stats channel 5: frames [1-9][0-9]*, bytes [1-9]"));
    }));
    const std::string log = GatewayLog();
    EXPECT_TRUE(std::regex_search(log, std::regex("channel 0: client 127\\.0\\.0\\.1 joined \\(1 client\\)")));
    EXPECT_TRUE(std::regex_search(log, std::regex("channel 5: client 127\\.0\\.0\\.1 left \\(0 clients\\)")));
}

TEST_F(GatewayRtspTest, TwoClientsOneJoiningLaterBothStartOnAKeyframeAndDecodeCleanly)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway());
    CChildProcess first, second;
    ASSERT_TRUE(first.Start(KN_FFMPEG_BIN, RecordArgs(Url(2), 3, Path("first.mp4")), Path("first.out"),
                            Path("first.err")));
    // The second client joins mid-picture-group of the stream the first one
    // opened.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(second.Start(KN_FFMPEG_BIN, RecordArgs(Url(2), 3, Path("second.mp4")), Path("second.out"),
                             Path("second.err")));
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
    ASSERT_NE(0, StartGateway({"--linger", "1.5"}));
    ASSERT_EQ(0, Probe(Url(3), "tcp", "a").rc);
    ASSERT_EQ(0, Probe(Url(3), "udp", "b").rc);
    ASSERT_TRUE(Eventually([&] { return RecorderLog().find("command: stop live channel 3") != std::string::npos; }));
    EXPECT_EQ(1u, Count(RecorderLog(), std::regex("live channel 3 requested"))) << "the second client reused it";
    const std::string log = GatewayLog();
    std::smatch left, closed;
    ASSERT_TRUE(std::regex_search(log, left,
                                  std::regex("T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z gateway: channel 3: client "
                                             "\\S+ left \\(0 clients\\)[^\\n]*\\n(?![\\s\\S]*joined)")))
        << log;
    ASSERT_TRUE(std::regex_search(
        log, closed,
        std::regex("T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z gateway: channel 3: stream closed, no client for 1\\.5 s")))
        << log;
    const long lingered = StampMs(closed[1], closed[2], closed[3], closed[4]) - StampMs(left[1], left[2], left[3], left[4]);
    EXPECT_GE(lingered, 1400);
    EXPECT_LE(lingered, 3000);
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

TEST_F(GatewayRtspTest, CtrlCEndsTheClientsAndLogsOutOfTheRecorder)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway());
    CChildProcess client;
    ASSERT_TRUE(client.Start(KN_FFMPEG_BIN, RecordArgs(Url(0), 0, Path("open.mp4")), Path("open.out"),
                             Path("open.err")));
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
    ASSERT_TRUE(client.Start(KN_FFMPEG_BIN, RecordArgs(Url(4), 0, Path("outage.mp4")), Path("outage.out"),
                             Path("outage.err")));
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("outage.mp4")).size() > 0; }));
    m_Recorder.Kill();
    // Well inside the client's own 15 s time-out: the gateway ended it.
    EXPECT_NE(-1, client.Wait(10s)) << "the client was told the stream ended";
    EXPECT_TRUE(std::regex_search(GatewayLog(), std::regex("channel 4: no stream for [0-9.]+ s: ending the sessions")));
}

}  // namespace
}  // namespace kn::test
