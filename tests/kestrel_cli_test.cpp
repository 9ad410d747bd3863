// kestrel as a user meets it: it never destroys a file, its exit status says
// how a job ended, it notices a lost recorder on every transport, it checks
// its input before sending anything, and the README's examples run as
// written. End to end against kestrel-recorder.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/tools_fixture.h"

#if defined(KN_RECORDER_BIN) && defined(KN_KESTREL_BIN)

namespace kn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kPrecious = "precious bytes the user already had\n";

bool Exists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void WriteText(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

// Replaces every "PORT" and "CLOSED" in args.
std::vector<std::string> WithPorts(std::vector<std::string> args, uint16_t port, uint16_t closed)
{
    for (std::string &a : args) {
        if (a == "PORT") {
            a = std::to_string(port);
        } else if (a == "CLOSED") {
            a = std::to_string(closed);
        }
    }
    return args;
}

class KestrelCli : public ToolsTest {};

// Every failed or incomplete job leaves an existing output file as it was;
// what an incomplete job received is kept beside it in FILE.part.
TEST_F(KestrelCli, AnExistingOutputSurvivesEveryFailureAndIncompleteJobsSaySo)
{
    // A polite recorder (first frames 1 s after the acknowledgement), so
    // that a short live job can end with nothing delivered.
    const uint16_t port = StartRecorder({"--download-cap", "2", "--start-delay", "1000"});
    ASSERT_NE(0, port);
    const uint16_t closed = ClosedPort();
    struct Case {
        const char *what;
        std::vector<std::string> args;
        int status;
        const char *message;
        bool partKept;
    } cases[] = {
        {"recorder unreachable",
         {"download", "-p", "CLOSED", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:02"},
         3,
         "cannot reach the recorder",
         false},
        {"channel the recorder does not have",
         {"live", "-p", "PORT", "-c", "9", "--idle-timeout", "1"},
         8,
         "the live video of channel 9 at 127.0.0.1:",
         false},
        {"live video that delivered nothing (frames start 1 s after the opening)",
         {"live", "-p", "PORT", "--duration", "0.4"},
         8,
         "the live video of channel 0 at 127.0.0.1:",
         false},
        {"no recording at that time",
         {"playback", "-p", "PORT", "--start", "2024-05-01 09:00:00", "--idle-timeout", "1.5"},
         8,
         "brought no frame (no recording at that time?)",
         false},
        {"recorder capped the download",
         {"download", "-p", "PORT", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:03"},
         7,
         "ended the download after 2.0 s of the 3 s asked (50 frames",
         true},
        {"recording ended before --duration",
         {"playback", "-p", "PORT", "--start", "2024-05-01 08:09:59", "--duration", "20"},
         7,
         "the recording ended after 25 frames",
         true},
        {"--no-clobber",
         {"live", "-p", "PORT", "--frames", "3", "--no-clobber"},
         1,
         "exists and --no-clobber was given: nothing done",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = Path("out.bin");
        WriteText(out, kPrecious);
        std::vector<std::string> args = WithPorts(c.args, port, closed);
        args.insert(args.end(), {"-o", out});
        EXPECT_EQ(c.status, Kestrel(args)) << m_Err;
        EXPECT_NE(std::string::npos, m_Err.find(c.message)) << m_Err;
        EXPECT_EQ(kPrecious, ReadText(out));
        EXPECT_EQ(c.partKept, Exists(out + ".part"));
        if (c.partKept) {
            EXPECT_NE(std::string::npos, m_Err.find("what came is in " + out + ".part")) << m_Err;
            EXPECT_FALSE(ReadText(out + ".part").empty());
        }
        std::remove((out + ".part").c_str());
    }
    // A job that ends as asked replaces the file with its whole result.
    const std::string out = Path("out.bin");
    ASSERT_EQ(0, Kestrel({"download", "-p", std::to_string(port), "--start", "2024-05-01 08:00:00", "--end",
                          "2024-05-01 08:00:02", "--h264", "-o", out}))
        << m_Err;
    EXPECT_EQ(Units(emu::SplitAccessUnits(Clip()), 50), FileBytes(out));
    EXPECT_FALSE(Exists(out + ".part"));
}

// An output that exists and is not a regular file (a FIFO here, /dev/null in
// the packaging checks) is written to as it is: renaming NAME.part over it
// would replace the device, which as root destroys /dev/null for the machine.
TEST_F(KestrelCli, AnOutputThatIsNotARegularFileIsWrittenInPlace)
{
    const uint16_t port = StartRecorder({});
    ASSERT_NE(0, port);
    const std::string fifo = Path("out.fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    // Opened without waiting for a writer; drained until kestrel has ended.
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::atomic<bool> ended{false};
    size_t received = 0;
    std::thread reader([&] {
        char buf[65536];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 50);
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                received += static_cast<size_t>(n);
            } else if (ended.load()) {
                return;
            }
        }
    });
    const int status = Kestrel({"live", "-p", std::to_string(port), "--frames", "3", "-o", fifo});
    ended = true;
    reader.join();
    ::close(fd);
    EXPECT_EQ(0, status) << m_Err;
    EXPECT_GT(received, 0u);
    struct stat st {};
    ASSERT_EQ(0, ::stat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_FALSE(Exists(fifo + ".part"));
}

// Ctrl-C ends a job early with 130, except a live view without a limit,
// whose normal end it is.
TEST_F(KestrelCli, CtrlCIsANormalEndOnlyForALiveViewWithoutALimit)
{
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    const std::string p = std::to_string(port);
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"live", "-p", p}, 0},
        {{"live", "-p", p, "--duration", "60"}, 130},
        {{"download", "-p", p, "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:01:00"}, 130},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        const std::string out = Path("ctrl-c.bin");
        WriteText(out, kPrecious);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", out});
        CChildProcess k;
        ASSERT_TRUE(StartKestrel(k, args));
        ASSERT_TRUE(Eventually([&] { return Exists(out + ".part") && !ReadText(out + ".part").empty(); }));
        k.Signal(SIGINT);
        EXPECT_EQ(c.status, Finish(k, 20s)) << m_Err;
        if (c.status == 0) {
            EXPECT_NE(kPrecious, ReadText(out));
            EXPECT_FALSE(Exists(out + ".part"));
        } else {
            EXPECT_EQ(kPrecious, ReadText(out));
            EXPECT_NE(std::string::npos, m_Err.find("interrupted: ")) << m_Err;
            EXPECT_TRUE(Exists(out + ".part"));
        }
        std::remove((out + ".part").c_str());
    }
}

