// Idle cost of 100 open live streams without media, and the time that
// stopping streams takes, against the recorder emulator.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "api/exports.h"
#include "bench/bench.h"
#include "tools/testing/emulator/recorder_emulator.h"

namespace kn::bench {

namespace {

constexpr int kIdleStreams = 100;
constexpr int kIdleSeconds = 5;
constexpr int kSingleStops = 20;

void KR_CALL OnIdleFrame(void *, uint32_t, const unsigned char *, int32_t, uint32_t) {}

struct CpuSample {
    double percentOfCore = 0;
    double switchesPerSecond = 0;
};

// CPU time of the whole process (every thread) over a quiet interval; the
// calling thread only sleeps.
CpuSample MeasureCpu(int seconds)
{
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const double cpuBefore = ProcessCpuUs();
    const uint64_t t0 = NowNs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpuAfter = ProcessCpuUs();
    getrusage(RUSAGE_SELF, &after);
    const uint64_t wallNs = NowNs() - t0;
    CpuSample s;
    s.percentOfCore = (cpuAfter - cpuBefore) * 1e3 / static_cast<double>(wallNs) * 100.0;
    const double switches =
        static_cast<double>((after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw));
    s.switchesPerSecond = switches * 1e9 / static_cast<double>(wallNs);
    return s;
}

double MsSince(uint64_t startNs) { return static_cast<double>(NowNs() - startNs) / 1e6; }

}  // namespace

void RunIdleAndStop(Rows &rows)
{
    emu::CRecorderEmulator emu;
    if (!emu.Start() || KR_4100_Init() != 1) {
        std::fprintf(stderr, "idle: no recorder emulator\n");
        return;
    }
    int32_t result = 0;
    void *session = KR_4100_Login("127.0.0.1", emu.Port(), "bench", "bench", &result);
    if (session == nullptr) {
        std::fprintf(stderr, "idle: login failed\n");
        KR_4100_Cleanup();
        return;
    }

    // Stop of one idle stream, repeated.
    std::vector<double> stopMs;
    for (int i = 0; i < kSingleStops; ++i) {
        void *stream = KR_4100_RealPlay(session, 0, 1, OnIdleFrame, 0);
        if (stream == nullptr) {
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let both threads go idle
        const uint64_t t0 = NowNs();
        KR_4100_StopRealPlay(stream);
        stopMs.push_back(MsSince(t0));
    }
    std::sort(stopMs.begin(), stopMs.end());
    const bool singleOk = static_cast<int>(stopMs.size()) == kSingleStops;
    const double stopMedian = stopMs.empty() ? 0 : stopMs[stopMs.size() / 2];
    const double stopMax = stopMs.empty() ? 0 : stopMs.back();
    std::printf("stop one idle stream: median %.3f ms, max %.3f ms (%zu stops)\n", stopMedian, stopMax, stopMs.size());

    // The session alone, as the baseline of the idle cost.
    const CpuSample base = MeasureCpu(kIdleSeconds);
    std::printf("idle, session only: %.3f %% of one core, %.0f context switches/s\n", base.percentOfCore,
                base.switchesPerSecond);

    std::vector<void *> streams;
    const uint64_t openT0 = NowNs();
    for (int ch = 0; ch < kIdleStreams; ++ch) {
        if (void *stream = KR_4100_RealPlay(session, ch, 1, OnIdleFrame, 0)) {
            streams.push_back(stream);
        }
    }
    const double openMs = MsSince(openT0);
    std::printf("opened %zu live streams in %.1f ms\n", streams.size(), openMs);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const CpuSample idle = MeasureCpu(kIdleSeconds);
    std::printf("idle, %zu streams: %.3f %% of one core, %.0f context switches/s\n", streams.size(), idle.percentOfCore,
                idle.switchesPerSecond);

    const uint64_t stopT0 = NowNs();
    for (void *stream : streams) {
        KR_4100_StopRealPlay(stream);
    }
    const double stopAllMs = MsSince(stopT0);
    std::printf("stopped %zu streams in %.1f ms\n", streams.size(), stopAllMs);

    const bool idleOk = static_cast<int>(streams.size()) == kIdleStreams;
    rows.push_back({"3. Idle cost, 100 open live TCP streams, no media (process CPU over 5 s)",
                    Format("%.2f %% of a core (%.0f switches/s)", idle.percentOfCore, idle.switchesPerSecond),
                    Format("%.2f %% (%.0f/s), session only", base.percentOfCore, base.switchesPerSecond), "<= 1 %",
                    idleOk && idle.percentOfCore <= 1.0});
    rows.push_back({"4. KR_4100_StopRealPlay of one idle stream (median, max of 20)",
                    Format("%.2f ms (max %.2f)", stopMedian, stopMax), "", "a few ms", singleOk && stopMedian <= 5.0});
    rows.push_back({"4. Stopping 100 idle streams one after another", Format("%.0f ms", stopAllMs), "",
                    "well under 1 s", idleOk && stopAllMs < 500.0});
    rows.push_back({"   (opening the 100 streams, for reference)", Format("%.0f ms", openMs), "", "", idleOk});

    KR_4100_Logout(session);
    KR_4100_Cleanup();
    emu.Stop();
}

}  // namespace kn::bench
