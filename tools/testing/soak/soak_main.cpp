// kestrel-soak: runs the library through thousands of cycles of login, live
// streams with frames, playback, download, talk, stops and logout against the
// recorder emulator on 127.0.0.1, with faults injected at random (resets,
// silence, garbage, a recorder that stops reading). Every few hundred cycles
// it prints the process's descriptors, threads and resident memory, and it
// fails when any of them grows, or when a cycle hangs.
//
// Exit codes: 0 passed, 1 a resource grew, 2 a cycle hung, 3 set-up failed,
// 64 bad options.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "api/exports.h"
#include "tools/testing/emulator/recorder_emulator.h"

using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::emu::CRecorderEmulator;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitGrew = 1;
constexpr int kExitHung = 2;
constexpr int kExitSetup = 3;
constexpr int kExitUsage = 64;

constexpr uint32_t kReplyTimeoutMs = 300;
constexpr auto kCycleHangLimit = std::chrono::seconds(60);

struct Options {
    long cycles = 1000;
    long reportEvery = 200;
    unsigned seed = 1;
};

struct Resources {
    long fds = 0;
    long threads = 0;
    long rssKb = 0;
};

long CountFds()
{
    long n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n - 3;  // ".", ".." and the directory's own descriptor
}

long StatusField(const char *name)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long value = -1;
    const size_t len = std::strlen(name);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, name, len) == 0 && line[len] == ':') {
            value = std::strtol(line + len + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

Resources Measure()
{
    // Memory the allocator holds free (in per-thread arenas) is given back
    // first, so that what remains is memory in use.
    malloc_trim(0);
    // Threads of a stop still finishing are given a moment to go.
    Resources r;
    for (int i = 0; i < 50; ++i) {
        r = {CountFds(), StatusField("Threads"), StatusField("VmRSS")};
        if (r.threads <= 1) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return r;
}

std::atomic<long> g_Frames{0};
std::atomic<long> g_Lost{0};
std::atomic<long> g_Messages{0};

void KR_CALL OnData(void *, uint32_t type, const unsigned char *, int32_t, uint32_t)
{
    if (type == 255) {
        ++g_Lost;
    } else {
        ++g_Frames;
    }
}

void KR_CALL OnMessage(uint32_t, void *, const unsigned char *, uint32_t) { ++g_Messages; }

Bytes FrameStream(int frames, size_t size, uint8_t seed)
{
    Bytes stream;
    for (int i = 0; i < frames; ++i) {
        Bytes payload(size, static_cast<uint8_t>(seed + i));
        const Bytes frame = kn::emu::BuildFrame(static_cast<uint8_t>(1 + i % 3), payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

enum class Fault { None, CommandReset, Silence, Garbage, StopReading, MediaReset, Count };

const char *FaultName(Fault f)
{
    switch (f) {
    case Fault::None: return "none";
    case Fault::CommandReset: return "command reset";
    case Fault::Silence: return "silence";
    case Fault::Garbage: return "garbage";
    case Fault::StopReading: return "stopped reading";
    case Fault::MediaReset: return "media reset";
    case Fault::Count: break;
    }
    return "?";
}

struct Tally {
    long cycles = 0;
    long faults[static_cast<int>(Fault::Count)] = {};
    long failedLogins = 0;
    long failedOpens = 0;
};

// The newest connection of a kind, or -1.
int LastConnection(const CRecorderEmulator &emu, ChannelKind kind)
{
    int found = -1;
    for (const kn::emu::ConnectionInfo &c : emu.Connections()) {
        if (c.kind == kind) {
            found = c.index;
        }
    }
    return found;
}

bool WaitUntil(const std::function<bool()> &cond, milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!cond()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// One cycle: log in, open every kind of stream, move media, control, talk,
// stop everything and log out, with one fault (or none) on the way.
void RunCycle(CRecorderEmulator &emu, std::mt19937 &rng, Fault fault, Tally &tally, const Bytes &media)
{
    emu.SetResetAfterPackets(0);
    emu.SetSilent(false);
    for (ChannelKind k : {ChannelKind::Command, ChannelKind::Live, ChannelKind::Talk, ChannelKind::Download}) {
        emu.SetStopReading(k, false);
        emu.SetMediaSilent(k, false);
    }
    switch (fault) {
    case Fault::CommandReset: emu.SetResetAfterPackets(std::uniform_int_distribution<int>(2, 8)(rng)); break;
    case Fault::StopReading: emu.SetStopReading(rng() % 2 ? ChannelKind::Talk : ChannelKind::Command, true); break;
    case Fault::Silence: emu.SetMediaSilent(rng() % 2 ? ChannelKind::Live : ChannelKind::Download, true); break;
    default: break;
    }

    int32_t result = 0;
    void *session = KR_4100_Login("127.0.0.1", emu.Port(), "soak", "soak", &result);
    if (session == nullptr) {
        ++tally.failedLogins;
        return;
    }
    if (fault == Fault::Silence && rng() % 2) {
        emu.SetSilent(true);
    }
    const int commandConn = LastConnection(emu, ChannelKind::Command);
    if (fault == Fault::Garbage && commandConn >= 0) {
        Bytes junk(std::uniform_int_distribution<size_t>(1, 6000)(rng));
        for (auto &b : junk) {
            b = static_cast<uint8_t>(rng());
        }
        if (rng() % 2 && junk.size() > 11) {
            std::memcpy(junk.data(), "SDVR", 4);  // a header that lies about its length
        }
        emu.SendRaw(commandConn, junk, std::uniform_int_distribution<size_t>(0, 700)(rng));
    }

    const int transport = static_cast<int>(rng() % 2);
    void *live = KR_4100_RealPlay(session, static_cast<int32_t>(rng() % 16), transport, OnData, 1);
    if (live == nullptr) {
        ++tally.failedOpens;
    } else {
        const int conn = LastConnection(emu, ChannelKind::Live);
        if (conn >= 0) {
            kn::emu::MediaOptions options;
            options.pieces = {std::uniform_int_distribution<size_t>(1, 3000)(rng)};
            if (fault == Fault::Garbage) {
                Bytes junk(std::uniform_int_distribution<size_t>(1, 3000)(rng));
                for (auto &b : junk) {
                    b = static_cast<uint8_t>(rng());
                }
                emu.SendRaw(conn, junk);
            }
            emu.SendMedia(conn, media, options);
            if (fault == Fault::MediaReset) {
                emu.CloseConnection(conn, true);
            }
        }
    }

    const DvrTime start{2024, 3, 4, 5, 6, 7};
    const DvrTime end{2024, 3, 4, 6, 0, 0};
    void *playback = KR_4100_PlayBack(session, 1, &start, OnData, 2);
    if (playback != nullptr) {
        KR_4100_PlayBackCtrl(playback, 0x4033);
        const int conn = LastConnection(emu, ChannelKind::Playback);
        if (conn >= 0) {
            emu.SendMedia(conn, media);
        }
    } else {
        ++tally.failedOpens;
    }
    void *download = KR_4100_DownLoad(session, 2, &start, &end, OnData, 3);
    if (download == nullptr) {
        ++tally.failedOpens;
    }
    void *talk = KR_4100_Talk(session);
    if (talk != nullptr) {
        const Bytes audio(fault == Fault::StopReading ? (1 << 20) : 800, 0x55);
        for (int i = 0; i < 3; ++i) {
            KR_4100_AudioSend(talk, audio.data(), static_cast<int32_t>(audio.size()));
        }
    } else {
        ++tally.failedOpens;
    }
    uint8_t param[32];
    KR_4100_GetDvrParam(session, 42, nullptr, 0, param, sizeof param);

    // Let some media through before the stops.
    const long framesBefore = g_Frames.load();
    WaitUntil([&] { return g_Frames.load() > framesBefore; }, milliseconds(fault == Fault::None ? 500 : 50));

    // Stops in a random order, then the logout (which stops whatever is left).
    std::vector<std::function<void()>> stops;
    if (live != nullptr && rng() % 4 != 0)
        stops.push_back([&] { KR_4100_StopRealPlay(live); });
    if (playback != nullptr && rng() % 4 != 0)
        stops.push_back([&] { KR_4100_StopPlayBack(playback); });
    if (download != nullptr && rng() % 4 != 0)
        stops.push_back([&] { KR_4100_StopDownLoad(download); });
    if (talk != nullptr && rng() % 4 != 0)
        stops.push_back([&] { KR_4100_StopTalk(session); });
    std::shuffle(stops.begin(), stops.end(), rng);
    for (auto &stop : stops) {
        stop();
    }
    KR_4100_Logout(session);

    DvrThreadMessage message{};
    while (KR_4100_GetThreadMessage(&message, 0) == 1) {
    }
}

bool ParseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if ((arg == "--cycles" || arg == "--report-every" || arg == "--seed") && value != nullptr) {
            char *endp = nullptr;
            const long v = std::strtol(value, &endp, 10);
            if (endp == value || *endp != '\0' || v <= 0) {
                return false;
            }
            if (arg == "--cycles")
                o.cycles = v;
            else if (arg == "--report-every")
                o.reportEvery = v;
            else
                o.seed = static_cast<unsigned>(v);
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: kestrel-soak [--cycles N] [--report-every N] [--seed N]\n");
        return kExitUsage;
    }
    // The library's persisted port counter goes to a folder of this run.
    char configDir[] = "/tmp/kestrel-soak-XXXXXX";
    if (mkdtemp(configDir) == nullptr || setenv("XDG_CONFIG_HOME", configDir, 1) != 0) {
        std::fprintf(stderr, "kestrel-soak: cannot make a settings folder\n");
        return kExitSetup;
    }
    if (KR_4100_Init() != 1 || KR_4100_SetConnectTime(kReplyTimeoutMs) != 1) {
        std::fprintf(stderr, "kestrel-soak: the library did not start\n");
        return kExitSetup;
    }
    KR_4100_SetDVRMessCallBack(OnMessage);
    KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, static_cast<uint32_t>(syscall(SYS_gettid)));

    // A hung cycle ends the run: nothing else could tell it from a slow one.
    std::atomic<long> progress{0};
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        long seen = -1;
        auto since = Clock::now();
        while (!finished.load()) {
            std::this_thread::sleep_for(milliseconds(200));
            const long now = progress.load();
            if (now != seen) {
                seen = now;
                since = Clock::now();
            } else if (Clock::now() - since > kCycleHangLimit) {
                std::fprintf(stderr, "kestrel-soak: cycle %ld hung for %lld s\n", now,
                             static_cast<long long>(kCycleHangLimit.count()));
                std::fflush(stderr);
                _exit(kExitHung);
            }
        }
    });

    std::mt19937 rng(options.seed);
    const Bytes media = FrameStream(24, 1500, 3);
    Tally tally;
    std::vector<Resources> reports;
    const auto began = Clock::now();
    std::printf("kestrel-soak: %ld cycles, seed %u, reply time-out %u ms\n", options.cycles, options.seed,
                kReplyTimeoutMs);
    std::printf("%8s %6s %8s %9s %9s %7s %7s %8s\n", "cycle", "fds", "threads", "rss kB", "frames", "lost", "faults",
                "seconds");
    int exitCode = kExitOk;
    while (tally.cycles < options.cycles) {
        // A fresh emulator per block: what it records is freed before the
        // library's resources are measured.
        auto emu = std::make_unique<CRecorderEmulator>();
        emu->SetKeepAudio(false);
        emu->SetDownloadStream(FrameStream(40, 2000, 9));
        if (!emu->Start()) {
            std::fprintf(stderr, "kestrel-soak: the emulator did not start\n");
            exitCode = kExitSetup;
            break;
        }
        long faults = 0;
        for (long i = 0; i < options.reportEvery && tally.cycles < options.cycles; ++i) {
            const Fault fault =
                rng() % 3 == 0 ? static_cast<Fault>(1 + rng() % (static_cast<int>(Fault::Count) - 1)) : Fault::None;
            ++tally.faults[static_cast<int>(fault)];
            faults += fault != Fault::None;
            RunCycle(*emu, rng, fault, tally, media);
            ++tally.cycles;
            progress = tally.cycles;
        }
        emu->Stop();
        emu.reset();
        const Resources r = Measure();
        reports.push_back(r);
        std::printf("%8ld %6ld %8ld %9ld %9ld %7ld %7ld %8.1f\n", tally.cycles, r.fds, r.threads, r.rssKb,
                    g_Frames.load(), g_Lost.load(), faults,
                    std::chrono::duration<double>(Clock::now() - began).count());
        std::fflush(stdout);
    }
    finished = true;
    watchdog.join();
    KR_4100_Cleanup();

    std::printf("faults:");
    for (int f = 1; f < static_cast<int>(Fault::Count); ++f) {
        std::printf(" %s %ld,", FaultName(static_cast<Fault>(f)), tally.faults[f]);
    }
    std::printf(" failed logins %ld, failed openings %ld, recorder messages %ld\n", tally.failedLogins,
                tally.failedOpens, g_Messages.load());
    if (exitCode != kExitOk) {
        return exitCode;
    }
    // The first block warms up (allocator arenas, the thread message queue);
    // from the second on nothing may grow.
    if (reports.size() >= 2) {
        const Resources &base = reports[1];
        const Resources &last = reports.back();
        const long rssSlack = std::max(4096L, base.rssKb / 10);
        bool grew = false;
        if (last.fds > base.fds) {
            std::printf("FAIL: descriptors grew from %ld to %ld\n", base.fds, last.fds);
            grew = true;
        }
        if (last.threads > base.threads) {
            std::printf("FAIL: threads grew from %ld to %ld\n", base.threads, last.threads);
            grew = true;
        }
        if (last.rssKb > base.rssKb + rssSlack) {
            std::printf("FAIL: resident memory grew from %ld kB to %ld kB\n", base.rssKb, last.rssKb);
            grew = true;
        }
        if (grew) {
            return kExitGrew;
        }
    }
    std::printf("PASS: descriptors, threads and resident memory held steady over %ld cycles\n", tally.cycles);
    return kExitOk;
}