// No datagram tells of a lost recorder: the library's notice, checked with
// a new connection, ends a UDP stream as a TCP one, within the idle limit.
TEST_F(KestrelCli, AKilledRecorderEndsLiveVideoOnEveryTransportAndTalk)
{
    for (const char *transport : {"udp", "tcp", "talk"}) {
        SCOPED_TRACE(transport);
        const uint16_t port = StartRecorder();
        ASSERT_NE(0, port);
        const std::string out = Path("lost.bin");
        const bool talk = std::string(transport) == "talk";
        std::vector<std::string> args = {
            "live", "-p", std::to_string(port), "--transport", transport, "--idle-timeout", "4", "-o", out};
        if (talk) {
            WriteText(Path("audio.raw"), std::string(160000, 'a'));  // 10 s
            args = {"talk", "-p", std::to_string(port), "--file", Path("audio.raw")};
        }
        CChildProcess k;
        ASSERT_TRUE(StartKestrel(k, args));
        if (talk) {
            ASSERT_TRUE(RecorderLogged(std::regex("talk opened")));
        } else {
            ASSERT_TRUE(Eventually([&] { return Exists(out + ".part"); }));
        }
        const auto killed = Clock::now();
        m_Recorder.Kill();
        EXPECT_EQ(6, Finish(k, 20s)) << m_Err;
        EXPECT_LT(Clock::now() - killed, 4s + 2s);
        // Over TCP the stream's own connection may tell first.
        const std::string where = "127.0.0.1:" + std::to_string(port);
        EXPECT_TRUE(
            m_Err.find("lost the recorder at " + where) != std::string::npos ||
            (std::string(transport) == "tcp" && m_Err.find(where + " closed the live video") != std::string::npos))
            << m_Err;
        EXPECT_FALSE(Exists(out));
        std::remove((out + ".part").c_str());
    }
}

