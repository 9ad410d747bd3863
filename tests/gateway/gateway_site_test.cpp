// kestrel gateway with a site file: several kestrel-recorder processes
// behind one gateway, ffmpeg's RTSP client (ffprobe, ffmpeg) as the
// clients. One recorder's trouble (killed, a refused channel) must not reach
// another recorder's or another channel's viewers; a reload touches only
// what changed.
#include "tests/gateway/media_tools_fixture.h"

#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace kn::test {
namespace {

class GatewaySiteTest : public CMediaToolsTest {
protected:
    // A recorder emulator of its own, logging to NAME.log (NAME-N.log when
    // started again).
    uint16_t StartNamedRecorder(const std::string &name, std::vector<std::string> args = {}, uint16_t port = 0)
    {
        auto &slot = m_Recorders[name];
        slot = std::make_unique<CChildProcess>();
        const std::string log = Path(name + "-" + std::to_string(++m_nStarts[name]) + ".log");
        args.insert(args.begin(), {"--channels", "8"});  // the test may ask for fewer
        args.insert(args.end(), {"--port", std::to_string(port)});
        if (!slot->Start(KN_RECORDER_BIN, args, Path(name + ".out"), log)) {
            return 0;
        }
        m_Logs[name] = log;
        return PortLogged(log, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"));
    }
    std::string NamedLog(const std::string &name) const { return ReadText(m_Logs.at(name)); }

    // recorders: name and port.
    void WriteSite(const std::vector<std::pair<std::string, uint16_t>> &recorders, const std::string &extra = "")
    {
        std::ostringstream s;
        s << "listen: 127.0.0.1:" << m_wRtspPort << "\nhttp: 127.0.0.1:0\ntimeout: 2000\nstats: 1\nrecorders:\n";
        for (const auto &[name, port] : recorders) {
            s << "  - name: " << name << "\n    address: 127.0.0.1\n    port: " << port
              << "\n    channels: " << m_nSiteChannels << "\n    idle-timeout: 1\n    backoff-max: 2\n"
              << extra;
        }
        // Written beside and renamed, as editors do: never read half-written.
        std::ofstream(Path("site.yaml.new")) << s.str();
        std::rename(Path("site.yaml.new").c_str(), Path("site.yaml").c_str());
    }

    uint16_t StartSiteGateway()
    {
        if (!m_Gateway.Start(KN_KESTREL_BIN, {"gateway", "--config", Path("site.yaml")}, Path("gateway.out"),
                             Path("gateway.log"))) {
            return 0;
        }
        m_wRtspPort = PortLogged(Path("gateway.log"), std::regex("listening on rtsp://127\\.0\\.0\\.1:([0-9]+)/"));
        return m_wRtspPort;
    }

    std::string SiteUrl(const std::string &name, int channel) const
    {
        return "rtsp://127.0.0.1:" + std::to_string(m_wRtspPort) + "/" + name + "/" + std::to_string(channel);
    }

    // A viewer recording seconds of a stream, running in the background.
    struct Viewer {
        CChildProcess process;
        std::string file;
    };
    std::unique_ptr<Viewer> StartViewer(const std::string &url, double seconds, const std::string &name)
    {
        auto v = std::make_unique<Viewer>();
        v->file = Path(name + ".mp4");
        if (!v->process.Start(KN_FFMPEG_BIN, RecordArgs(url, seconds, v->file), Path(name + ".vout"),
                              Path(name + ".verr"))) {
            return nullptr;
        }
        return v;
    }

    // The viewer ended well and saw the whole time without a gap.
    void ExpectPlayedThrough(Viewer &v, double seconds)
    {
        EXPECT_EQ(0, v.process.Wait(60s)) << ReadText(Path("gateway.log"));
        size_t frames = 0;
        const double gap = LargestGap(v.file, frames);
        EXPECT_LT(gap, 0.5) << v.file << ": frames stopped for a while";
        EXPECT_GE(frames, static_cast<size_t>(seconds * 25 * 0.8)) << v.file;
    }

    int m_nSiteChannels = 8;  // each recorder's channels in the site file
    std::map<std::string, std::unique_ptr<CChildProcess>> m_Recorders;
    std::map<std::string, std::string> m_Logs;
    std::map<std::string, int> m_nStarts;
};

TEST_F(GatewaySiteTest, ABadSiteFileIsRefusedWithItsLineBeforeAnythingStarts)
{
    std::ofstream(Path("site.yaml")) << "listen: 127.0.0.1:0\nrecorders:\n  - name: a\n    address: 127.0.0.1\n"
                                        "    chanels: 4\n";
    const RunResult r = Program(KN_KESTREL_BIN, {"gateway", "--config", Path("site.yaml")}, "bad", 20s);
    EXPECT_EQ(2, r.rc);
    EXPECT_NE(std::string::npos, r.err.find(Path("site.yaml") + ":5: unknown key 'chanels' in a recorder")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("listening")) << "nothing started";
    const RunResult mixed =
        Program(KN_KESTREL_BIN, {"gateway", "--config", Path("site.yaml"), "--channels", "2"}, "mixed", 20s);
    EXPECT_EQ(2, mixed.rc);
    EXPECT_NE(std::string::npos, mixed.err.find("give it alone")) << mixed.err;
    const RunResult check = Program(KN_KESTREL_BIN, {"gateway", "--config", Path("site.yaml"), "--check"}, "check");
    EXPECT_EQ(2, check.rc);
    EXPECT_NE(std::string::npos, check.err.find(":5: unknown key 'chanels'")) << check.err;
}

TEST_F(GatewaySiteTest, ARefusedChannelIsAnsweredAtOnceAndTheOtherChannelsLoseNoFrame)
{
    KN_NEED_FFMPEG();
    const uint16_t port = StartNamedRecorder("a", {"--channels", "4"});
    ASSERT_NE(0, port);
    WriteSite({{"a", port}});
    ASSERT_NE(0, StartSiteGateway());
    auto viewer = StartViewer(SiteUrl("a", 0), 6, "a0");
    ASSERT_TRUE(viewer);
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("a: channel 0: stream opened") != std::string::npos; }));
    // Channel 6 of a 4-channel recorder, asked again and again meanwhile.
    for (int i = 0; i < 3; ++i) {
        const RunResult r = Probe(SiteUrl("a", 6), "tcp", "refused" + std::to_string(i));
        EXPECT_NE(0, r.rc) << "channel 6 does not exist";
    }
    ExpectPlayedThrough(*viewer, 6);

    const std::string log = GatewayLog();
    // Each asking client was answered within 2 s of joining.
    const std::regex joined("T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z gateway: a: channel 6: client \\S+ joined");
    const std::regex left("T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z gateway: a: channel 6: client \\S+ left");
    std::vector<long> joins, leaves;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), joined); it != std::sregex_iterator(); ++it) {
        joins.push_back(StampMs((*it)[1], (*it)[2], (*it)[3], (*it)[4]));
    }
    for (auto it = std::sregex_iterator(log.begin(), log.end(), left); it != std::sregex_iterator(); ++it) {
        leaves.push_back(StampMs((*it)[1], (*it)[2], (*it)[3], (*it)[4]));
    }
    ASSERT_EQ(3u, joins.size()) << log;
    ASSERT_EQ(3u, leaves.size()) << log;
    for (size_t i = 0; i < joins.size(); ++i) {
        EXPECT_LE(leaves[i] - joins[i], 2000) << "client " << i << " waited for its answer";
    }
    // The session was never doubted: one login, one stream for channel 0.
    EXPECT_EQ(std::string::npos, log.find("logged in again")) << log;
    EXPECT_EQ(std::string::npos, log.find("lost with the session")) << log;
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("command: login")));
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("live channel 0 requested")));
}

