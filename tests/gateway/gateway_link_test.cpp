// The gateway's link to its recorder against kestrel-recorder's misbehaving
// knobs, end to end, with curl and ffmpeg as the clients: searches that the
// recorder never answers hold up neither a recorder restart, nor a
// shutdown, nor the gateway's threads; a command channel the recorder
// closes is noticed while video flows; a recorder back after the backoff
// grew is logged in to at once.
#include "tests/gateway/media_tools_fixture.h"

#include <fstream>
#include <map>

#if defined(KN_CURL_BIN)
#  define KN_NEED_CURL()
#else
#  define KN_NEED_CURL() GTEST_SKIP() << "curl is needed"
#  define KN_CURL_BIN ""
#endif

namespace kn::test {
namespace {

class GatewayLinkTest : public CMediaToolsTest {
protected:
    // The gateway with its web side on a free port; the reply time-out 2 s.
    bool StartWebGateway(std::vector<std::string> args = {})
    {
        args.insert(args.end(), {"--http", "127.0.0.1:0", "--backoff-max", "1", "--idle-timeout", "1"});
        if (StartGateway(args) == 0) {
            return false;
        }
        m_wHttpPort = PortLogged(Path("gateway.log"), std::regex("serving http://127\\.0\\.0\\.1:([0-9]+)/"));
        return m_wHttpPort != 0;
    }

    std::string Web(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(m_wHttpPort) + path; }
    std::string SearchUrl() const
    {
        return Web("/api/recordings?recorder=live&channel=0&from=2026-12-09T08:00:00&to=2026-12-09T09:00:00");
    }

    // Searches in the background, each writing its status and headers.
    void StartSearches(const std::string &name, int n)
    {
        for (int i = 0; i < n; ++i) {
            const std::string tag = name + std::to_string(i);
            auto &p = m_Searches.emplace_back(std::make_unique<CChildProcess>());
            ASSERT_TRUE(p->Start(KN_CURL_BIN,
                                 {"-s", "-o", "/dev/null", "-D", Path(tag + ".headers"), "-w", "%{http_code}",
                                  "--max-time", "60", SearchUrl()},
                                 Path(tag + ".code"), Path(tag + ".err")));
        }
    }
    // How many of a batch have been answered with this status.
    int Answered(const std::string &name, int n, const std::string &status) const
    {
        int count = 0;
        for (int i = 0; i < n; ++i) {
            count += ReadText(Path(name + std::to_string(i) + ".code")) == status ? 1 : 0;
        }
        return count;
    }
    size_t SearchesAsked() const { return Count(RecorderLogs(), std::regex("command: search channel")); }
    std::string RecorderLogs() const { return RecorderLog() + ReadText(Path("recorder2.log")); }

    bool RestartRecorder(const std::vector<std::string> &knobs)
    {
        m_Recorder.Kill();
        std::vector<std::string> args = knobs;
        args.insert(args.end(), {"--port", std::to_string(m_wRecorderPort), "--channels", "8"});
        return m_Recorder.Start(KN_RECORDER_BIN, args, Path("recorder2.out"), Path("recorder2.log")) &&
               PortLogged(Path("recorder2.log"), std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)")) ==
                   m_wRecorderPort;
    }

    int Threads(pid_t pid) const
    {
        std::smatch m;
        const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
        return std::regex_search(status, m, std::regex("Threads:\\s+([0-9]+)")) ? std::stoi(m[1]) : -1;
    }

    // Milliseconds of the day of the first log line matching what (-1: none).
    static long LoggedAt(const std::string &log, const std::string &what)
    {
        std::smatch m;
        const std::regex line("T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z gateway: [^\\n]*" + what);
        return std::regex_search(log, m, line) ? StampMs(m[1], m[2], m[3], m[4]) : -1;
    }