// A recorder killed in the middle of a download or a playback is a lost
// recorder (6), as on live video, not a recorder that ended the job (7).
TEST_F(KestrelCli, AKilledRecorderIsALostRecorderForDownloadAndPlaybackToo)
{
    for (const char *command : {"download", "playback"}) {
        SCOPED_TRACE(command);
        const uint16_t port = StartRecorder();
        ASSERT_NE(0, port);
        const std::string out = Path("lost.bin");
        std::vector<std::string> args = {command, "-p", std::to_string(port), "--start", "2024-05-01 08:00:00",
                                         "-o",    out};
        if (std::string(command) == "download") {
            args.insert(args.end(), {"--end", "2024-05-01 08:01:00"});  // 1500 frames, over 7 s
        } else {
            args.insert(args.end(), {"--duration", "20"});
        }
        CChildProcess k;
        ASSERT_TRUE(StartKestrel(k, args));
        ASSERT_TRUE(Eventually([&] { return Exists(out + ".part") && !ReadText(out + ".part").empty(); }));
        m_Recorder.Kill();
        EXPECT_EQ(6, Finish(k, 20s)) << m_Err;
        EXPECT_NE(std::string::npos, m_Err.find("lost the recorder at 127.0.0.1:" + std::to_string(port))) << m_Err;
        EXPECT_TRUE(Exists(out + ".part"));
        std::remove((out + ".part").c_str());
    }
}

// A recorder gone while a search or a parameter read waits for its reply.
TEST_F(KestrelCli, ARecorderLostDuringARequestIsToldFromOneThatDidNotAnswer)
{
    for (const bool search : {true, false}) {
        SCOPED_TRACE(search ? "search" : "param");
        auto emu = std::make_unique<emu::CRecorderEmulator>();
        ASSERT_TRUE(emu->Start());
        const std::string p = std::to_string(emu->Port());
        emu->SetSearchSilentDate(2024, 5, 1);
        emu->SetIgnored(100, true);
        CChildProcess k;
        ASSERT_TRUE(
            StartKestrel(k, search ? std::vector<std::string>{"search", "-p", p, "--timeout", "3000", "--from",
                                                              "2024-05-01", "--to", "2024-05-01"}
                                   : std::vector<std::string>{"param", "get", "100", "-p", p, "--timeout", "3000"}));
        // Waits until the request is out: the search query (69) or the read (100).
        ASSERT_TRUE(
            Eventually([&] { return !emu->PacketsWithCode(emu::ChannelKind::Command, search ? 69 : 100).empty(); }));
        emu.reset();  // the recorder goes: its connections close, new ones are refused
        EXPECT_EQ(6, Finish(k, 20s)) << m_Err;
        EXPECT_NE(std::string::npos, m_Err.find("lost the recorder at 127.0.0.1:" + p)) << m_Err;
    }
}

