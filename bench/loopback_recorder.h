// CLoopbackRecorder: the smallest recorder peer that a media benchmark needs.
// It listens on 127.0.0.1, answers a login (49) with 51 and a real-time
// opening (57) with ';', ignores every other command, and hands each opened
// live connection to the benchmark, which then writes frames on it from a
// thread of its own. Nothing is recorded and nothing is allocated per packet,
// so the peer costs as little as a recorder can.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace kn::bench {

class CLoopbackRecorder {
public:
    CLoopbackRecorder() = default;
    ~CLoopbackRecorder();  // Stop()
    CLoopbackRecorder(const CLoopbackRecorder &) = delete;
    CLoopbackRecorder &operator=(const CLoopbackRecorder &) = delete;

    bool Start();  // 127.0.0.1 on an ephemeral port
    void Stop();   // ends every thread and closes every connection
    uint16_t Port() const { return m_wPort; }

    // The next connection that was answered ';', or -1 when none comes within
    // timeoutMs. The descriptor stays owned by the recorder; writing on it is
    // allowed until Stop.
    int WaitForLive(int timeoutMs);

private:
    void AcceptLoop();
    void ConnectionLoop(int fd);

    uint16_t m_wPort = 0;
    int m_ListenFd = -1;
    std::thread m_AcceptThread;
    std::mutex m_Mutex;  // everything below
    std::condition_variable m_LiveReady;
    std::vector<std::thread> m_Threads;
    std::vector<int> m_Fds;
    std::deque<int> m_Live;
    bool m_bStopping = false;
};

// Builds the 11-byte packet header plus payload the way a recorder does.
std::vector<uint8_t> RecorderPacket(uint8_t code, const uint8_t *payload, size_t len);

// Writes all bytes (blocking); false when the connection failed.
bool SendAll(int fd, const uint8_t *data, size_t len);

}  // namespace kn::bench
