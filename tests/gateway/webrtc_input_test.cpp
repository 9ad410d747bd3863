// Where a WebRTC session's units enter its pipeline: the payloader is told
// the profile and level of the channel's SPS before the first unit, and
// again before the keyframe that brings a new SPS (never for a unit that
// brings none); each unit goes in as it is, its bytes not copied, at its
// time.
#include <gtest/gtest.h>

#include <gst/gst.h>

#include <chrono>
#include <memory>
#include <utility>
#include <string>
#include <thread>
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

// The clocksyncs in the pipeline, and how many of them wait for the clock.
std::pair<int, int> ClockSyncs(GstElement *pipeline)
{
    std::pair<int, int> counts{0, 0};
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue value = G_VALUE_INIT;
    while (gst_iterator_next(it, &value) == GST_ITERATOR_OK) {
        GstElement *e = GST_ELEMENT(g_value_get_object(&value));
        GstElementFactory *f = gst_element_get_factory(e);
        if (f != nullptr && g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)), "clocksync") == 0) {
            gboolean sync = FALSE;
            g_object_get(e, "sync", &sync, nullptr);
            ++counts.first;
            counts.second += sync ? 1 : 0;
        }
        g_value_reset(&value);
    }
    g_value_unset(&value);
    gst_iterator_free(it);
    return counts;
}

// What the promise of a webrtcbin's action gives: its description under
// field (a copy), or null. The type is webrtcbin's, known once it is loaded.
gpointer Await(GstPromise *promise, const char *field)
{
    gpointer desc = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED && field != nullptr) {
        gst_structure_get(gst_promise_get_reply(promise), field, g_type_from_name("GstWebRTCSessionDescription"), &desc,
                          nullptr);
    }
    gst_promise_unref(promise);
    return desc;
}

// GstWebRTCRTPTransceiverDirection's "recvonly" (the WebRTC library is not
// linked here).
constexpr int kRecvOnly = 3;

// A session's packets are not held for the clock: not by the clocksync
// that webrtcbin puts in front of its RTP session once the offer is
// answered and the first unit brings its caps, nor by any other in it.
TEST(WebrtcSessionInput, NothingInTheSessionsPipelineWaitsForTheClock)
{
    gst_init(nullptr, nullptr);
    GstElement *pipeline = gst_parse_launch(
        "rtph264pay name=pay ! application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=96 ! "
        "webrtcbin name=webrtc bundle-policy=max-bundle",
        nullptr);
    GstElement *browser = gst_element_factory_make("webrtcbin", nullptr);
    if (pipeline == nullptr || browser == nullptr) {
        GTEST_SKIP() << "no webrtcbin";
    }
    CSessionInput::SendUnpaced(pipeline);
    GstElement *webrtc = gst_bin_get_by_name(GST_BIN(pipeline), "webrtc");
    GstElement *pay = gst_bin_get_by_name(GST_BIN(pipeline), "pay");
    GstPad *sink = gst_element_get_static_pad(pay, "sink");
    auto input = std::make_unique<CSessionInput>(sink, h264::Bytes(h264::kSps.begin() + 4, h264::kSps.end()));
    gst_object_unref(sink);
    gst_object_unref(pay);
    ASSERT_TRUE(input->Linked());
    ASSERT_NE(gst_element_set_state(browser, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    // The browser's offer to receive H.264, answered as a session does.
    GstCaps *caps = gst_caps_from_string(
        "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=96,packetization-mode=(string)1");
    GObject *receiving = nullptr;
    g_signal_emit_by_name(browser, "add-transceiver", kRecvOnly, caps, &receiving);
    gst_caps_unref(caps);
    g_clear_object(&receiving);
    GstPromise *promise = gst_promise_new();
    g_signal_emit_by_name(browser, "create-offer", nullptr, promise);
    gpointer offer = Await(promise, "offer");
    ASSERT_NE(offer, nullptr);
    g_signal_emit_by_name(webrtc, "set-remote-description", offer, promise = gst_promise_new());
    Await(promise, nullptr);
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise = gst_promise_new());
    gpointer answer = Await(promise, "answer");
    ASSERT_NE(answer, nullptr);
    g_signal_emit_by_name(webrtc, "set-local-description", answer, promise = gst_promise_new());
    Await(promise, nullptr);
    // The stream is linked to its RTP session, through its clocksync, as
    // its caps come with the first unit, which then waits for the browser
    // to connect (until the pipeline stops).
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    std::thread feeder([&input] { input->Deliver(Unit(h264::kSps, true), 0); });
    auto made = ClockSyncs(pipeline);
    for (int i = 0; i < 500 && made.first < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        made = ClockSyncs(pipeline);
    }
    EXPECT_GE(made.first, 2) << "webrtcbin no longer paces what it sends: this test has nothing to check";
    EXPECT_EQ(made.second, 0);
    g_boxed_free(g_type_from_name("GstWebRTCSessionDescription"), offer);
    g_boxed_free(g_type_from_name("GstWebRTCSessionDescription"), answer);
    gst_object_unref(webrtc);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    feeder.join();
    gst_element_set_state(browser, GST_STATE_NULL);
    input.reset();
    gst_object_unref(pipeline);
    gst_object_unref(browser);
}

}  // namespace
}  // namespace kn::test
