// Release 1.0.0.1 keeps its candidate local port in memory: 8010 when the
// library is loaded, left at the port last bound, never read from or written
// to the settings store. Each case runs in a network namespace of its own
// when it can (the forked child starts from the candidate the test process
// was loaded with); otherwise it runs here and skips when another process
// holds a port that the expectation depends on.
#include "net/socket_ops.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "core/release.h"
#include "platform/settings_file.h"
#include "tests/support/net_namespace.h"

namespace kn::net {
namespace {

using platform::kNoSocket;
using platform::SocketHandle;

constexpr char kSkip[] = "SKIP:";

class CSockets {
public:
    ~CSockets()
    {
        for (SocketHandle s : m_Fds) {
            platform::CloseSocket(s);
        }
    }
    // A plain socket bound to port, as another program would hold it; false
    // when the port is already held elsewhere.
    bool Hold(uint16_t port)
    {
        const SocketHandle s = platform::OpenTcpSocket();
        if (s == kNoSocket) {
            return false;
        }
        m_Fds.push_back(s);
        return platform::BindAny(s, port);
    }
    // The library's walk; the port bound, or -1.
    int Bind()
    {
        const SocketHandle s = CreateTcpSocket();
        if (s == kNoSocket) {
            return -2;
        }
        m_Fds.push_back(s);
        return BindLocalPort(s) ? platform::LocalPort(s) : -1;
    }
    void CloseLast()
    {
        platform::CloseSocket(m_Fds.back());
        m_Fds.pop_back();
    }

private:
    std::vector<SocketHandle> m_Fds;
};

bool PortFree(uint16_t port)
{
    CSockets probe;
    return probe.Hold(port);
}

bool StoreUntouched()
{
    std::error_code ec;
    const char *home = std::getenv("XDG_CONFIG_HOME");
    return platform::ReadSettingInt("Settings", "BindPort", -12345) == -12345 && home != nullptr &&
           std::filesystem::is_empty(home, ec);
}

std::string Check(bool ok, const std::string &what) { return ok ? std::string() : what; }

void RunIsolated(const std::function<std::string()> &body)
{
    if (!kRelease1001) {
        GTEST_SKIP() << "release 1.0.0.13 walks from the persisted counter";
    }
    const auto result = test::RunInNetNamespace(body);
    std::string failure;
    if (result.outcome == test::NamespaceOutcome::Skipped) {
        failure = body();  // no private namespace: share the host's ports
    } else if (result.outcome != test::NamespaceOutcome::Passed) {
        failure = result.message.empty() ? std::string("failed") : result.message;
    }
    if (failure.rfind(kSkip, 0) == 0) {
        GTEST_SKIP() << failure;
    }
    EXPECT_TRUE(failure.empty()) << failure;
}

TEST(CandidatePort, FirstBindTries8010AndABoundPortIsTriedAgain)
{
    RunIsolated([]() -> std::string {
        if (!PortFree(8010) || !PortFree(8011)) {
            return std::string(kSkip) + " 8010/8011 held by another process";
        }
        CSockets sockets;
        const int first = sockets.Bind();
        if (first != 8010) {
            return "first bind " + std::to_string(first);
        }
        // Still held: the walk goes on to the next port.
        const int second = sockets.Bind();
        if (second != 8011) {
            return "second bind " + std::to_string(second);
        }
        // Freed again: the port last bound is the first one tried.
        sockets.CloseLast();
        const int third = sockets.Bind();
        if (third != 8011) {
            return "third bind " + std::to_string(third);
        }
        return Check(StoreUntouched(), "the settings store was touched");
    });
}

TEST(CandidatePort, TakenFirstCandidateMovesOnAndStays)
{
    RunIsolated([]() -> std::string {
        CSockets sockets;
        if (!sockets.Hold(8010) || !PortFree(8011)) {
            return std::string(kSkip) + " 8010/8011 held by another process";
        }
        const int first = sockets.Bind();
        if (first != 8011) {
            return "first bind " + std::to_string(first);
        }
        sockets.CloseLast();
        const int again = sockets.Bind();
        return Check(again == 8011 && StoreUntouched(), "next bind " + std::to_string(again));
    });
}

TEST(CandidatePort, WalkWrapsAbove8999)
{
    RunIsolated([]() -> std::string {
        rlimit lim{};
        if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 1100) {
            lim.rlim_cur = lim.rlim_max < 1100 ? lim.rlim_max : 1100;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        CSockets sockets;
        for (int port = 8010; port <= 8999; ++port) {
            if (!sockets.Hold(static_cast<uint16_t>(port))) {
                return std::string(kSkip) + " cannot occupy port " + std::to_string(port);
            }
        }
        if (!PortFree(8000)) {
            return std::string(kSkip) + " 8000 held by another process";
        }
        const int bound = sockets.Bind();
        return Check(bound == 8000 && StoreUntouched(), "bound " + std::to_string(bound));
    });
}

}  // namespace
}  // namespace kn::net