    uint16_t m_wHttpPort = 0;
    std::vector<std::unique_ptr<CChildProcess>> m_Searches;
};

// One search runs per recorder and a few wait; more are answered 503 with
// Retry-After at once, and searches whose clients gave up are never asked.
// Neither a restart of the recorder nor a shutdown waits for them.
TEST_F(GatewayLinkTest, SearchesNeverHoldUpTheRecorderARestartOrAShutdown)
{
    KN_NEED_FFMPEG();
    KN_NEED_CURL();
    ASSERT_NE(0, StartRecorder({"--no-search-answer"}));
    ASSERT_TRUE(StartWebGateway());
    CChildProcess viewer;
    ASSERT_TRUE(
        viewer.Start(KN_FFMPEG_BIN, RecordArgs(Url(0), 0, Path("viewer.mp4")), Path("viewer.out"), Path("viewer.err")));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("channel 0: stream opened") != std::string::npos; }));

    // 100 clients that give up after a second: the threads stay as they
    // were, and the recorder is asked once (the search under way).
    // (Counted once the viewer plays: its media's threads have started.)
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("viewer.mp4")).size() > 10000; }, 15000));
    const int threadsBefore = Threads(m_Gateway.Pid());
    const RunResult abandoned = Program(KN_CURL_BIN,
                                        {"-s", "-o", "/dev/null", "--parallel", "--parallel-immediate",
                                         "--parallel-max", "100", "--max-time", "1", SearchUrl() + "&n=[1-100]"},
                                        "abandoned");
    // (One is the recorder's search thread; the rest is the slack of the
    // viewer's media and the sanitizers' own threads.)
    EXPECT_LE(Threads(m_Gateway.Pid()), threadsBefore + 6) << "threads before: " << threadsBefore;
    ASSERT_TRUE(Eventually([&] { return SearchesAsked() >= 1; }));
    std::this_thread::sleep_for(2500ms);  // the search under way runs into its time-out
    EXPECT_EQ(1u, SearchesAsked()) << "searches whose clients left are not made";

    // Ten searches: one runs and four wait (the first may still be among
    // them), the others are refused at once, told when to ask again.
    StartSearches("pending", 10);
    ASSERT_TRUE(Eventually([&] { return Answered("pending", 10, "503") >= 5; }));
    const int refused = Answered("pending", 10, "503");
    EXPECT_TRUE(refused == 5 || refused == 6) << refused;
    int retryAfter = 0;
    for (int i = 0; i < 10; ++i) {
        const std::string headers = ReadText(Path("pending" + std::to_string(i) + ".headers"));
        retryAfter += std::regex_search(headers, std::regex("Retry-After: 2\\r?\\n", std::regex::icase)) ? 1 : 0;
    }
    EXPECT_EQ(refused, retryAfter);

    // The recorder restarts under them: the session is dropped and logged
    // in again without waiting for the searches queued behind.
    ASSERT_TRUE(RestartRecorder({"--no-search-answer"}));
    EXPECT_TRUE(Eventually([&] { return GatewayLog().find("live: logged in again") != std::string::npos; }, 8000))
        << GatewayLog();
    const size_t before = ReadText(Path("viewer.mp4")).size();
    EXPECT_TRUE(Eventually([&] { return ReadText(Path("viewer.mp4")).size() > before; })) << "video again";

    // Eight searches pending at SIGTERM: the gateway stops without waiting
    // for the recorder's answers and writes no answer on a closed connection.
    StartSearches("stopping", 8);
    ASSERT_TRUE(Eventually([&] { return Answered("stopping", 8, "503") >= 3; }));
    m_Gateway.Signal(SIGTERM);
    EXPECT_EQ(0, m_Gateway.Wait(10s)) << "the gateway ended";
    const std::string log = GatewayLog() + ReadText(Path("gateway.out"));
    EXPECT_EQ(std::string::npos, log.find("CRITICAL")) << log;
    EXPECT_EQ(std::string::npos, log.find("critical")) << log;
    viewer.Wait(10s);
    for (auto &p : m_Searches) {
        EXPECT_NE(-1, p->Wait(10s)) << "every search was answered or ended";
    }
}

// The recorder closes the command channel 3 s after each login while video
// flows (a new TCP connection is still taken): the library's disconnect
// notice has the gateway ask the session, which does not answer; it logs
// in again at once, the viewer sees no long gap, and the status says why.
TEST_F(GatewayLinkTest, ACommandChannelClosedUnderLiveVideoIsNoticedAndLoggedInAgain)
{
    KN_NEED_FFMPEG();
    KN_NEED_CURL();
    ASSERT_NE(0, StartRecorder({"--close-command-after", "3000"}));
    ASSERT_TRUE(StartWebGateway());
    CChildProcess viewer;
    ASSERT_TRUE(viewer.Start(KN_FFMPEG_BIN, RecordArgs(Url(1), 10, Path("viewer.mp4")), Path("viewer.out"),
                             Path("viewer.err")));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("channel 1: stream opened") != std::string::npos; }));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("live: logged in again") != std::string::npos; }, 9000))
        << GatewayLog();
    const std::string log = GatewayLog();
    EXPECT_NE(std::string::npos, log.find("the recorder closed the session's command channel")) << log;
    const RunResult status = Program(KN_CURL_BIN, {"-s", "--max-time", "10", Web("/api/status")}, "status");
    EXPECT_NE(std::string::npos, status.out.find("\"last_error\":\"the recorder closed the session's command channel"))
        << status.out;
    EXPECT_EQ(0, viewer.Wait(40s)) << ReadText(Path("viewer.err"));
    size_t frames = 0;
    EXPECT_LT(LargestGap(Path("viewer.mp4"), frames), 3.0);
    EXPECT_GE(frames, 200u);
    // Closed 3 s after the login, noticed and logged in again within 5 s.
    const std::string rec = RecorderLog();
    std::smatch login, closed;
    ASSERT_TRUE(std::regex_search(rec, closed,
                                  std::regex("(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3}) conn \\d+: command "
                                             "channel closed")))
        << rec;
    const std::regex again("(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3}) command: login");
    std::vector<long> logins;
    for (auto it = std::sregex_iterator(rec.begin(), rec.end(), again); it != std::sregex_iterator(); ++it) {
        logins.push_back(StampMs((*it)[1], (*it)[2], (*it)[3], (*it)[4]));
    }
    ASSERT_GE(logins.size(), 2u) << rec;
    EXPECT_LE(logins[1] - StampMs(closed[1], closed[2], closed[3], closed[4]), 5000) << rec;
}

// The recorder is away long enough for the backoff to grow to 8 s; it is
// logged in to as soon as it takes connections again, not when the wait ends.
TEST_F(GatewayLinkTest, ARecorderBackAfterTheBackoffGrewIsLoggedInToAtOnce)
{
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    m_Recorder.Kill();
    ASSERT_NE(0, StartGateway({"--backoff-max", "30", "--http", "off"}));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("retrying in 8.0 s") != std::string::npos; }, 15000))
        << GatewayLog();
    ASSERT_TRUE(RestartRecorder({}));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("live: logged in to") != std::string::npos; }, 15000))
        << GatewayLog();
    const std::string log = GatewayLog();
    const long due = LoggedAt(log, "retrying in 8\\.0 s") + 8000;
    const long loggedIn = LoggedAt(log, "logged in to");
    EXPECT_LT(loggedIn, due - 3000) << log;
}

}  // namespace
}  // namespace kn::test
