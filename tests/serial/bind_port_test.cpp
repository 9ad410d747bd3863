// The local port walk over Settings/BindPort. Each case runs in a network
// namespace of its own when it can, where the whole port range is private;
// otherwise it runs here and skips when another process holds a port that
// the expectation depends on.
#include "net/socket_ops.h"

#include <gtest/gtest.h>

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

int32_t Stored() { return platform::ReadSettingInt("Settings", "BindPort", -12345); }

// Owns TCP sockets bound to ports, as another program would hold them.
class CPortHolder {
public:
    ~CPortHolder()
    {
        for (int fd : m_Fds) {
            platform::CloseSocket(fd);
        }
    }
    // False when the port is already held elsewhere.
    bool Hold(uint16_t port)
    {
        const SocketHandle s = platform::OpenTcpSocket();
        if (s == kNoSocket) {
            return false;
        }
        if (!platform::BindAny(s, port)) {
            platform::CloseSocket(s);
            return false;
        }
        m_Fds.push_back(s);
        return true;
    }

private:
    std::vector<int> m_Fds;
};

bool PortFree(uint16_t port)
{
    CPortHolder probe;
    return probe.Hold(port);
}

struct Sockets {
    std::vector<SocketHandle> fds;
    ~Sockets()
    {
        for (SocketHandle s : fds) {
            platform::CloseSocket(s);
        }
    }
};

int BindOne(Sockets &sockets)
{
    const SocketHandle s = CreateTcpSocket();
    if (s == kNoSocket) {
        return -2;
    }
    sockets.fds.push_back(s);
    return BindLocalPort(s) ? platform::LocalPort(s) : -1;
}

std::string Expect(bool ok, const std::string &what) { return ok ? std::string() : what; }

void RunIsolated(const std::function<std::string()> &body)
{
    if (kRelease1001) {
        GTEST_SKIP() << "release 1.0.0.1 keeps the candidate port in memory";
    }
    const auto result = test::RunInNetNamespace(body);
    std::string failure;
    if (result.outcome == test::NamespaceOutcome::Skipped) {
        failure = body();  // no private namespace: share the host's ports
    } else {
        failure = result.outcome == test::NamespaceOutcome::Passed ? std::string() : result.message;
        if (failure.empty() && result.outcome != test::NamespaceOutcome::Passed) {
            failure = "failed";
        }
    }
    if (failure.rfind(kSkip, 0) == 0) {
        GTEST_SKIP() << failure;
    }
    EXPECT_TRUE(failure.empty()) << failure;
}

TEST(BindPort, AbsentCounterStartsAfter8000)
{
    RunIsolated([]() -> std::string {
        if (!PortFree(8001) || !PortFree(8002)) {
            return std::string(kSkip) + " 8001/8002 held by another process";
        }
        Sockets sockets;
        const int first = BindOne(sockets);
        if (first != 8001 || Stored() != 8001) {
            return "first bind " + std::to_string(first) + ", stored " + std::to_string(Stored());
        }
        const int second = BindOne(sockets);
        return Expect(second == 8002 && Stored() == 8002,
                      "second bind " + std::to_string(second) + ", stored " + std::to_string(Stored()));
    });
}

// Stored value -> the port the next bind must take (0: the system's choice).
void ExpectFirstCandidate(int32_t stored, int expected)
{
    RunIsolated([stored, expected]() -> std::string {
        if (!platform::WriteSettingInt("Settings", "BindPort", stored)) {
            return "cannot store the counter";
        }
        if (expected != 0 && !PortFree(static_cast<uint16_t>(expected))) {
            return std::string(kSkip) + " port " + std::to_string(expected) + " held by another process";
        }
        Sockets sockets;
        const int bound = BindOne(sockets);
        if (expected == 0) {
            return Expect(bound > 0 && Stored() == 0, "system port expected; bound " + std::to_string(bound) +
                                                          ", stored " + std::to_string(Stored()));
        }
        return Expect(bound == expected && Stored() == expected,
                      "bound " + std::to_string(bound) + ", stored " + std::to_string(Stored()));
    });
}

TEST(BindPort, AfterTheTopOfTheRangeComes8000) { ExpectFirstCandidate(8999, 8000); }
TEST(BindPort, LowValuesAreUsedUnchanged) { ExpectFirstCandidate(100, 101); }
TEST(BindPort, NegativeValueWrapsAbove8999) { ExpectFirstCandidate(-5, 8000); }
TEST(BindPort, AllOnesLetsTheSystemChoose) { ExpectFirstCandidate(65535, 0); }
TEST(BindPort, MinusOneLetsTheSystemChoose) { ExpectFirstCandidate(-1, 0); }

TEST(BindPort, BusyPortsAreSkippedAndTheWalkWraps)
{
    RunIsolated([]() -> std::string {
        if (!platform::WriteSettingInt("Settings", "BindPort", 8500)) {
            return "cannot store the counter";
        }
        CPortHolder busy;
        for (int port = 8501; port <= 8999; ++port) {
            busy.Hold(static_cast<uint16_t>(port));  // held elsewhere is just as busy
        }
        busy.Hold(8000);
        if (!PortFree(8001)) {
            return std::string(kSkip) + " 8001 held by another process";
        }
        Sockets sockets;
        const int bound = BindOne(sockets);
        return Expect(bound == 8001 && Stored() == 8001,
                      "bound " + std::to_string(bound) + ", stored " + std::to_string(Stored()));
    });
}

TEST(BindPort, ThousandBusyPortsFailAndKeepTheCounter)
{
    RunIsolated([]() -> std::string {
        rlimit lim{};
        if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 1100) {
            lim.rlim_cur = lim.rlim_max < 1100 ? lim.rlim_max : 1100;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        if (!platform::WriteSettingInt("Settings", "BindPort", 8500)) {
            return "cannot store the counter";
        }
        CPortHolder busy;
        for (int port = 8000; port <= 8999; ++port) {
            busy.Hold(static_cast<uint16_t>(port));
        }
        for (int port = 8000; port <= 8999; ++port) {
            if (PortFree(static_cast<uint16_t>(port))) {
                return std::string(kSkip) + " cannot occupy port " + std::to_string(port);
            }
        }
        Sockets sockets;
        const int bound = BindOne(sockets);
        return Expect(bound == -1 && Stored() == 8500,
                      "bound " + std::to_string(bound) + ", stored " + std::to_string(Stored()));
    });
}

}  // namespace
}  // namespace kn::net
