// Runs a test body in a forked child inside a network namespace of its own:
// loopback up and 224.0.0.0/4 routed to it, so multicast and the local port
// range are private to the test. Needs root; elsewhere the caller skips.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kn::test {

enum class NamespaceOutcome { Passed, Failed, Skipped };

struct NamespaceResult {
    NamespaceOutcome outcome;
    std::string message;  // the child's failure text, or why it was skipped
};

namespace detail {

inline bool BringLoopbackUp()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (ok) {
        rtentry rt{};
        auto *dst = reinterpret_cast<sockaddr_in *>(&rt.rt_dst);
        dst->sin_family = AF_INET;
        dst->sin_addr.s_addr = htonl(0xE0000000u);
        auto *mask = reinterpret_cast<sockaddr_in *>(&rt.rt_genmask);
        mask->sin_family = AF_INET;
        mask->sin_addr.s_addr = htonl(0xF0000000u);
        reinterpret_cast<sockaddr_in *>(&rt.rt_gateway)->sin_family = AF_INET;
        rt.rt_flags = RTF_UP;
        char dev[] = "lo";
        rt.rt_dev = dev;
        ok = ioctl(fd, SIOCADDRT, &rt) == 0 || errno == EEXIST;
    }
    close(fd);
    return ok;
}

inline void WriteText(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace detail

// body returns an empty string on success, else what went wrong. Exit status
// 0 passed, 1 failed, 77 namespace unavailable. The child is killed when it
// has not finished within timeoutMs.
inline NamespaceResult RunInNetNamespace(const std::function<std::string()> &body, int timeoutMs = 30000)
{
    constexpr int kSkipStatus = 77;
    if (geteuid() != 0) {
        return {NamespaceOutcome::Skipped, "not root"};
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {NamespaceOutcome::Skipped, "no pipe"};
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return {NamespaceOutcome::Skipped, "fork failed"};
    }
    if (pid == 0) {
        close(pipeFds[0]);
        if (unshare(CLONE_NEWNET) != 0) {
            detail::WriteText(pipeFds[1], std::string("unshare: ") + std::strerror(errno));
            _exit(kSkipStatus);
        }
        if (!detail::BringLoopbackUp()) {
            detail::WriteText(pipeFds[1], std::string("loopback set-up: ") + std::strerror(errno));
            _exit(kSkipStatus);
        }
        std::string failure;
        try {
            failure = body();
        } catch (...) {
            failure = "exception";
        }
        detail::WriteText(pipeFds[1], failure);
        _exit(failure.empty() ? 0 : 1);
    }
    close(pipeFds[1]);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string message;
    bool eof = false;
    while (!eof) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd pfd{pipeFds[0], POLLIN, 0};
        const int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            break;
        }
        char buf[512];
        const ssize_t n = read(pipeFds[0], buf, sizeof buf);
        if (n > 0) {
            message.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            eof = true;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    bool reaped = false;
    const auto reapBy = deadline + std::chrono::milliseconds(1000);
    while (eof && !reaped && Clock::now() < reapBy) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        reaped = done == pid;
        if (done == 0) {
            usleep(5000);  // the child closed its pipe and is on its way out
        } else if (done < 0 && errno != EINTR) {
            break;
        }
    }
    if (!reaped) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        eof = false;
    }
    if (!eof) {
        return {NamespaceOutcome::Failed, "child timed out: " + message};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipStatus) {
        return {NamespaceOutcome::Skipped, message};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return {NamespaceOutcome::Passed, message};
    }
    return {NamespaceOutcome::Failed, message.empty() ? "child died" : message};
}

}  // namespace kn::test

// Runs body in a namespace and reports the outcome to GoogleTest.
#define KN_EXPECT_IN_NET_NAMESPACE(body)                                                                               \
  do {                                                                                                                 \
    const auto knNsResult = ::kn::test::RunInNetNamespace(body);                                                       \
    if (knNsResult.outcome == ::kn::test::NamespaceOutcome::Skipped) {                                                 \
      GTEST_SKIP() << "network namespace unavailable: " << knNsResult.message;                                         \
    }                                                                                                                  \
    EXPECT_EQ(knNsResult.outcome, ::kn::test::NamespaceOutcome::Passed) << knNsResult.message;                         \
  } while (0)