TEST_F(KestrelCli, InputIsCheckedBeforeAnythingIsSent)
{
    struct Case {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"download", "--start", "2024-02-30 08:00:00", "--end", "2024-02-30 08:00:02", "-o", "x"},
         "--start: takes YYYY-MM-DD HH:MM:SS, not '2024-02-30 08:00:00'"},
        {{"search", "--from", "2023-02-29", "--to", "2023-03-01"}, "--from: takes YYYY-MM-DD HH:MM:SS"},
        {{"search", "--from", "2024-04-31", "--to", "2024-05-01"}, "--from: takes YYYY-MM-DD HH:MM:SS"},
        {{"search", "--from", "2024-05-02", "--to", "2024-05-01"}, "--from is after --to: nothing to search"},
        {{"download", "--start", "2024-05-01 08:00:02", "--end", "2024-05-01 08:00:01", "-o", "x"},
         "--end must be after --start"},
        {{"download", "--start", "2024-05-01 08:00:02", "--end", "2024-05-01 08:00:02", "-o", "x"},
         "--end must be after --start"},
        {{"download", "--start", "2024-05-01 23:59:00", "--end", "2024-05-02 00:01:00", "-o", "x"},
         "different days, and the recorder's download request carries one day"},
        {{"playback", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:01:00"},
         "unknown option '--end' for playback"},
        {{"live", "--idle-timeout", "0"}, "--idle-timeout: takes seconds above 0"},
        {{"help", "bogus"}, "help takes one command name"},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &a : c.args) {
            line += a + " ";
        }
        SCOPED_TRACE(line);
        EXPECT_EQ(2, Kestrel(c.args));
        EXPECT_NE(std::string::npos, m_Err.find(c.message)) << m_Err;
    }
    // A leap day exists: the command gets as far as the (closed) recorder.
    EXPECT_EQ(3, Kestrel({"search", "-p", std::to_string(ClosedPort()), "--from", "2024-02-29", "--to", "2024-02-29"}));
}

TEST_F(KestrelCli, ParameterRepliesAreNeverCutSilentlyAndUnknownCodesSayWhereTheCodesAre)
{
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    const std::string p = std::to_string(port);
    ASSERT_EQ(0, Kestrel({"param", "set", "100", "01 02 03 04 05", "-p", p})) << m_Err;
    EXPECT_EQ(7, Kestrel({"param", "get", "100", "--size", "3", "-p", p}));
    EXPECT_EQ("01 02 03\n", m_Out);
    EXPECT_NE(std::string::npos, m_Err.find("carries 5 bytes; only the first 3 are shown (--size)")) << m_Err;
    EXPECT_EQ(0, Kestrel({"param", "get", "100", "--size", "5", "-p", p})) << m_Err;
    EXPECT_EQ("01 02 03 04 05\n", m_Out);
    EXPECT_EQ(2, Kestrel({"param", "get", "200", "-p", p}));
    EXPECT_NE(std::string::npos, m_Err.find("listed by 'kestrel help param'")) << m_Err;
    EXPECT_EQ(0, Kestrel({"help", "param"}));
    EXPECT_NE(std::string::npos, m_Out.find("97-114, 117-120")) << m_Out;
}

// The longest reply the library hands over (32757 bytes, joined from many
// receives) is shown whole.
TEST_F(KestrelCli, TheLongestParameterReplyIsShownWhole)
{
    kn::emu::CRecorderEmulator emu;
    ASSERT_TRUE(emu.Start());
    kn::emu::Bytes reply(32757);
    std::string expected;
    for (size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<uint8_t>(i * 13 + 1);
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", reply[i]);
        expected += hex;
        expected += i + 1 == reply.size() ? '\n' : ' ';
    }
    emu.SetParamReply(100, reply);
    ASSERT_EQ(0, Kestrel({"param", "get", "100", "--size", "32757", "-p", std::to_string(emu.Port())})) << m_Err;
    EXPECT_EQ(expected, m_Out);
}

TEST_F(KestrelCli, HelpVersionAndASilentLoginAreTold)
{
    ASSERT_EQ(0, Kestrel({"help", "download"}));
    const std::string help = m_Out;
    ASSERT_EQ(0, Kestrel({"download", "--help"}));
    EXPECT_EQ(help, m_Out);
    for (const char *text : {"7 incomplete", "8 nothing received", "130 interrupted", "refused, not split"}) {
        EXPECT_NE(std::string::npos, help.find(text)) << text;
    }
    ASSERT_EQ(0, Kestrel({"--version"}));
    EXPECT_TRUE(std::regex_search(
        m_Out, std::regex("^kestrel 1\\.0\\.0\\.13\nlibrary 1\\.0\\.0\\.13 \\(.*/libkestrelnet\\.so[.0-9]*\\)\n$")))
        << m_Out;

    // Silence and refusal: the library reports both as a failed login.
    emu::CRecorderEmulator emu;
    ASSERT_TRUE(emu.Start());
    emu.SetSilent(true);
    EXPECT_EQ(5, Kestrel({"login", "-p", std::to_string(emu.Port())}));
    EXPECT_TRUE(std::regex_search(
        m_Err,
        std::regex("did not answer the login: nothing came in 1\\.[2-9] s \\(the library gives up after 1\\.2 s")))
        << m_Err;
}

