// Throughput and latency of one live TCP stream, from the recorder's socket
// to the host's data callback, each beside a plain recv(4096) loop fed by the
// same sender over the same loopback in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <thread>

#include "api/exports.h"
#include "bench/alloc_counter.h"
#include "bench/bench.h"
#include "bench/frame_source.h"
#include "bench/loopback_recorder.h"
#include "bench/receive_clock.h"

namespace kn::bench {

namespace {

constexpr size_t kThroughputPayload = 20000;
constexpr uint64_t kThroughputBytes = 200ull * 1000 * 1000;
constexpr size_t kBlockFrames = 50;  // frames per send call of the throughput sender
constexpr int kRepetitions = 7;
constexpr uint64_t kWarmUpFrames = 100;  // not counted for allocations
constexpr int kLatencyFrames = 2000;
constexpr uint64_t kFrameIntervalNs = 1000000;  // 1000 frames/s
constexpr size_t kType2PrefixSize = 16;
constexpr int kWaitMs = 3000;

// What the data callback saw; written on the library's delivery thread.
struct Delivery {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};  // wire-equivalent: payload + 4-byte frame header
    std::atomic<uint64_t> lastNs{0};
    std::atomic<uint64_t> lost{0};  // type-255 notices
    int64_t *latency = nullptr;     // per frame index, -1 until delivered: last byte sent -> callback
    int64_t *handoff = nullptr;     // the same: last byte received by the library -> callback
    uint64_t latencyCount = 0;
};

std::atomic<Delivery *> g_pDelivery{nullptr};

void KR_CALL OnFrame(void *, uint32_t type, const unsigned char *data, int32_t len, uint32_t)
{
    const uint64_t now = NowNs();
    Delivery *d = g_pDelivery.load(std::memory_order_acquire);
    if (d == nullptr) {
        return;
    }
    if (type == 255) {
        d->lost.fetch_add(1);
        return;
    }
    if (type != 2 || len < static_cast<int32_t>(kType2PrefixSize + kMinPayload)) {
        return;
    }
    const uint8_t *payload = data + kType2PrefixSize;
    const size_t payloadLen = static_cast<size_t>(len) - kType2PrefixSize;
    d->frames.fetch_add(1, std::memory_order_relaxed);
    d->bytes.fetch_add(payloadLen + kFrameHeaderSize, std::memory_order_relaxed);
    d->lastNs.store(now, std::memory_order_relaxed);
    if (d->latency != nullptr) {
        const uint64_t index = ReadLe64(payload + kIndexOffset);
        if (index < d->latencyCount) {
            d->latency[index] = static_cast<int64_t>(now - ReadLe64(payload + payloadLen - kStampSize));
            d->handoff[index] = static_cast<int64_t>(now - LastLibraryReceiveNs());
        }
    }
}

// A logged-in session on the loopback recorder, logged out at the end.
class CSession {
public:
    explicit CSession(uint16_t port)
    {
        int32_t result = 0;
        m_hSession = KR_4100_Login("127.0.0.1", port, "bench", "bench", &result);
    }
    ~CSession()
    {
        if (m_hSession != nullptr) {
            KR_4100_Logout(m_hSession);
        }
    }
    void *Get() const { return m_hSession; }

private:
    void *m_hSession = nullptr;
};

// The baseline's receiving end: a plain TCP client that opens channel 0 the
// way the library does and then only reads.
int OpenRawLive(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const uint8_t open[2] = {0, 0};
    const std::vector<uint8_t> request = RecorderPacket(57, open, sizeof(open));
    uint8_t reply[18];
    size_t got = 0;
    bool ok =
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 && SendAll(fd, request.data(), request.size());
    while (ok && got < sizeof(reply)) {
        const ssize_t n = ::recv(fd, reply + got, sizeof(reply) - got, 0);
        ok = n > 0;
        got += ok ? static_cast<size_t>(n) : 0;
    }
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct SendReport {
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    uint64_t framesAtCountStart = 0;
    bool ok = true;
};

// Writes frames as fast as the connection takes them. With a Delivery, counts
// the library's allocations once the warm-up frames are out.
void SendFlat(int fd, uint64_t frames, CFrameBlock &block, Delivery *count, SendReport &r)
{
    MarkBenchThread();
    r.startNs = NowNs();
    for (uint64_t sent = 0; sent < frames && r.ok; sent += block.Frames()) {
        if (count != nullptr && sent >= kWarmUpFrames && r.framesAtCountStart == 0) {
            r.framesAtCountStart = count->frames.load() + 1;
            StartCountingAllocations();
        }
        block.Number(sent);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block.Frames(), frames - sent));
        r.ok = SendAll(fd, block.Data(), n * block.WireSize());
    }
    r.endNs = NowNs();
}

