// kestrel-gateway-packets: what making a live channel's RTP packets costs
// the gateway, as its channels deliver: CHANNELS channels (64) of 25 frames
// a second, each frame handled on its channel's own thread as it comes (a
// keyframe of 30 000 bytes, then 24 frames of 6 800: the 1.5 Mbit/s stream
// of bench/gateway_scale.sh), against the baseline of the same threads
// waking for the same frames and making nothing. The difference is the cost
// the first viewer of a channel brings (later viewers share the packets);
// a hot loop over the same frames gives the payloader's cost alone.
//
//   kestrel-gateway-packets [SECONDS]    (default 8)
#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "tools/programs/gateway/rtsp/channel_packets.h"

namespace {

using kn::gateway::CChannelPackets;
using kn::gateway::SharedUnit;
using kn::gateway::StreamUnit;
using Clock = std::chrono::steady_clock;

constexpr int kChannels = 64;
constexpr double kFramesPerSecond = 25.0;
constexpr int kGroup = 25;
constexpr auto kFrame = std::chrono::milliseconds(40);

// CPU time used so far by the whole process, user + system.
double CpuUs()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return (static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

SharedUnit Unit(int frame)
{
    auto u = std::make_shared<StreamUnit>();
    const bool keyframe = frame % kGroup == 0;
    u->bytes.assign(keyframe ? 30000 : 6800, 0x5A);
    const uint8_t head[] = {0, 0, 0, 1, static_cast<uint8_t>(keyframe ? 0x65 : 0x41)};
    std::copy(std::begin(head), std::end(head), u->bytes.begin());
    u->keyframe = keyframe;
    u->arrivalNs = int64_t{frame} * 40'000'000;
    return u;
}

// CPU time per frame (us) of every channel's thread handling its frames as
// they come for the time given; make: the frame is made into packets.
double Live(std::chrono::seconds time, bool make, long &frames)
{
    std::vector<std::unique_ptr<CChannelPackets>> channels;
    for (int i = 0; i < kChannels; ++i) {
        channels.push_back(std::make_unique<CChannelPackets>(0x1000 + i));
    }
    std::atomic<long> handled{0};
    const double cpu0 = CpuUs();
    const auto start = Clock::now();
    const auto end = start + time;
    std::vector<std::thread> threads;
    for (int ch = 0; ch < kChannels; ++ch) {
        threads.emplace_back([&, ch] {
            // The channels' frames spread over a frame's time, as recorders' are.
            auto next = start + kFrame * ch / kChannels;
            for (int f = 0; next < end; ++f, next += kFrame) {
                std::this_thread::sleep_until(next);
                const SharedUnit unit = Unit(f);
                if (make) {
                    if (GstBufferList *packets = channels[ch]->Packets(unit)) {
                        gst_buffer_list_unref(packets);
                    }
                }
                ++handled;
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    frames = handled.load();
    return (CpuUs() - cpu0) / static_cast<double>(frames);
}

// CPU time per frame (us) of one channel making its frames back to back.
double Hot(int frames)
{
    CChannelPackets channel(0x2000);
    std::vector<SharedUnit> units;
    for (int f = 0; f < frames; ++f) {
        units.push_back(Unit(f));
    }
    const double cpu0 = CpuUs();
    for (const SharedUnit &unit : units) {
        if (GstBufferList *packets = channel.Packets(unit)) {
            gst_buffer_list_unref(packets);
        }
    }
    return (CpuUs() - cpu0) / static_cast<double>(frames);
}

}  // namespace

int main(int argc, char **argv)
{
    gst_init(&argc, &argv);
    const std::chrono::seconds time(argc > 1 ? std::max(1, std::atoi(argv[1])) : 8);
    if (!CChannelPackets(1).Ready()) {
        std::fprintf(stderr, "kestrel-gateway-packets: GStreamer's rtph264pay is not installed\n");
        return 77;
    }
    long baseFrames = 0;
    long frames = 0;
    const double base = Live(time, false, baseFrames);
    const double made = Live(time, true, frames);
    const double hot = Hot(2500);
    const double perSecond = kChannels * kFramesPerSecond;
    std::printf("%d channels x 25 frames/s, %lld s each:\n", kChannels, static_cast<long long>(time.count()));
    std::printf("  baseline (woken, nothing made): %6.1f us CPU per frame, %5.2f %% of a core (%ld frames)\n", base,
                base * perSecond / 1e4, baseFrames);
    std::printf("  packets made as frames come:    %6.1f us CPU per frame, %5.2f %% of a core (%ld frames)\n", made,
                made * perSecond / 1e4, frames);
    std::printf("  the packets' share:             %6.1f us per frame, %5.2f %% of a core\n", made - base,
                (made - base) * perSecond / 1e4);
    std::printf("  one channel, back to back:      %6.1f us CPU per frame\n", hot);
    return 0;
}