// The password never needs the command line, where every user sees it: a
// file or an environment variable carries it, and names the login cannot
// carry are refused before anything is sent, with the limit.
TEST_F(KestrelCli, ThePasswordComesFromAFileOrTheEnvironmentAndTheLoginLimitIsStated)
{
    emu::CRecorderEmulator emu;
    ASSERT_TRUE(emu.Start());
    const std::string p = std::to_string(emu.Port());
    WriteText(Path("secret"), "from-a-file\nsecond line\n");
    struct Case {
        std::vector<std::string> args;
        const char *environment;
        const char *password;
    } cases[] = {
        {{"--password-file", Path("secret")}, nullptr, "from-a-file"},
        {{"--password-env", "KESTREL_TEST_SECRET"}, "KESTREL_TEST_SECRET=from-a-variable", "from-a-variable"},
        {{}, "KESTREL_PASSWORD=the-default-variable", "the-default-variable"},
        {{"-P", "on-the-line"}, "KESTREL_PASSWORD=the-default-variable", "on-the-line"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.password);
        // env(1) gives kestrel a variable of its own.
        std::vector<std::string> args;
        if (c.environment != nullptr) {
            args.push_back(c.environment);
        }
        args.insert(args.end(), {KN_KESTREL_BIN, "login", "-p", p, "-u", "viewer"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        CChildProcess k;
        ASSERT_TRUE(k.Start("/usr/bin/env", args, Path("k.out"), Path("k.err")));
        ASSERT_EQ(0, k.Wait(20s)) << ReadText(Path("k.err"));
        const std::vector<emu::RecordedPacket> logins = emu.PacketsWithCode(emu::ChannelKind::Command, 49);
        ASSERT_FALSE(logins.empty());
        const std::string password = c.password;
        emu::Bytes expected = {6, 'v', 'i', 'e', 'w', 'e', 'r', static_cast<uint8_t>(password.size())};
        expected.insert(expected.end(), password.begin(), password.end());
        EXPECT_EQ(expected, logins.back().payload);
    }

    const std::string limit = "the login carries at most 87";
    EXPECT_EQ(2, Kestrel({"login", "-p", p, "-u", std::string(40, 'u'), "-P", std::string(48, 'p')}));
    EXPECT_NE(std::string::npos, m_Err.find("the user name and password are 88 bytes together; " + limit)) << m_Err;
    EXPECT_EQ(2, Kestrel({"live", "-p", p, "-u", std::string(300, 'u')}));
    EXPECT_NE(std::string::npos, m_Err.find("are 300 bytes together; " + limit)) << m_Err;
    EXPECT_EQ(2, Kestrel({"login", "-p", p, "--password-file", Path("no-such-file")}));
    EXPECT_NE(std::string::npos, m_Err.find("cannot read the password file " + Path("no-such-file"))) << m_Err;
    EXPECT_EQ(2, Kestrel({"login", "-p", p, "--password-env", "KESTREL_TEST_UNSET_VARIABLE"}));
    EXPECT_NE(std::string::npos, m_Err.find("the environment variable KESTREL_TEST_UNSET_VARIABLE is not set"))
        << m_Err;
    // 87 bytes together fit.
    EXPECT_EQ(0, Kestrel({"login", "-p", p, "-u", std::string(40, 'u'), "-P", std::string(47, 'p')})) << m_Err;
}

// An address that swallows connection attempts: the message states the time
// really waited (the library's attempt and kestrel's check of it), not the
// length of one of them.
TEST_F(KestrelCli, ABlackHoledRecorderIsReportedWithTheTimeReallyWaited)
{
    // A listener whose accept queue is full drops every further SYN.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(listener, 0));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len));
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);
    const auto began = Clock::now();
    const int rc = Kestrel({"login", "-p", std::to_string(ntohs(a.sin_port))});
    const double waited = std::chrono::duration<double>(Clock::now() - began).count();
    for (int fd : fillers) {
        ::close(fd);
    }
    ::close(listener);
    EXPECT_EQ(3, rc) << m_Err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(m_Err, m,
                                  std::regex("no answer in 1\\.[0-9] s \\(after ([0-9.]+) s: the library's "
                                             "connection attempt, then kestrel's\\)")))
        << m_Err;
    EXPECT_NEAR(waited, std::stod(m[1]), 0.6) << m_Err;
    EXPECT_GT(std::stod(m[1]), 2.5) << m_Err;
}