TEST_F(GatewaySiteTest, ARecorderKilledAndRestartedLeavesTheOthersViewersPlaying)
{
    KN_NEED_FFMPEG();
    const uint16_t a = StartNamedRecorder("a"), b = StartNamedRecorder("b"), c = StartNamedRecorder("c");
    ASSERT_TRUE(a != 0 && b != 0 && c != 0);
    WriteSite({{"a", a}, {"b", b}, {"c", c}});
    ASSERT_NE(0, StartSiteGateway());
    auto viewA = StartViewer(SiteUrl("a", 1), 8, "a1");
    auto viewC = StartViewer(SiteUrl("c", 2), 8, "c2");
    auto viewB = StartViewer(SiteUrl("b", 3), 0, "b3");
    ASSERT_TRUE(viewA && viewB && viewC);
    ASSERT_TRUE(Eventually([&] { return Count(GatewayLog(), std::regex("stream opened")) == 3; }, 20000));
    std::this_thread::sleep_for(1s);

    m_Recorders["b"]->Kill();
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("b: the recorder is lost") != std::string::npos; }))
        << "recorder b judged lost";
    // A client asking for b now is answered at once.
    const RunResult early = Probe(SiteUrl("b", 0), "tcp", "b-unreachable");
    EXPECT_NE(0, early.rc);
    ASSERT_EQ(b, StartNamedRecorder("b", {}, b));
    EXPECT_TRUE(Eventually([&] { return GatewayLog().find("b: logged in again") != std::string::npos; }, 15000));
    EXPECT_TRUE(Eventually([&] { return GatewayLog().find("b: channel 3: stream reopened") != std::string::npos; }));

    ExpectPlayedThrough(*viewA, 8);
    ExpectPlayedThrough(*viewC, 8);
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("command: login")));
    EXPECT_EQ(1u, Count(NamedLog("c"), std::regex("command: login")));
    // b's viewer stayed connected through the outage and gets frames again.
    const size_t before = ReadText(viewB->file).size();
    EXPECT_TRUE(Eventually([&] { return ReadText(viewB->file).size() > before; }));
    viewB->process.Signal(SIGINT);
    viewB->process.Wait(10s);
}