// One frame per tick; the stamp is taken when the frame's last 8 bytes are
// written, after the rest of the frame has gone (TCP_NODELAY on the sender).
void SendPaced(int fd, int frames, CFrameBlock &block, Delivery *count, SendReport &r)
{
    MarkBenchThread();
    const size_t wire = block.WireSize();
    uint64_t next = NowNs() + kFrameIntervalNs;
    r.startNs = NowNs();
    for (int i = 0; i < frames && r.ok; ++i, next += kFrameIntervalNs) {
        timespec ts{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        if (count != nullptr && static_cast<uint64_t>(i) == kWarmUpFrames) {
            r.framesAtCountStart = count->frames.load() + 1;
            StartCountingAllocations();
        }
        block.Number(static_cast<uint64_t>(i));
        r.ok = SendAll(fd, block.Frame(0), wire - kStampSize);
        block.Stamp(0, NowNs());
        r.ok = r.ok && SendAll(fd, block.Frame(0) + wire - kStampSize, kStampSize);
    }
    r.endNs = NowNs();
}

// Waits, bounded, until every frame was delivered or delivery stopped moving.
void AwaitDelivery(const Delivery &d, uint64_t frames)
{
    uint64_t seen = d.frames.load();
    uint64_t quietSince = NowNs();
    const uint64_t deadline = NowNs() + kWaitMs * 1000000ull;
    while (seen < frames && NowNs() < deadline && NowNs() - quietSince < 300000000ull) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint64_t now = d.frames.load();
        if (now != seen) {
            seen = now;
            quietSince = NowNs();
        }
    }
}

struct FlatResult {
    double mbPerS = 0;
    double cpuPercent = 0;  // process CPU time over the run's wall time, % of one core
    uint64_t frames = 0;
    uint64_t dropped = 0;
    uint64_t allocations = 0;
    uint64_t countedFrames = 0;
    bool ok = false;
};

FlatResult RawThroughput(CLoopbackRecorder &rec, CFrameBlock &block, uint64_t frames)
{
    FlatResult res;
    const int c = OpenRawLive(rec.Port());
    const int fd = c < 0 ? -1 : rec.WaitForLive(kWaitMs);
    if (fd < 0) {
        if (c >= 0) {
            ::close(c);
        }
        return res;
    }
    SendReport r;
    const double cpu0 = ProcessCpuUs();
    std::thread sender([&] { SendFlat(fd, frames, block, nullptr, r); });
    const uint64_t total = frames * block.WireSize();
    uint64_t got = 0;
    uint8_t buf[4096];
    while (got < total) {
        const ssize_t n = ::recv(c, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<uint64_t>(n);
    }
    const uint64_t lastNs = NowNs();
    sender.join();
    res.cpuPercent = (ProcessCpuUs() - cpu0) * 1e5 / static_cast<double>(lastNs - r.startNs);
    ::close(c);
    res.ok = r.ok && got == total;
    res.frames = got / block.WireSize();
    res.dropped = frames - res.frames;
    res.mbPerS = static_cast<double>(got) / static_cast<double>(lastNs - r.startNs) * 1e3;
    return res;
}

FlatResult LibraryThroughput(CLoopbackRecorder &rec, void *session, CFrameBlock &block, uint64_t frames)
{
    FlatResult res;
    Delivery d;
    g_pDelivery.store(&d);
    void *stream = KR_4100_RealPlay(session, 0, 1, OnFrame, 0);
    const int fd = stream == nullptr ? -1 : rec.WaitForLive(kWaitMs);
    if (fd < 0) {
        g_pDelivery.store(nullptr);
        return res;
    }
    SendReport r;
    const double cpu0 = ProcessCpuUs();
    std::thread sender([&] { SendFlat(fd, frames, block, &d, r); });
    sender.join();
    res.allocations = StopCountingAllocations();
    res.countedFrames = r.framesAtCountStart == 0 ? 0 : d.frames.load() - (r.framesAtCountStart - 1);
    AwaitDelivery(d, frames);
    // Up to the last frame delivered; the driver only sleeps meanwhile, and
    // the quiet wait after it costs nothing.
    res.cpuPercent = (ProcessCpuUs() - cpu0) * 1e5 / static_cast<double>(d.lastNs.load() - r.startNs);
    KR_4100_StopRealPlay(stream);
    g_pDelivery.store(nullptr);
    res.ok = r.ok && d.lost.load() == 0;
    res.frames = d.frames.load();
    res.dropped = frames - res.frames;
    res.mbPerS = static_cast<double>(d.bytes.load()) / static_cast<double>(d.lastNs.load() - r.startNs) * 1e3;
    if (res.allocations != 0) {
        PrintAllocationSites();
    }
    return res;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
    size_t samples = 0;
};

Percentiles Summarise(const std::vector<int64_t> &latencyNs)
{
    std::vector<int64_t> v;
    for (int64_t x : latencyNs) {
        if (x >= 0) {
            v.push_back(x);
        }
    }
    Percentiles p;
    p.samples = v.size();
    if (v.empty()) {
        return p;
    }
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        size_t i = static_cast<size_t>(q * static_cast<double>(v.size()));
        return static_cast<double>(v[std::min(i, v.size() - 1)]) / 1000.0;
    };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    p.max = static_cast<double>(v.back()) / 1000.0;
    return p;
}

