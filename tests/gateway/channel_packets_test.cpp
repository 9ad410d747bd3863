// A live channel's packets, made once for every RTSP viewer: one run of
// sequence numbers and times over the channel's units, the same packets
// for each viewer that asks, and a joiner's prelude of the cached group
// byte for byte what the run gave, numbered to end where the run goes on.
#include <gtest/gtest.h>

#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>

#include <memory>
#include <vector>

#include "tests/support/h264_units.h"
#include "tools/programs/gateway/rtsp/channel_packets.h"

namespace kn::test {
namespace {

using gateway::CChannelPackets;
using gateway::RtpStart;
using gateway::SharedUnit;
using gateway::StreamUnit;

constexpr int64_t kFrameNs = 40'000'000;

SharedUnit Unit(bool keyframe, size_t payload, int64_t atNs)
{
    auto u = std::make_shared<StreamUnit>();
    h264::Bytes body(payload, 0x5A);
    u->bytes = keyframe ? h264::Cat({h264::kSps, h264::kPps, h264::kIdr, body}) : h264::Cat({h264::kSlice, body});
    u->keyframe = keyframe;
    u->arrivalNs = atNs;
    return u;
}

struct Packet {
    uint16_t seq;
    uint32_t ts;
    uint32_t ssrc;
    uint8_t pt;
    bool marker;
};

std::vector<Packet> Read(GstBufferList *list)
{
    std::vector<Packet> out;
    for (guint i = 0; list != nullptr && i < gst_buffer_list_length(list); ++i) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        EXPECT_TRUE(gst_rtp_buffer_map(gst_buffer_list_get(list, i), GST_MAP_READ, &rtp));
        out.push_back({gst_rtp_buffer_get_seq(&rtp), gst_rtp_buffer_get_timestamp(&rtp), gst_rtp_buffer_get_ssrc(&rtp),
                       gst_rtp_buffer_get_payload_type(&rtp), gst_rtp_buffer_get_marker(&rtp) != 0});
        gst_rtp_buffer_unmap(&rtp);
    }
    return out;
}

// The bytes of a packet list, each packet's whole.
std::vector<h264::Bytes> Bytes(GstBufferList *list)
{
    std::vector<h264::Bytes> out;
    for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
        GstBuffer *b = gst_buffer_list_get(list, i);
        h264::Bytes bytes(gst_buffer_get_size(b));
        gst_buffer_extract(b, 0, bytes.data(), bytes.size());
        out.push_back(bytes);
    }
    return out;
}

TEST(GatewayChannelPackets, OneRunSharedByEveryViewerAndAJoinersPreludeEndsWhereTheRunGoesOn)
{
    gst_init(nullptr, nullptr);
    CChannelPackets packets(0x4B455354);
    ASSERT_TRUE(packets.Ready());
    // Three groups: a keyframe larger than a packet, then 29 small frames.
    std::vector<SharedUnit> units;
    for (int i = 0; i < 90; ++i) {
        units.push_back(Unit(i % 30 == 0, i % 30 == 0 ? 5000 : 300, 1'000'000'000 + i * kFrameNs));
    }
    const RtpStart before = packets.Next();
    std::vector<GstBufferList *> made;
    std::vector<std::vector<h264::Bytes>> wire;
    for (const SharedUnit &u : units) {
        GstBufferList *list = packets.Packets(u);
        ASSERT_NE(nullptr, list);
        // The next viewer of the same unit sends the very same packets.
        GstBufferList *again = packets.Packets(u);
        EXPECT_EQ(list, again);
        gst_buffer_list_unref(again);
        made.push_back(list);
        wire.push_back(Bytes(list));
    }
    uint16_t seq = before.seq;
    for (size_t i = 0; i < made.size(); ++i) {
        const std::vector<Packet> p = Read(made[i]);
        ASSERT_FALSE(p.empty()) << i;
        EXPECT_EQ(i % 30 == 0, p.size() > 3) << i << ": a keyframe is cut into several packets";
        const RtpStart start = CChannelPackets::StartOf(made[i]);
        EXPECT_EQ(p.front().seq, start.seq);
        EXPECT_EQ(p.front().ts, start.rtptime);
        for (const Packet &k : p) {
            EXPECT_EQ(seq++, k.seq) << "unit " << i;
            // Each unit at its own time, 40 ms (3600 ticks) after the one before.
            EXPECT_EQ(before.rtptime + static_cast<uint32_t>(i * 3600), k.ts) << "unit " << i;
            EXPECT_EQ(0x4B455354u, k.ssrc);
            EXPECT_EQ(96, k.pt);
        }
        EXPECT_TRUE(p.back().marker) << i;
    }
    EXPECT_EQ(seq, packets.Next().seq);
    // Only the latest are kept; an older unit has none, and is never made
    // out of order (the viewers' sequence would jump).
    EXPECT_EQ(CChannelPackets::kKept, packets.KeptUnits());
    bool older = false;
    EXPECT_EQ(nullptr, packets.Packets(units[80], &older));
    EXPECT_TRUE(older);
    EXPECT_EQ(nullptr, packets.Packets(Unit(false, 300, units.back()->arrivalNs - 1), &older));
    EXPECT_TRUE(older);
    GstBufferList *kept = packets.Packets(units[89], &older);
    EXPECT_EQ(made[89], kept);
    EXPECT_FALSE(older);
    gst_buffer_list_unref(kept);
    // A joiner's prelude of the last group, up to the kept units: the same
    // packets on the wire as the channel's own (times, SSRC, payload), ending
    // just before the first kept unit's; the channel's own are untouched.
    const std::vector<SharedUnit> group(units.begin() + 60, units.begin() + 86);
    std::vector<GstBufferList *> prelude;
    ASSERT_TRUE(packets.Prelude(group, CChannelPackets::StartOf(made[86]).seq, prelude));
    ASSERT_EQ(group.size(), prelude.size());
    for (size_t i = 0; i < prelude.size(); ++i) {
        EXPECT_EQ(wire[60 + i], Bytes(prelude[i])) << "unit " << 60 + i;
        EXPECT_EQ(wire[60 + i], Bytes(made[60 + i])) << "unit " << 60 + i;
        gst_buffer_list_unref(prelude[i]);
    }
    // Numbered to end elsewhere, only the numbers differ.
    ASSERT_TRUE(packets.Prelude(group, 7, prelude));
    const std::vector<Packet> last = Read(prelude.back());
    EXPECT_EQ(6, last.back().seq);
    EXPECT_EQ(Read(made[85]).back().ts, last.back().ts);
    for (GstBufferList *list : prelude) {
        gst_buffer_list_unref(list);
    }
    for (GstBufferList *list : made) {
        gst_buffer_list_unref(list);
    }
}

}  // namespace
}  // namespace kn::test
