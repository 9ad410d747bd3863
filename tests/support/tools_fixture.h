// What the end-to-end tests of the host tools share: helpers for the clip
// and files, and a fixture that runs kestrel-recorder and kestrel as
// programs in a scratch folder of their own.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tools/testing/emulator/access_units.h"
#include "tools/testing/emulator/recorder_emulator.h"

#if defined(KN_RECORDER_BIN) && defined(KN_KESTREL_BIN)

namespace kn::test {

using namespace std::chrono_literals;

inline const std::string kClip = KN_SOURCE_DIR "/tools/testing/clip/sample.h264";

inline emu::Bytes Clip()
{
    emu::Bytes clip;
    EXPECT_TRUE(emu::ReadFileBytes(kClip, clip));
    return clip;
}

// Access units n times round the clip from the first, concatenated.
inline emu::Bytes Units(const std::vector<emu::Bytes> &units, size_t count)
{
    emu::Bytes out;
    for (size_t i = 0; i < count; ++i) {
        const emu::Bytes &u = units[i % units.size()];
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

inline emu::Bytes FileBytes(const std::string &path)
{
    emu::Bytes b;
    emu::ReadFileBytes(path, b);
    return b;
}

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline uint16_t ClosedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A scratch directory per test, removed at the end.
class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrel-tools-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_Dir = pattern;
    }
    void TearDown() override
    {
        m_Recorder.Signal(SIGINT);
        m_Recorder.Wait(10s);
        std::system(("rm -rf '" + m_Dir + "'").c_str());
    }

    std::string Path(const std::string &name) const { return m_Dir + "/" + name; }

    // Starts kestrel-recorder on a free port; the port it reports, or 0.
    uint16_t StartRecorder(std::vector<std::string> args = {})
    {
        // The recorder is eager, as hardware is: the first frames of every
        // opening leave in the same write as its acknowledgement.
        args.insert(args.end(), {"--port", "0"});
        std::remove(Path("recorder.log").c_str());  // a port read must not come from an earlier run
        if (!m_Recorder.Start(KN_RECORDER_BIN, args, Path("recorder.out"), Path("recorder.log"))) {
            return 0;
        }
        const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
        std::smatch m;
        uint16_t port = 0;
        Eventually([&] {
            const std::string log = ReadText(Path("recorder.log"));
            if (std::regex_search(log, m, listening)) {
                port = static_cast<uint16_t>(std::stoi(m[1]));
            }
            return port != 0;
        });
        return port;
    }

    // Starts kestrel in the background; its output goes where Kestrel's goes.
    bool StartKestrel(CChildProcess &k, const std::vector<std::string> &args)
    {
        return k.Start(KN_KESTREL_BIN, args, Path("kestrel.out"), Path("kestrel.err"));
    }

    // Waits (bounded) for a kestrel started so; the exit status, stdout in
    // m_Out, stderr in m_Err.
    int Finish(CChildProcess &k, std::chrono::milliseconds limit = 60s)
    {
        const int rc = k.Wait(limit);
        m_Out = ReadText(Path("kestrel.out"));
        m_Err = ReadText(Path("kestrel.err"));
        return rc;
    }

    // Runs kestrel to its end; the exit status, stdout in m_Out, stderr in m_Err.
    int Kestrel(const std::vector<std::string> &args)
    {
        CChildProcess k;
        if (!StartKestrel(k, args)) {
            return -1;
        }
        return Finish(k);
    }

    // Waits for a line in the recorder's log.
    bool RecorderLogged(const std::regex &line, std::smatch *match = nullptr)
    {
        std::string log;
        std::smatch m;
        const bool found = Eventually([&] {
            log = ReadText(Path("recorder.log"));
            return std::regex_search(log, m, line);
        });
        if (found && match != nullptr) {
            m_Log = log;  // keeps the match's text alive
            std::regex_search(m_Log, *match, line);
        }
        return found;
    }

    std::string m_Dir;
    CChildProcess m_Recorder;
    std::string m_Out, m_Err, m_Log;
};

}  // namespace kn::test

#endif