// The smallest hand-off two threads can make: the receiving thread of the
// raw loop passes each completed frame's receive time to a second thread
// through a mutex and condition variable (signalled only while that thread
// sleeps). What the second thread measures is the floor this machine puts
// under any design that delivers on a thread of its own.
class CRawHandoff {
public:
    explicit CRawHandoff(std::vector<int64_t> &out) : m_Out(out), m_Thread([this] { Run(); }) {}
    ~CRawHandoff()
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bStop = true;
        }
        m_Ready.notify_one();
        m_Thread.join();
    }
    void Post(uint64_t index, uint64_t receivedNs)
    {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_nIndex = index;
            m_nReceivedNs = receivedNs;
            ++m_nPosted;
            wake = m_bSleeping;
        }
        if (wake) {
            m_Ready.notify_one();
        }
    }

private:
    void Run()
    {
        MarkBenchThread();
        uint64_t taken = 0;
        std::unique_lock<std::mutex> lock(m_Mutex);
        for (;;) {
            m_bSleeping = true;
            m_Ready.wait(lock, [this, taken] { return m_bStop || m_nPosted != taken; });
            m_bSleeping = false;
            if (m_bStop) {
                return;
            }
            const uint64_t now = NowNs();
            taken = m_nPosted;
            if (m_nIndex < m_Out.size()) {
                m_Out[m_nIndex] = static_cast<int64_t>(now - m_nReceivedNs);
            }
        }
    }

    std::vector<int64_t> &m_Out;
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    bool m_bSleeping = false;
    bool m_bStop = false;
    uint64_t m_nPosted = 0;
    uint64_t m_nIndex = 0;
    uint64_t m_nReceivedNs = 0;
    std::thread m_Thread;  // last: started once everything above is set up
};

struct RawLatencies {
    Percentiles fromSend;  // last byte sent -> recv returned it
    Percentiles handoff;   // recv returned it -> a second thread woke for it
};

