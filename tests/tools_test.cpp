// The host tools end to end: kestrel-recorder and kestrel as programs, the
// clip's access units, and kestrel's command line and failure reports.
#include <chrono>
#include <sstream>

#include "tests/support/tools_fixture.h"

#if defined(KN_RECORDER_BIN) && defined(KN_KESTREL_BIN)

namespace kn::test {
namespace {

using namespace std::chrono_literals;

TEST(ClipAccessUnits, SplitsTheSampleClipIntoItsPicturesWithoutLosingAByte)
{
    const emu::Bytes clip = Clip();
    const std::vector<emu::Bytes> units = emu::SplitAccessUnits(clip);
    ASSERT_EQ(75u, units.size());  // 3 s at 25 frames a second
    EXPECT_EQ(clip, Units(units, units.size()));
    for (const emu::Bytes &u : units) {
        ASSERT_GE(u.size(), 5u);
        EXPECT_EQ(9, u[4] & 0x1F) << "every unit begins with its delimiter";
    }
}

// With --frame-log, each frame the sender sent has its line, with its index
// in the clip across the loop, and the lines are all out at exit.
TEST_F(ToolsTest, LiveOverTcpSavesTheClipsAccessUnitsByteForByte)
{
    const auto since = [](auto t) {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    };
    const long long started = since(std::chrono::system_clock::now());
    const uint16_t port = StartRecorder({"--frame-log", Path("frames.log")});
    ASSERT_NE(0, port);
    const std::string out = Path("live.h264");
    ASSERT_EQ(0, Kestrel({"live", "-p", std::to_string(port), "-c", "1", "--frames", "90", "--h264", "-o", out}))
        << m_Err;
    const std::vector<emu::Bytes> units = emu::SplitAccessUnits(Clip());
    EXPECT_EQ(Units(units, 90), FileBytes(out));  // round the clip and on
    m_Recorder.Signal(SIGTERM);
    ASSERT_EQ(0, m_Recorder.Wait(10s));
    const long long ended = since(std::chrono::system_clock::now());
    std::istringstream log(ReadText(Path("frames.log")));
    std::string line;
    std::getline(log, line);
    EXPECT_NE(std::string::npos, line.find("index in the clip of 75 frames")) << line;
    long long at = 0, last = started;
    int channel = -1;
    size_t index = 0, expected = 3, lines = 0;  // the first 3 went with the acknowledgement
    while (log >> at >> channel >> index) {
        EXPECT_EQ(1, channel);
        EXPECT_EQ(expected % units.size(), index) << "line " << lines;
        EXPECT_LE(last, at);
        EXPECT_LE(at, ended);
        last = at;
        ++expected;
        ++lines;
    }
    EXPECT_TRUE(log.eof());
    EXPECT_LE(87u, lines);
}

TEST_F(ToolsTest, LiveOverUdpSavesFramesAsDeliveredWithTheLibraryPrefix)
{
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    const std::string out = Path("live.raw");
    ASSERT_EQ(0, Kestrel({"live", "-p", std::to_string(port), "--transport", "udp", "--frames", "10", "-o", out}))
        << m_Err;
    const std::vector<emu::Bytes> units = emu::SplitAccessUnits(Clip());
    const emu::Bytes raw = FileBytes(out);
    size_t at = 0;
    for (uint32_t i = 0; i < 10; ++i) {
        const emu::Bytes payload = emu::WrapAccessUnit(units[i]);
        ASSERT_LE(at + 16 + payload.size(), raw.size());
        const emu::Bytes prefix{'0',
                                '0',
                                'd',
                                'c',
                                25,
                                0,
                                0,
                                0,
                                static_cast<uint8_t>(i),
                                0,
                                0,
                                0,
                                static_cast<uint8_t>(payload.size()),
                                static_cast<uint8_t>(payload.size() >> 8),
                                static_cast<uint8_t>(payload.size() >> 16),
                                0};
        EXPECT_EQ(prefix, emu::Bytes(raw.begin() + at, raw.begin() + at + 16)) << "frame " << i;
        EXPECT_EQ(payload, emu::Bytes(raw.begin() + at + 16, raw.begin() + at + 16 + payload.size()));
        at += 16 + payload.size();
    }
    EXPECT_EQ(raw.size(), at);
}

TEST_F(ToolsTest, DownloadHoldsTheBytesTheRecorderSent)
{
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    const std::string out = Path("download.h264");
    ASSERT_EQ(0, Kestrel({"download", "-p", std::to_string(port), "--start", "2024-05-01 08:00:00", "--end",
                          "2024-05-01 08:00:02", "--h264", "-o", out}))
        << m_Err;
    std::smatch m;
    ASSERT_TRUE(
        RecorderLogged(std::regex("download channel 0: ([0-9]+) frames sent, ([0-9]+) payload bytes, done"), &m));
    const long frames = std::stol(m[1]);
    const long payload = std::stol(m[2]);
    EXPECT_EQ(50, frames);  // two seconds
    const emu::Bytes saved = FileBytes(out);
    EXPECT_EQ(Units(emu::SplitAccessUnits(Clip()), 50), saved);
    EXPECT_EQ(static_cast<size_t>(payload), saved.size() + 4 * static_cast<size_t>(frames));  // less the wrappers
}

TEST_F(ToolsTest, SavedElementaryStreamDecodesTo352x288Frames)
{
    if (std::system("command -v ffprobe >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffprobe is not installed";
    }
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    const std::string out = Path("live.h264");
    ASSERT_EQ(0, Kestrel({"live", "-p", std::to_string(port), "--frames", "40", "--h264", "-o", out})) << m_Err;
    const std::string probe = Path("probe.txt");
    ASSERT_EQ(0, std::system(("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                              "stream=width,height,nb_read_frames -of csv=p=0 '" +
                              out + "' > '" + probe + "'")
                                 .c_str()));
    EXPECT_EQ("352,288,40\n", ReadText(probe));
}

TEST_F(ToolsTest, SearchParametersAndTalkReachTheRecorder)
{
    const uint16_t port = StartRecorder();
    ASSERT_NE(0, port);
    const std::string p = std::to_string(port);
    ASSERT_EQ(0,
              Kestrel({"search", "-p", p, "-c", "2", "--from", "2024-05-01 03:00:00", "--to", "2024-05-02 01:00:00"}))
        << m_Err;
    // 00:00-00:09:59 on the first day ends before 03:00 and is left out.
    EXPECT_NE(std::string::npos, m_Out.find("1     2024-05-01 04:00:00  2024-05-01 04:09:59  0x00000202")) << m_Out;
    EXPECT_NE(std::string::npos, m_Out.find("2024-05-01 20:00:00  2024-05-01 20:09:59  0x00000206")) << m_Out;
    EXPECT_NE(std::string::npos, m_Out.find("2024-05-02 00:00:00  2024-05-02 00:09:59  0x00000201")) << m_Out;
    EXPECT_NE(std::string::npos, m_Out.find("\n6 recordings\n")) << m_Out;

    ASSERT_EQ(0, Kestrel({"param", "set", "100", "0a:0b:0c", "-p", p})) << m_Err;
    ASSERT_EQ(0, Kestrel({"param", "get", "100", "-p", p})) << m_Err;
    EXPECT_EQ("0a 0b 0c\n", m_Out);
    ASSERT_EQ(0, Kestrel({"param", "get", "101", "-p", p})) << m_Err;
    EXPECT_EQ("\n", m_Out) << "nothing stored for 101";

    std::FILE *f = std::fopen(Path("audio.bin").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    const std::vector<char> audio(3333, 'a');
    std::fwrite(audio.data(), 1, audio.size(), f);
    std::fclose(f);
    ASSERT_EQ(0, Kestrel({"talk", "-p", p, "--file", Path("audio.bin"), "--rate", "0"})) << m_Err;
    EXPECT_TRUE(RecorderLogged(std::regex("closed \\(talk, 3333 audio bytes\\)")));
}

TEST_F(ToolsTest, RecorderRefusingLoginsGivesTheRefusedExitCode)
{
    const uint16_t port = StartRecorder({"--refuse-login"});
    ASSERT_NE(0, port);
    EXPECT_EQ(4, Kestrel({"login", "-p", std::to_string(port), "-u", "guest"}));
    EXPECT_NE(std::string::npos, m_Err.find("127.0.0.1:" + std::to_string(port) + " refused the login of user 'guest'"))
        << m_Err;
}

TEST_F(ToolsTest, RecorderStopsCleanlyOnSigterm)
{
    ASSERT_NE(0, StartRecorder());
    m_Recorder.Signal(SIGTERM);
    EXPECT_EQ(0, m_Recorder.Wait(10s));
    EXPECT_NE(std::string::npos, ReadText(Path("recorder.log")).find("SIGTERM: stopping"));
}

TEST_F(ToolsTest, BadCommandLinesGiveTheUsageExitCode)
{
    EXPECT_EQ(2, Kestrel({}));
    EXPECT_NE(std::string::npos, m_Err.find("no command given"));
    EXPECT_EQ(2, Kestrel({"stream"}));
    EXPECT_NE(std::string::npos, m_Err.find("unknown command 'stream'"));
    EXPECT_EQ(2, Kestrel({"live", "--bogus"}));
    EXPECT_NE(std::string::npos, m_Err.find("unknown option '--bogus' for live"));
    EXPECT_EQ(2, Kestrel({"live", "-p", "70000"}));
    EXPECT_NE(std::string::npos, m_Err.find("--port: takes 1-65535, not '70000'"));
    EXPECT_EQ(2, Kestrel({"live", "--transport", "sctp"}));
    EXPECT_EQ(2, Kestrel({"live", "--frames"}));
    EXPECT_NE(std::string::npos, m_Err.find("--frames needs a value"));
    EXPECT_EQ(2, Kestrel({"search", "--from", "2024-05-01"}));
    EXPECT_NE(std::string::npos, m_Err.find("search needs --from and --to"));
    EXPECT_EQ(2, Kestrel({"search", "--from", "2024-13-01", "--to", "2024-05-01"}));
    EXPECT_EQ(2, Kestrel({"download", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:02"}));
    EXPECT_EQ(2, Kestrel({"playback", "--start", "2024-05-01 08:00:00", "--at", "1:faster"}));
    EXPECT_EQ(2, Kestrel({"param", "get"}));
    EXPECT_EQ(2, Kestrel({"param", "set", "100", "abc"}));
    EXPECT_EQ(2, Kestrel({"param", "set", "100", std::string(180, 'a')}));
    EXPECT_NE(std::string::npos, m_Err.find("at most 89 bytes"));
    EXPECT_EQ(2, Kestrel({"talk"}));
    EXPECT_EQ(0, Kestrel({"download", "--help"}));
    EXPECT_NE(std::string::npos, m_Out.find("usage: kestrel download"));
    EXPECT_NE(std::string::npos, m_Out.find("3 recorder unreachable"));
    EXPECT_EQ(0, Kestrel({"--help"}));
    CChildProcess r;
    ASSERT_TRUE(r.Start(KN_RECORDER_BIN, {"--port", "x"}, Path("r.out"), Path("r.err")));
    EXPECT_EQ(2, r.Wait(10s));
    EXPECT_NE(std::string::npos, ReadText(Path("r.err")).find("--port: takes a port number 0-65535, not 'x'"));
}

// The three command lines refuse alike: an unknown option, a missing value
// and a number out of range are usage errors (status 2) that name the
// option, and --help lists the exit statuses.
TEST_F(ToolsTest, EveryProgramRefusesABadCommandLineByNameWithTheUsageStatus)
{
    const bool gateway = Kestrel({"gateway", "--help"}) == 0;
    struct Case {
        const char *program;  // "kestrel", "gateway" or "recorder"
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {"kestrel", {"login", "--bogus"}, "unknown option '--bogus' for login"},
        {"kestrel", {"search", "--selector"}, "--selector needs a value"},
        {"kestrel", {"live", "--chan", "1"}, "unknown option '--chan' for live"},
        {"kestrel", {"talk", "--file", "x", "--chunk", "0"}, "--chunk: takes 1-65536, not '0'"},
        {"kestrel", {"login", "--timeout", "soon"}, "--timeout: takes 1-600000 ms, not 'soon'"},
        {"gateway", {"gateway", "--bogus", "1"}, "unknown option '--bogus'"},
        {"gateway", {"gateway", "--listen"}, "--listen needs a value"},
        {"gateway", {"gateway", "--channels", "33"}, "--channels: takes a count 1-32, not '33'"},
        {"recorder", {"--bogus"}, "unknown option '--bogus'"},
        {"recorder", {"--fps"}, "--fps needs a value"},
        {"recorder", {"--channels", "0"}, "--channels: takes a channel count 1-32, not '0'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        if (std::string(c.program) == "gateway" && !gateway) {
            continue;
        }
        if (std::string(c.program) == "recorder") {
            CChildProcess r;
            ASSERT_TRUE(r.Start(KN_RECORDER_BIN, c.args, Path("r.out"), Path("r.err")));
            EXPECT_EQ(2, r.Wait(10s));
            EXPECT_NE(std::string::npos, ReadText(Path("r.err")).find(c.says)) << ReadText(Path("r.err"));
        } else {
            EXPECT_EQ(2, Kestrel(c.args));
            EXPECT_NE(std::string::npos, m_Err.find(c.says)) << m_Err;
        }
    }
    const std::vector<std::vector<std::string>> helps = {{"--help"}, {"live", "--help"}, {"gateway", "--help"}};
    for (const auto &help : helps) {
        if (help[0] == "gateway" && !gateway) {
            continue;
        }
        EXPECT_EQ(0, Kestrel(help));
        EXPECT_NE(std::string::npos, m_Out.find(help[0] == "gateway" ? "Exit status: 0 stopped" : "2 usage error"))
            << m_Out;
    }
    CChildProcess r;
    ASSERT_TRUE(r.Start(KN_RECORDER_BIN, {"--help"}, Path("r.out"), Path("r.err")));
    EXPECT_EQ(0, r.Wait(10s));
    EXPECT_NE(std::string::npos, ReadText(Path("r.out")).find("Exit status: 0 stopped by a signal"));
}

TEST_F(ToolsTest, UnreachableRecorderIsNamedWithItsExitCode)
{
    const std::string where = "127.0.0.1:" + std::to_string(ClosedPort());
    EXPECT_EQ(3, Kestrel({"live", "-p", where.substr(10), "-o", Path("x")}));
    EXPECT_NE(std::string::npos, m_Err.find("cannot reach the recorder at " + where + ": Connection refused")) << m_Err;
    EXPECT_EQ(3, Kestrel({"login", "-H", "no-such-host.invalid"}));
    EXPECT_NE(std::string::npos, m_Err.find("cannot resolve 'no-such-host.invalid'")) << m_Err;
}

TEST_F(ToolsTest, SilentRecorderGivesTheTimeOutExitCode)
{
    emu::CRecorderEmulator emu;
    ASSERT_TRUE(emu.Start());
    const std::string p = std::to_string(emu.Port());
    emu.SetSearchSilentDate(2024, 5, 2);
    EXPECT_EQ(5, Kestrel({"search", "-p", p, "--timeout", "300", "--from", "2024-05-01", "--to", "2024-05-03"}));
    EXPECT_TRUE(std::regex_search(m_Err, std::regex("127\\.0\\.0\\.1:" + p +
                                                    " did not answer a day of the search: "
                                                    "nothing came in 0\\.[3-9] s \\(--timeout 300 ms\\)")))
        << m_Err;
    emu.SetIgnored(100, true);
    EXPECT_EQ(5, Kestrel({"param", "get", "100", "-p", p, "--timeout", "300"}));
    EXPECT_TRUE(std::regex_search(
        m_Err, std::regex("did not answer request 100: nothing came in 0\\.[3-9] s \\(--timeout 300 ms\\)")))
        << m_Err;
    EXPECT_EQ(2, Kestrel({"param", "get", "200", "-p", p, "--timeout", "3000"}));
    EXPECT_NE(std::string::npos, m_Err.find("request code 200 is not a parameter code")) << m_Err;
    emu.SetMediaSilent(emu::ChannelKind::Live, true);
    EXPECT_EQ(5, Kestrel({"live", "-p", p, "--timeout", "300", "-o", Path("x")}));
    EXPECT_NE(std::string::npos, m_Err.find("did not acknowledge the live video request for channel 0")) << m_Err;
    emu.SetSilent(true);
    EXPECT_EQ(5, Kestrel({"login", "-p", p, "--timeout", "300"}));
    EXPECT_TRUE(std::regex_search(
        m_Err, std::regex("127\\.0\\.0\\.1:" + p + " did not answer the login: nothing came in 0\\.[3-9] s")))
        << m_Err;
}

}  // namespace
}  // namespace kn::test

#endif