TEST_F(GatewaySiteTest, AReloadAddsAndRemovesRecordersWithoutTouchingTheOthers)
{
    KN_NEED_FFMPEG();
    const uint16_t a = StartNamedRecorder("a"), b = StartNamedRecorder("b"), c = StartNamedRecorder("c");
    ASSERT_TRUE(a != 0 && b != 0 && c != 0);
    WriteSite({{"a", a}, {"b", b}});
    ASSERT_NE(0, StartSiteGateway());
    auto viewA = StartViewer(SiteUrl("a", 0), 8, "a0");
    auto viewB = StartViewer(SiteUrl("b", 0), 0, "b0");
    ASSERT_TRUE(viewA && viewB);
    ASSERT_TRUE(Eventually([&] { return Count(GatewayLog(), std::regex("stream opened")) == 2; }, 20000));

    // The file changes: b goes, c comes.
    WriteSite({{"a", a}, {"c", c}});
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("c: logged in to") != std::string::npos; }));
    EXPECT_NE(std::string::npos, GatewayLog().find("b: recorder removed"));
    EXPECT_NE(-1, viewB->process.Wait(15s)) << "b's viewer was told its stream ended";
    EXPECT_TRUE(Eventually([&] { return NamedLog("b").find("command: logout") != std::string::npos; }));
    const RunResult added = Probe(SiteUrl("c", 5), "tcp", "added");
    EXPECT_EQ(0, added.rc) << added.err;
    const RunResult removed = Probe(SiteUrl("b", 0), "tcp", "removed");
    EXPECT_NE(0, removed.rc);
    EXPECT_NE(std::string::npos, removed.err.find("404")) << removed.err;

    // SIGHUP with a file that does not read keeps everything as it is.
    std::ofstream(Path("site.yaml")) << "recorders:\n  - name: a\n    adress: x\n";
    m_Gateway.Signal(SIGHUP);
    ASSERT_TRUE(
        Eventually([&] { return GatewayLog().find("site.yaml:3: unknown key 'adress'") != std::string::npos; }));
    EXPECT_EQ(0, Probe(SiteUrl("c", 1), "tcp", "kept").rc);

    ExpectPlayedThrough(*viewA, 8);
    // The file check saw the same change: one reload, one line.
    EXPECT_EQ(1u, Count(GatewayLog(), std::regex("unknown key 'adress'")));
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("command: login"))) << "a was never touched";
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("live channel 0 requested")));
}

TEST_F(GatewaySiteTest, AReloadOfChannelsAndTimesKeepsTheSessionAndTheOtherChannelsViewers)
{
    KN_NEED_FFMPEG();
    const uint16_t a = StartNamedRecorder("a");
    ASSERT_NE(0, a);
    m_nSiteChannels = 4;
    WriteSite({{"a", a}});
    ASSERT_NE(0, StartSiteGateway());
    auto view = StartViewer(SiteUrl("a", 0), 8, "a0");
    ASSERT_TRUE(view);
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("stream opened") != std::string::npos; }, 20000));
    EXPECT_NE(0, Probe(SiteUrl("a", 4), "tcp", "before").rc) << "not served yet";

    m_nSiteChannels = 5;
    WriteSite({{"a", a}}, "    linger: 1\n");
    m_Gateway.Signal(SIGHUP);
    ASSERT_TRUE(Eventually([&] {
        return GatewayLog().find("a: channels 0-3 -> 0-4, linger 1.0 s applied without a restart") != std::string::npos;
    }));
    EXPECT_EQ(0, Probe(SiteUrl("a", 4), "tcp", "added").rc);

    // Fewer channels, noticed by the file check alone.
    m_nSiteChannels = 2;
    WriteSite({{"a", a}}, "    linger: 1\n");
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("channels 0-4 -> 0-1") != std::string::npos; }));
    const RunResult removed = Probe(SiteUrl("a", 3), "tcp", "removed");
    EXPECT_NE(std::string::npos, removed.err.find("404")) << removed.err;
    // The new linger: the added channel's probe left, its stream closes
    // a second later, and the log says when its last client left.
    EXPECT_TRUE(Eventually([&] {
        return std::regex_search(GatewayLog(),
                                 std::regex("channel 4: stream closed, (its last client left [0-9.]+ s ago|the "
                                            "channel is no longer served)"));
    }));

    m_Gateway.Signal(SIGUSR1);
    EXPECT_TRUE(Eventually([&] {
        return std::regex_search(GatewayLog(), std::regex("\"last_reload\":\\{[^}]*\"trigger\":\"the file changed\","
                                                          "\"result\":\"applied\""));
    }));
    ExpectPlayedThrough(*view, 8);
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("command: login"))) << "the session was kept";
    EXPECT_EQ(1u, Count(NamedLog("a"), std::regex("live channel 0 requested"))) << "channel 0's stream was kept";
}

}  // namespace
}  // namespace kn::test