RawLatencies RawLatency(CLoopbackRecorder &rec, size_t payload)
{
    CFrameBlock block(1, payload);
    std::vector<int64_t> lat(kLatencyFrames, -1);
    std::vector<int64_t> handoff(kLatencyFrames, -1);
    const int c = OpenRawLive(rec.Port());
    const int fd = c < 0 ? -1 : rec.WaitForLive(kWaitMs);
    if (fd < 0) {
        if (c >= 0) {
            ::close(c);
        }
        return {};
    }
    SendReport r;
    CRawHandoff consumer(handoff);
    std::thread sender([&] { SendPaced(fd, kLatencyFrames, block, nullptr, r); });
    CFrameTracker tracker(block.WireSize() - kFrameHeaderSize);
    int frames = 0;
    uint8_t buf[4096];
    while (frames < kLatencyFrames) {
        const ssize_t n = ::recv(c, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        const uint64_t now = NowNs();
        tracker.Feed(buf, static_cast<size_t>(n), [&](uint64_t index, uint64_t stamp) {
            ++frames;
            if (index < lat.size()) {
                lat[index] = static_cast<int64_t>(now - stamp);
            }
            consumer.Post(index, now);
        });
    }
    sender.join();
    ::close(c);
    return {Summarise(lat), Summarise(handoff)};
}

struct LibraryLatencies {
    Percentiles fromSend;     // last byte sent -> callback
    Percentiles fromReceive;  // last byte received by the library -> callback
};

LibraryLatencies LibraryLatency(CLoopbackRecorder &rec, void *session, size_t payload, uint64_t &allocations,
                                uint64_t &countedFrames)
{
    CFrameBlock block(1, payload);
    std::vector<int64_t> lat(kLatencyFrames, -1);
    std::vector<int64_t> handoff(kLatencyFrames, -1);
    Delivery d;
    d.latency = lat.data();
    d.handoff = handoff.data();
    d.latencyCount = lat.size();
    g_pDelivery.store(&d);
    void *stream = KR_4100_RealPlay(session, 0, 1, OnFrame, 0);
    const int fd = stream == nullptr ? -1 : rec.WaitForLive(kWaitMs);
    if (fd < 0) {
        g_pDelivery.store(nullptr);
        return {};
    }
    SendReport r;
    StampLibraryReceives(true);
    std::thread sender([&] { SendPaced(fd, kLatencyFrames, block, &d, r); });
    sender.join();
    allocations = StopCountingAllocations();
    countedFrames = r.framesAtCountStart == 0 ? 0 : d.frames.load() - (r.framesAtCountStart - 1);
    AwaitDelivery(d, kLatencyFrames);
    StampLibraryReceives(false);
    KR_4100_StopRealPlay(stream);
    g_pDelivery.store(nullptr);
    if (allocations != 0) {
        PrintAllocationSites();
    }
    return {Summarise(lat), Summarise(handoff)};
}

}  // namespace

void RunThroughput(Rows &rows)
{
    CLoopbackRecorder rec;
    if (!rec.Start() || KR_4100_Init() != 1) {
        std::fprintf(stderr, "throughput: no loopback recorder\n");
        return;
    }
    {
        CSession session(rec.Port());
        CFrameBlock block(kBlockFrames, kThroughputPayload);
        const uint64_t frames = kThroughputBytes / block.WireSize();
        std::vector<double> raw, lib;
        uint64_t dropped = 0, delivered = 0, allocations = 0, counted = 0;
        bool ok = session.Get() != nullptr;
        for (int i = 0; i < kRepetitions && ok; ++i) {
            const FlatResult a = RawThroughput(rec, block, frames);
            const FlatResult b = LibraryThroughput(rec, session.Get(), block, frames);
            ok = a.ok && b.ok;
            std::printf("throughput run %d: raw %.0f MB/s (CPU %.0f %%), library %.0f MB/s (CPU %.0f %%), delivered "
                        "%llu/%llu frames, %llu allocations in %llu frames\n",
                        i + 1, a.mbPerS, a.cpuPercent, b.mbPerS, b.cpuPercent,
                        static_cast<unsigned long long>(b.frames), static_cast<unsigned long long>(frames),
                        static_cast<unsigned long long>(b.allocations),
                        static_cast<unsigned long long>(b.countedFrames));
            std::fflush(stdout);
            raw.push_back(a.mbPerS);
            lib.push_back(b.mbPerS);
            dropped += b.dropped;
            delivered += b.frames;
            allocations += b.allocations;
            counted += b.countedFrames;
        }
        if (!ok) {
            std::fprintf(stderr, "throughput: a run failed (no login, no stream or a broken connection)\n");
        }
        const double ratio = Median(raw) > 0 ? Median(lib) / Median(raw) : 0;
        // On a small machine both sides move between a fast and a slow mode
        // with where the scheduler puts the threads; the fastest run of each
        // compares like with like.
        const double bestRaw = raw.empty() ? 0 : *std::max_element(raw.begin(), raw.end());
        const double bestLib = lib.empty() ? 0 : *std::max_element(lib.begin(), lib.end());
        const double bestRatio = bestRaw > 0 ? bestLib / bestRaw : 0;
        rows.push_back({"1. Throughput, one live TCP stream, 20 KB type-2 frames (median of 7 x 200 MB)",
                        Format("%.0f MB/s", Median(lib)), Format("%.0f MB/s (recv 4096 loop)", Median(raw)), "", ok});
        rows.push_back({"1. Throughput ratio library / baseline (medians)", Format("%.0f %%", ratio * 100), "",
                        ">= 70 %", ok && ratio >= 0.70});
        rows.push_back({"1. Throughput, fastest of 7 (ratio)", Format("%.0f MB/s (%.0f %%)", bestLib, bestRatio * 100),
                        Format("%.0f MB/s", bestRaw), "", ok});
        rows.push_back({"1. Frames dropped by the queue (all runs)",
                        Format("%llu of %llu", static_cast<unsigned long long>(dropped),
                               static_cast<unsigned long long>(dropped + delivered)),
                        "0 (TCP, no queue)", "", true});
        rows.push_back({"5. Allocations while media flows (throughput runs)",
                        Format("%llu in %llu frames", static_cast<unsigned long long>(allocations),
                               static_cast<unsigned long long>(counted)),
                        "", "0 per frame", ok && allocations == 0});
    }
    KR_4100_Cleanup();
    rec.Stop();
}

