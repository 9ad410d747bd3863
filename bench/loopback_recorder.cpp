#include "bench/loopback_recorder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "bench/alloc_counter.h"

namespace kn::bench {

namespace {

constexpr size_t kHeaderSize = 11;
constexpr uint8_t kSessionId[4] = {0x0A, 0x0B, 0x0C, 0x0D};
constexpr uint8_t kCodeLogin = 49;
constexpr uint8_t kCodeLoginReply = 51;
constexpr uint8_t kCodeOpenLive = 57;
constexpr uint8_t kCodeLiveReply = 59;  // ';'

bool ReadAll(int fd, uint8_t *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = ::recv(fd, data, len, 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::vector<uint8_t> RecorderPacket(uint8_t code, const uint8_t *payload, size_t len)
{
    std::vector<uint8_t> p(kHeaderSize + len);
    std::memcpy(p.data(), "SDVR", 4);
    std::memcpy(p.data() + 4, kSessionId, 4);
    p[8] = static_cast<uint8_t>((len + 1) & 0xFF);
    p[9] = static_cast<uint8_t>((len + 1) >> 8);
    p[10] = code;
    if (len > 0) {
        std::memcpy(p.data() + kHeaderSize, payload, len);
    }
    return p;
}

bool SendAll(int fd, const uint8_t *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

CLoopbackRecorder::~CLoopbackRecorder() { Stop(); }

bool CLoopbackRecorder::Start()
{
    m_ListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_ListenFd < 0) {
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof(a);
    if (::bind(m_ListenFd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || ::listen(m_ListenFd, 256) != 0 ||
        ::getsockname(m_ListenFd, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
        ::close(m_ListenFd);
        m_ListenFd = -1;
        return false;
    }
    m_wPort = ntohs(a.sin_port);
    m_AcceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void CLoopbackRecorder::Stop()
{
    if (m_ListenFd < 0) {
        return;
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopping = true;
        // shutdown ends a blocked accept or recv at once on Linux.
        ::shutdown(m_ListenFd, SHUT_RDWR);
        for (int fd : m_Fds) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    m_AcceptThread.join();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        threads.swap(m_Threads);
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (int fd : m_Fds) {
        ::close(fd);
    }
    m_Fds.clear();
    m_Live.clear();
    ::close(m_ListenFd);
    m_ListenFd = -1;
}

int CLoopbackRecorder::WaitForLive(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_LiveReady.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_Live.empty(); })) {
        return -1;
    }
    const int fd = m_Live.front();
    m_Live.pop_front();
    return fd;
}

void CLoopbackRecorder::AcceptLoop()
{
    MarkBenchThread();
    for (;;) {
        const int fd = ::accept(m_ListenFd, nullptr, nullptr);
        if (fd < 0) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_bStopping) {
                return;
            }
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping) {
            ::close(fd);
            return;
        }
        m_Fds.push_back(fd);
        m_Threads.emplace_back([this, fd] { ConnectionLoop(fd); });
    }
}

void CLoopbackRecorder::ConnectionLoop(int fd)
{
    MarkBenchThread();
    static constexpr uint8_t kLoginOk[1] = {1};
    static constexpr uint8_t kNoGroup[7] = {};
    const std::vector<uint8_t> loginReply = RecorderPacket(kCodeLoginReply, kLoginOk, sizeof(kLoginOk));
    const std::vector<uint8_t> liveReply = RecorderPacket(kCodeLiveReply, kNoGroup, sizeof(kNoGroup));
    uint8_t header[kHeaderSize];
    uint8_t payload[65536];
    // The descriptor is closed by Stop only, so a sender never writes on a
    // number that was handed to another connection.
    while (ReadAll(fd, header, sizeof(header))) {
        const size_t len = static_cast<size_t>(header[8] | header[9] << 8);
        if (len > 1 && !ReadAll(fd, payload, len - 1)) {
            return;
        }
        if (std::memcmp(header, "SDVR", 4) != 0) {
            return;  // out of step: nothing sensible left to answer
        }
        if (header[10] == kCodeLogin) {
            SendAll(fd, loginReply.data(), loginReply.size());
        } else if (header[10] == kCodeOpenLive) {
            SendAll(fd, liveReply.data(), liveReply.size());
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Live.push_back(fd);
            m_LiveReady.notify_all();
        }
    }
}

}  // namespace kn::bench
