// Where a WebRTC session's units enter its pipeline: the payloader is told
// the profile and level of the channel's SPS before the first unit, and
// again before the keyframe that brings a new SPS (never for a unit that
// brings none); each unit goes in as it is, its bytes not copied, at its
// time.
#include <gtest/gtest.h>

#include <gst/gst.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/h264_units.h"
#include "tools/programs/gateway/webrtc/session_input.h"

namespace kn::test {
namespace {

using gateway::CSessionInput;
using gateway::SharedUnit;
using gateway::StreamUnit;

// What reaches the payloader's pad, in order: "caps PROFILE LEVEL" or a
// unit's time and whether its bytes are the unit's own.
struct Seen {
    std::vector<std::string> log;
    const StreamUnit *expected = nullptr;
};

GstFlowReturn OnChain(GstPad *pad, GstObject *, GstBuffer *buffer)
{
    auto *seen = static_cast<Seen *>(gst_pad_get_element_private(pad));
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    const bool own = seen->expected != nullptr && map.data == seen->expected->bytes.data();
    gst_buffer_unmap(buffer, &map);
    seen->log.push_back("unit " + std::to_string(GST_BUFFER_PTS(buffer)) + (own ? "" : " copied"));
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
}

gboolean OnEvent(GstPad *pad, GstObject *, GstEvent *event)
{
    auto *seen = static_cast<Seen *>(gst_pad_get_element_private(pad));
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
        GstCaps *caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure *s = gst_caps_get_structure(caps, 0);
        const char *profile = gst_structure_get_string(s, "profile");
        const char *level = gst_structure_get_string(s, "level");
        seen->log.push_back(std::string("caps ") + (profile ? profile : "-") + " " + (level ? level : "-"));
    }
    gst_event_unref(event);
    return TRUE;
}

// The payloader takes any H.264 (which profiles fit the browser is the
// real one's to say).
gboolean OnQuery(GstPad *, GstObject *, GstQuery *query)
{
    if (GST_QUERY_TYPE(query) == GST_QUERY_ACCEPT_CAPS) {
        gst_query_set_accept_caps_result(query, TRUE);
        return TRUE;
    }
    return FALSE;
}

SharedUnit Unit(const h264::Bytes &sps, bool keyframe)
{
    auto u = std::make_shared<StreamUnit>();
    u->bytes = keyframe ? h264::Cat({sps, h264::kPps, h264::kIdr}) : h264::Cat({h264::kSlice});
    u->keyframe = keyframe;
    return u;
}

TEST(WebrtcSessionInput, ThePayloaderIsToldTheStreamsProfileAndLevelAndEachChangeBeforeItsKeyframe)
{
    gst_init(nullptr, nullptr);
    // Constrained Baseline 3.0 (the tests' SPS), then High 4.0.
    const h264::Bytes baseline = h264::kSps;
    const h264::Bytes high = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC};
    Seen seen;
    GstPad *sink = gst_pad_new("sink", GST_PAD_SINK);
    gst_pad_set_element_private(sink, &seen);
    gst_pad_set_chain_function(sink, OnChain);
    gst_pad_set_event_function(sink, OnEvent);
    gst_pad_set_query_function(sink, OnQuery);
    gst_pad_set_active(sink, TRUE);
    {
        CSessionInput input(sink, h264::Bytes(baseline.begin() + 4, baseline.end()));
        ASSERT_TRUE(input.Linked());
        struct Step {
            const h264::Bytes *sps;
            bool keyframe;
        };
        const Step steps[] = {{&baseline, false}, {&baseline, true}, {&high, false},
                              {&high, true},      {&high, true},     {&baseline, true}};
        int64_t pts = 0;
        for (const Step &step : steps) {
            const SharedUnit unit = Unit(*step.sps, step.keyframe);
            seen.expected = unit.get();
            input.Deliver(unit, pts += 40'000'000);
        }
    }
    const std::vector<std::string> expected = {"caps constrained-baseline 3",
                                               "unit 40000000",
                                               "unit 80000000",
                                               "unit 120000000",
                                               "caps high 4",
                                               "unit 160000000",
                                               "unit 200000000",
                                               "caps constrained-baseline 3",
                                               "unit 240000000"};
    EXPECT_EQ(seen.log, expected);
    gst_object_unref(sink);
}

}  // namespace
}  // namespace kn::test