// Ctrl-C during a reconnection's wait, when no frame ever came, ends the
// job with its verdict (nothing received), not with a crash.
TEST_F(KestrelCli, CtrlCDuringAReconnectionWaitEndsCleanlyWhenNoFrameEverCame)
{
    emu::CRecorderEmulator emu;  // acknowledges live video and sends nothing
    ASSERT_TRUE(emu.Start());
    CChildProcess k;
    ASSERT_TRUE(StartKestrel(k, {"live", "-p", std::to_string(emu.Port()), "--reconnect", "--idle-timeout", "0.5", "-o",
                                 Path("never.bin")}));
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("kestrel.err")).find("reconnecting") != std::string::npos; }));
    std::this_thread::sleep_for(200ms);  // inside the first 1 s wait
    k.Signal(SIGINT);
    EXPECT_EQ(8, Finish(k, 20s)) << m_Err;
    EXPECT_NE(std::string::npos, m_Err.find("delivered no frame")) << m_Err;
}

// The smallest C host logs in, counts live frames, stops and logs out.
TEST_F(KestrelCli, TheExampleHostCountsLiveFrames)
{
    std::string bin = KN_KESTREL_BIN;
    bin = bin.substr(0, bin.rfind('/')) + "/kestrel-example";
    if (!Exists(bin)) {
        GTEST_SKIP() << "kestrel-example was not built";
    }
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    CChildProcess k;
    ASSERT_TRUE(k.Start(bin, {"127.0.0.1", std::to_string(port), "0", "3"}, Path("ex.out"), Path("ex.err")));
    EXPECT_EQ(0, k.Wait(30s)) << ReadText(Path("ex.err"));
    EXPECT_TRUE(std::regex_search(ReadText(Path("ex.out")), std::regex("\n[1-9][0-9]* frames in 3 s\n")))
        << ReadText(Path("ex.out"));
}

// The README's kestrel examples, as written, against kestrel-recorder.
TEST_F(KestrelCli, TheReadmeExamplesRunAsWritten)
{
    std::istringstream readme(ReadText(KN_SOURCE_DIR "/README.md"));
    std::vector<std::string> examples;
    bool inSh = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("```", 0) == 0) {
            inSh = !inSh && line == "```sh";
        } else if (inSh && line.rfind("kestrel ", 0) == 0) {
            examples.push_back(line);
        }
    }
    ASSERT_GE(examples.size(), 7u);
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    // Run from a folder that looks like the top of the tree, with the
    // recorder's port in place of the default.
    ASSERT_EQ(0, ::symlink(KN_SOURCE_DIR "/tools", Path("tools").c_str()));
    std::string bin = KN_KESTREL_BIN;
    bin = bin.substr(0, bin.rfind('/'));
    for (std::string example : examples) {
        SCOPED_TRACE(example);
        for (size_t at; (at = example.find("-p 5050")) != std::string::npos;) {
            example.replace(at, 7, "-p " + std::to_string(port));
        }
        CChildProcess sh;
        ASSERT_TRUE(sh.Start("/bin/sh", {"-c", "cd '" + m_Dir + "' && PATH='" + bin + "':$PATH && set -e; " + example},
                             Path("sh.out"), Path("sh.err")));
        EXPECT_EQ(0, sh.Wait(30s)) << ReadText(Path("sh.err"));
    }
    EXPECT_FALSE(ReadText(Path("live.h264")).empty());
    EXPECT_FALSE(ReadText(Path("rec.h264")).empty());
}

}  // namespace
}  // namespace kn::test

#endif
