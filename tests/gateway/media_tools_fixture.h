// A test fixture for the GStreamer tools end to end: kestrel-recorder as the
// recorder, kestrel (gateway, or a command writing MP4) as a program, and
// ffmpeg's own tools (ffprobe, ffmpeg) as the clients and judges, all on
// 127.0.0.1 with bounded waits. Every program's output goes to a scratch
// folder, kept and printed when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/eventually.h"

namespace kn::test {

using namespace std::chrono_literals;

#if defined(KN_FFPROBE_BIN) && defined(KN_FFMPEG_BIN)
#  define KN_NEED_FFMPEG()
#else
#  define KN_NEED_FFMPEG() GTEST_SKIP() << "ffmpeg and ffprobe are needed"
#  define KN_FFPROBE_BIN ""
#  define KN_FFMPEG_BIN ""
#endif

struct RunResult {
    int rc = -1;
    std::string out, err;
};

// Milliseconds of the day of a log line's time stamp ("...THH:MM:SS.mmmZ").
inline long StampMs(const std::string &hh, const std::string &mm, const std::string &ss, const std::string &ms)
{
    return ((std::stol(hh) * 60 + std::stol(mm)) * 60 + std::stol(ss)) * 1000 + std::stol(ms);
}

inline size_t Count(const std::string &text, const std::regex &re)
{
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// ffprobe's value of a field ("name=30/1", "name=2.0"), a fraction divided
// out; -1 when absent.
inline double Number(const std::string &text, const std::string &name)
{
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(name + "=([0-9.]+)(/([0-9]+))?"))) {
        return -1;
    }
    const double v = std::stod(m[1]);
    return m[3].matched && std::stod(m[3]) > 0 ? v / std::stod(m[3]) : v;
}

class CMediaToolsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrel-gateway-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_Dir = pattern;
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
        // Both sides on free ports: a port in use ends the gateway at start.
        std::vector<std::string> all{"gateway",
                                     "-p",
                                     std::to_string(m_wRecorderPort),
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--http",
                                     "127.0.0.1:0",
                                     "--timeout",
                                     "2000",
                                     "--channels",
                                     "8"};
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
        const RunResult r =
            Program(KN_FFPROBE_BIN,
                    {"-v", "error", "-select_streams", "v", "-show_entries", "frame=key_frame", "-of", "csv=p=0", file},
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

}  // namespace kn::test
