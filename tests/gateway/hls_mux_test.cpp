// The HLS window over GStreamer's own mp4mux, as the gateway runs it (the
// web side's CFmp4Stream): the emulator's clip, pushed at its frame rate's
// times, comes out as an init segment and fragments that begin every group
// of pictures, gathered into segments of one group each and parts of at
// most the part target.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/programs/gateway/hls/hls_window.h"
#include "tools/programs/gateway/web/fmp4_stream.h"

namespace kn::gateway {
namespace {

TEST(HlsMux, SegmentsAreGroupsAndPartsStayWithinTheTarget)
{
    gst_init(nullptr, nullptr);
    std::ifstream file(KN_SOURCE_DIR "/tools/testing/clip/sample.h264", std::ios::binary);
    const std::vector<uint8_t> clip((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto units = common::SplitAccessUnits(clip);
    ASSERT_GT(units.size(), 50u);

    CFragmentCutter cutter;
    CHlsWindow window;
    bool finished = false;
    auto mux = std::make_shared<CFmp4Stream>(
        "test", 4u << 20, nullptr,
        [&](const uint8_t *data, size_t size) {
            ASSERT_TRUE(cutter.Feed(
                data, size, [&](const uint8_t *p, size_t n) { window.SetInit(p, n); },
                [&](const Fmp4Fragment &f) { window.AddFragment(f, 0); }));
        },
        [&] { finished = true; });
    std::string message;
    ASSERT_TRUE(mux->Start(message)) << message;
    // Four times round the clip (groups of 26, 25 and 24 frames at 25 fps).
    constexpr int64_t kFrameNs = 40'000'000;
    int64_t pts = 0;
    for (int round = 0; round < 4; ++round) {
        for (const auto &unit : units) {
            ASSERT_TRUE(mux->Push(unit.data(), unit.size(), pts));
            pts += kFrameNs;
        }
    }
    GMainContext *context = g_main_context_default();
    const gint64 until = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (window.Segments().size() < 10 && g_get_monotonic_time() < until) {
        g_main_context_iteration(context, FALSE);
        g_usleep(1000);
    }
    mux->Stop();
    EXPECT_FALSE(finished);
    ASSERT_GE(window.Segments().size(), 10u) << "segments out of " << units.size() * 4 << " frames";
    ASSERT_FALSE(window.Init().empty());
    // Every complete segment but the first (the keyframe alone in its
    // first fragment) is one group of the clip; its first part is
    // independent and no part passes the target.
    for (const HlsSegment &s : window.Segments()) {
        if (!s.complete) {
            continue;
        }
        EXPECT_TRUE(s.parts.front().independent) << "segment " << s.msn;
        if (s.msn > 0) {
            EXPECT_GE(s.durationUs, 24 * kFrameNs / 1000 - 1000) << "segment " << s.msn;
            EXPECT_LE(s.durationUs, 26 * kFrameNs / 1000 + 1000) << "segment " << s.msn;
        }
        for (size_t i = 0; i < s.parts.size(); ++i) {
            EXPECT_LE(s.parts[i].durationUs, kHlsPartTargetUs) << "part " << s.msn << "." << i;
            EXPECT_EQ(s.parts[i].independent, i == 0);
        }
    }
}

}  // namespace
}  // namespace kn::gateway