void RunLatency(Rows &rows)
{
    CLoopbackRecorder rec;
    if (!rec.Start() || KR_4100_Init() != 1) {
        std::fprintf(stderr, "latency: no loopback recorder\n");
        return;
    }
    {
        CSession session(rec.Port());
        uint64_t allocations = 0, counted = 0;
        for (size_t payload : {size_t{1000}, size_t{20000}}) {
            if (session.Get() == nullptr) {
                break;
            }
            const RawLatencies raw = RawLatency(rec, payload);
            const Percentiles &a = raw.fromSend;
            const Percentiles &ah = raw.handoff;
            uint64_t allocs = 0, frames = 0;
            const LibraryLatencies l = LibraryLatency(rec, session.Get(), payload, allocs, frames);
            const Percentiles &b = l.fromSend;
            const Percentiles &h = l.fromReceive;
            allocations += allocs;
            counted += frames;
            std::printf("latency %zu-byte frames: raw p50 %.1f p99 %.1f max %.1f us (%zu); library p50 %.1f "
                        "p99 %.1f max %.1f us (%zu); hand-off: raw p50 %.1f p99 %.1f max %.1f us, library p50 %.1f "
                        "p99 %.1f max %.1f us\n",
                        payload, a.p50, a.p99, a.max, a.samples, b.p50, b.p99, b.max, b.samples, ah.p50, ah.p99, ah.max,
                        h.p50, h.p99, h.max);
            std::fflush(stdout);
            const bool ok = b.samples >= kLatencyFrames * 99 / 100;
            rows.push_back({Format("2. Latency last byte sent -> callback, %zu-byte frames at 1000/s, p50", payload),
                            Format("%.1f us", b.p50), Format("%.1f us (recv 4096 loop)", a.p50), "", ok});
            rows.push_back({Format("2. Latency, %zu-byte frames, p99 (max)", payload),
                            Format("%.1f us (%.0f)", b.p99, b.max), Format("%.1f us (%.0f)", a.p99, a.max), "", ok});
            rows.push_back({Format("2. Hand-off last byte received by the library -> callback, %zu-byte frames, "
                                   "p50 / p99 (max)",
                                   payload),
                            Format("%.1f / %.1f us (%.0f)", h.p50, h.p99, h.max),
                            Format("%.1f / %.1f us (%.0f) (recv loop -> 2nd thread)", ah.p50, ah.p99, ah.max),
                            "p99 <= 50 us", ok && h.p99 <= 50.0});
        }
        rows.push_back({"5. Allocations while media flows (latency runs)",
                        Format("%llu in %llu frames", static_cast<unsigned long long>(allocations),
                               static_cast<unsigned long long>(counted)),
                        "", "0 per frame", allocations == 0});
    }
    KR_4100_Cleanup();
    rec.Stop();
}

}  // namespace kn::bench
