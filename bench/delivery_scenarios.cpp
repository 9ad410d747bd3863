// kestrel-delivery: how many of the frames a recorder sends reach the host,
// whole and in order, in the situations where a library that takes a
// receive for a message loses them: frames that come with the
// acknowledgement of an opening, a stream reopened after its connection
// broke off inside a frame, a reset while the host is busy, and a TCP
// request moved to a multicast group. It loads the library to measure from
// the path given (any build of either release), drives it through its
// exports against the recorder emulator, and prints one line per scenario.
//
//   kestrel-delivery PATH-TO-LIBRARY
//
// Run as root, it moves into a network namespace of its own first (loopback
// up, multicast routed to it) so that the multicast scenario can run;
// otherwise that scenario is skipped. Exit status: 0 done, 1 the library
// could not be loaded or started, 2 usage.
#include <dlfcn.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/exports.h"
#include "tests/support/net_namespace.h"
#include "tools/testing/emulator/recorder_emulator.h"

namespace {

using kn::emu::Bytes;
using kn::emu::ChannelKind;

struct Library {
    decltype(&KR_4100_Init) Init;
    decltype(&KR_4100_Cleanup) Cleanup;
    decltype(&KR_4100_Login) Login;
    decltype(&KR_4100_RealPlay) RealPlay;
    decltype(&KR_4100_PlayBack) PlayBack;
    decltype(&KR_4100_DownLoad) DownLoad;
    decltype(&KR_4100_StopRealPlay) Stop;
};
Library g_lib;

template <typename F>
bool Bind(void *h, const char *name, F &f)
{
    f = reinterpret_cast<F>(dlsym(h, name));
    return f != nullptr;
}

// What the host received on one stream.
struct Received {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, Bytes>> frames;  // type 255 included
    std::atomic<int> media{0};
    std::atomic<int> lost{0};
    std::atomic<int> mediaBeforeLoss{-1};
    std::atomic<bool> busy{false};  // the host dwells in its first frame
};
Received g_received[8];

void KR_CALL OnData(void *, uint32_t type, const unsigned char *data, int32_t len, uint32_t user)
{
    Received &r = g_received[user % 8];
    {
        std::lock_guard<std::mutex> lk(r.mutex);
        r.frames.emplace_back(type, data != nullptr && len > 0 ? Bytes(data, data + len) : Bytes{});
    }
    if (type == 255) {
        r.mediaBeforeLoss = r.media.load();
        ++r.lost;
        return;
    }
    if (++r.media == 1 && r.busy) {
        // Busy with the first frame for 300 ms, or until the loss is told.
        for (int i = 0; i < 300 && r.lost == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

template <typename Cond>
bool WaitUntil(Cond cond, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// n type 2 frames; payload bytes above 3 (bytes 2-3 zero, as the library
// sets them), each frame's own pattern.
Bytes Frames(int n, size_t size, int first, std::vector<Bytes> *payloads)
{
    Bytes wire;
    for (int i = 0; i < n; ++i) {
        Bytes p(size);
        for (size_t k = 0; k < size; ++k) {
            p[k] = static_cast<uint8_t>(0x80 | ((first + i) * 5 + k) % 0x7F);
        }
        p[2] = p[3] = 0;
        const Bytes f = kn::emu::BuildFrame(2, p);
        wire.insert(wire.end(), f.begin(), f.end());
        payloads->push_back(p);
    }
    return wire;
}

// Frames that match the payloads sent, in order (a subsequence), whatever
// the counter in their prefix says.
int WholeInOrder(Received &r, const std::vector<Bytes> &payloads)
{
    std::lock_guard<std::mutex> lk(r.mutex);
    size_t next = 0;
    int whole = 0;
    for (const auto &[type, bytes] : r.frames) {
        if (type != 2 || bytes.size() < 16) {
            continue;
        }
        const Bytes body(bytes.begin() + 16, bytes.end());
        for (size_t j = next; j < payloads.size(); ++j) {
            if (payloads[j] == body) {
                ++whole;
                next = j + 1;
                break;
            }
        }
    }
    return whole;
}

void Reset()
{
    for (Received &r : g_received) {
        std::lock_guard<std::mutex> lk(r.mutex);
        r.frames.clear();
        r.media = 0;
        r.lost = 0;
        r.mediaBeforeLoss = -1;
        r.busy = false;
    }
}

void Report(const char *fault, const char *scenario, size_t sent, Received &r, const std::vector<Bytes> &payloads,
            bool loss = false)
{
    std::printf("%-6s %-44s sent %4zu  delivered %4d  whole+in order %4d", fault, scenario, sent, r.media.load(),
                WholeInOrder(r, payloads));
    if (loss) {
        std::printf("  before the loss %4d", r.mediaBeforeLoss.load());
    }
    std::printf("\n");
    std::fflush(stdout);
}

constexpr DvrTime kStart{2024, 5, 6, 10, 0, 0};
constexpr DvrTime kEnd{2024, 5, 6, 10, 5, 0};

enum class Kind { LiveTcp, LiveUdp, PlayBack, DownLoad };

void *Open(void *session, Kind k, uint32_t user)
{
    switch (k) {
    case Kind::LiveTcp: return g_lib.RealPlay(session, 1, 1, OnData, user);
    case Kind::LiveUdp: return g_lib.RealPlay(session, 1, 0, OnData, user);
    case Kind::PlayBack: return g_lib.PlayBack(session, 1, &kStart, OnData, user);
    case Kind::DownLoad: return g_lib.DownLoad(session, 1, &kStart, &kEnd, OnData, user);
    }
    return nullptr;
}

const char *Name(Kind k)
{
    return k == Kind::LiveTcp    ? "live/tcp"
           : k == Kind::LiveUdp  ? "live/udp"
           : k == Kind::PlayBack ? "playback"
                                 : "download";
}

// A fresh recorder and session for each scenario.
struct Setup {
    kn::emu::CRecorderEmulator emu;
    void *session = nullptr;
    bool Start()
    {
        Reset();
        if (!emu.Start()) {
            return false;
        }
        emu.SetLoginPayload({1, 0, 0, 0, 0, 0, 0, 0, 0, '!'});  // accepted by both releases
        int32_t result = 0;
        session = g_lib.Login("127.0.0.1", emu.Port(), "admin", "pw", &result);
        return session != nullptr;
    }
    ~Setup() { emu.Stop(); }
};

void WithTheAcknowledgement()
{
    for (const Kind k : {Kind::LiveTcp, Kind::PlayBack, Kind::DownLoad}) {
        Setup s;
        std::vector<Bytes> payloads;
        const Bytes media = Frames(12, 3000, 1, &payloads);
        s.emu.SetOpeningMedia([&](const kn::emu::ConnectionInfo &, const kn::emu::RecordedPacket &) { return media; });
        if (!s.Start()) {
            return;
        }
        void *st = Open(s.session, k, 1);
        WaitUntil([] { return g_received[1].media >= 12; }, 10000);
        Report("1", (std::string(Name(k)) + ": 12 frames in the reply's write").c_str(), 12, g_received[1], payloads);
        if (st) {
            g_lib.Stop(st);
        }
    }
    Setup s;
    std::vector<Bytes> payloads;
    s.emu.SetDownloadStream(Frames(300, 8000, 1, &payloads));
    if (!s.Start()) {
        return;
    }
    void *st = Open(s.session, Kind::DownLoad, 1);
    WaitUntil([] { return g_received[1].media >= 300; }, 10000);
    Report("1", "download: 300 frames, 64 KiB with the reply", 300, g_received[1], payloads);
    if (st) {
        g_lib.Stop(st);
    }
}

void Reopened()
{
    for (const Kind k : {Kind::LiveTcp, Kind::LiveUdp}) {
        Setup s;
        if (!s.Start()) {
            return;
        }
        std::vector<Bytes> payloads;
        void *st = Open(s.session, k, 1);
        const int conn = s.emu.WaitForConnection(ChannelKind::Live, std::chrono::milliseconds(3000), 0);
        Bytes old = Frames(2, 3000, 1, &payloads);
        payloads.pop_back();
        old.resize(old.size() - 1500);
        s.emu.SendMedia(conn, old);
        WaitUntil([] { return g_received[1].media >= 1; }, 10000);
        if (k == Kind::LiveTcp) {
            s.emu.CloseConnection(conn);
        } else {
            s.emu.SendEmptyDatagram(conn);
        }
        WaitUntil([] { return g_received[1].lost >= 1; }, 10000);
        Open(s.session, k, 1);
        // The newest live connection: a datagram socket bound to the old
        // one's port is the same one for the emulator.
        int again = -1;
        for (const auto &c : s.emu.Connections()) {
            again = c.kind == ChannelKind::Live ? c.index : again;
        }
        if (k == Kind::LiveUdp) {
            s.emu.SetNextSequence(again, 3);
        }
        s.emu.SendMedia(again, Frames(10, 3000, 20, &payloads));
        WaitUntil([] { return g_received[1].media >= 11; }, 10000);
        Report("2", (std::string(Name(k)) + ": 1 frame, half a frame, reopen, 10").c_str(), 11, g_received[1],
               payloads);
        if (st) {
            g_lib.Stop(st);
        }
    }
}

void ResetWhileBusy()
{
    for (const Kind k : {Kind::LiveTcp, Kind::LiveUdp, Kind::PlayBack, Kind::DownLoad}) {
        Setup s;
        if (!s.Start()) {
            return;
        }
        std::vector<Bytes> payloads;
        g_received[1].busy = true;
        void *st = Open(s.session, k, 1);
        const int conn = s.emu.WaitForConnection(k == Kind::PlayBack   ? ChannelKind::Playback
                                                 : k == Kind::DownLoad ? ChannelKind::Download
                                                                       : ChannelKind::Live,
                                                 std::chrono::milliseconds(3000), 0);
        s.emu.SendMedia(conn, Frames(50, k == Kind::LiveUdp ? 1000 : 4000, 1, &payloads));
        WaitUntil([] { return g_received[1].media >= 1; }, 10000);
        if (k == Kind::LiveUdp) {
            s.emu.SendEmptyDatagram(conn);
        } else {
            s.emu.WaitUntilSent(conn, 10000);  // a reset drops what was not sent
            s.emu.CloseConnection(conn, true);
        }
        WaitUntil([] { return g_received[1].lost >= 1 && g_received[1].media >= 50; }, 10000);
        Report("3", (std::string(Name(k)) + ": 50 frames, reset, host busy").c_str(), 50, g_received[1], payloads,
               true);
        if (st) {
            g_lib.Stop(st);
        }
    }
}

void MovedToMulticast(bool inNamespace)
{
    if (!inNamespace) {
        std::printf("4      multicast: skipped (needs root for a network namespace)\n");
        return;
    }
    for (const int transport : {1, 0}) {
        Setup s;
        const kn::emu::Id4 group{239, 7, 8, 11};
        const uint16_t port = 9323;
        s.emu.SetLiveAnnounce(group, port);
        if (!s.Start()) {
            return;
        }
        void *st = g_lib.RealPlay(s.session, 1, transport, OnData, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the move follows the acknowledgement
        std::vector<Bytes> payloads;
        const Bytes media = Frames(50, 2500, 1, &payloads);
        uint16_t seq = 0;
        for (size_t f = 0; f < 50; ++f) {
            const size_t at0 = f * 2504;
            for (size_t at = at0; at < at0 + 2504; at += 1024) {
                const size_t n = std::min<size_t>(1024, at0 + 2504 - at);
                s.emu.SendMulticast(group, port, kn::emu::BuildDatagram(seq++, media.data() + at, n));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        WaitUntil([] { return g_received[1].media >= 50; }, 10000);
        Report("4", transport == 1 ? "live asked over tcp, moved to a group" : "live asked over udp, moved to a group",
               50, g_received[1], payloads);
        if (st) {
            g_lib.Stop(st);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrel-delivery PATH-TO-LIBRARY\n");
        return 2;
    }
    void *h = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr || !Bind(h, "KR_4100_Init", g_lib.Init) || !Bind(h, "KR_4100_Cleanup", g_lib.Cleanup) ||
        !Bind(h, "KR_4100_Login", g_lib.Login) || !Bind(h, "KR_4100_RealPlay", g_lib.RealPlay) ||
        !Bind(h, "KR_4100_PlayBack", g_lib.PlayBack) || !Bind(h, "KR_4100_DownLoad", g_lib.DownLoad) ||
        !Bind(h, "KR_4100_StopRealPlay", g_lib.Stop)) {
        std::fprintf(stderr, "kestrel-delivery: cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    const bool inNamespace = geteuid() == 0 && unshare(CLONE_NEWNET) == 0 && kn::test::detail::BringLoopbackUp();
    if (g_lib.Init() != 1) {
        std::fprintf(stderr, "kestrel-delivery: KR_4100_Init failed\n");
        return 1;
    }
    std::printf("library %s\n", argv[1]);
    WithTheAcknowledgement();
    Reopened();
    ResetWhileBusy();
    MovedToMulticast(inNamespace);
    g_lib.Cleanup();
    return 0;
}
