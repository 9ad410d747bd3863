// Whether a stream reorders its pictures (B-frames), as the WebRTC front
// reads it from a channel's cached group: streams made by x264 (ffmpeg's
// libx264) in the profiles and with the B-frames a camera may send, the
// emulator's clip, parameter sets written here to reach what an SPS leaves
// open (no bitstream restriction: the slices tell), and broken input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/gateway/media_tools_fixture.h"
#include "tools/common/access_unit.h"
#include "tools/programs/gateway/webrtc/h264_order.h"

namespace kn::gateway {
namespace {

using Group = std::vector<std::vector<uint8_t>>;

// Bits of an H.264 NAL unit: fixed-width fields and Exp-Golomb codes.
class CBits {
public:
    explicit CBits(uint8_t header) : m_Bytes{0, 0, 0, 1, header} {}
    CBits &U(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; --i) {
            Bit((v >> i) & 1);
        }
        return *this;
    }
    CBits &Ue(uint32_t v)
    {
        int n = 0;
        while ((v + 1) >> (n + 1)) {
            ++n;
        }
        return U(0, n).U(v + 1, n + 1);
    }
    std::vector<uint8_t> Done()
    {
        Bit(1);  // rbsp_stop_one_bit
        while (m_nBits % 8 != 0) {
            Bit(0);
        }
        return m_Bytes;
    }

private:
    void Bit(uint32_t b)
    {
        if (m_nBits % 8 == 0) {
            m_Bytes.push_back(0);
        }
        m_Bytes.back() |= static_cast<uint8_t>(b << (7 - m_nBits % 8));
        ++m_nBits;
    }
    std::vector<uint8_t> m_Bytes;
    int m_nBits = 0;
};

// A Main profile SPS with no VUI (nothing said of reordering) and its PPS.
std::vector<uint8_t> MainSpsPps(uint32_t pocType)
{
    CBits sps(0x67);
    sps.U(77, 8).U(0, 8).U(30, 8).Ue(0).Ue(0).Ue(pocType);
    if (pocType == 0) {
        sps.Ue(0);
    }
    sps.Ue(2).U(0, 1).Ue(10).Ue(8).U(1, 1).U(1, 1).U(0, 1).U(0, 1);
    std::vector<uint8_t> out = sps.Done();
    CBits pps(0x68);
    pps.Ue(0).Ue(0).U(0, 1).U(0, 1).Ue(0).Ue(0).Ue(0).U(0, 1).U(0, 2).Ue(0).Ue(0).Ue(0).U(1, 1).U(0, 1).U(0, 1);
    const std::vector<uint8_t> p = pps.Done();
    out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A slice header of type (0 P, 1 B, 2 I; + 5 all slices of the picture),
// non-reference, of the SPS above with poc type 0.
std::vector<uint8_t> Slice(uint32_t type)
{
    CBits s(0x01);
    s.Ue(0).Ue(type).Ue(0).U(1, 4).U(2, 4);
    if (type % 5 == 1) {
        s.U(1, 1);  // direct_spatial_mv_pred_flag
    }
    if (type % 5 != 2) {
        s.U(0, 1).U(0, 1);  // num_ref_idx_active_override_flag, ref_pic_list_modification_flag_l0
    }
    if (type % 5 == 1) {
        s.U(0, 1);  // ref_pic_list_modification_flag_l1
    }
    s.Ue(0).Ue(0).Ue(0).Ue(0);  // slice_qp_delta, disable_deblocking_filter_idc, alpha, beta offsets
    return s.Done();
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

Group Units(std::initializer_list<std::vector<uint8_t>> parts)
{
    Group g;
    for (const auto &p : parts) {
        g.push_back(p);
    }
    return g;
}

// The first group of an elementary stream: its units up to the second keyframe.
Group FirstGroup(const std::string &text)
{
    const std::vector<uint8_t> stream(text.begin(), text.end());
    Group group;
    for (std::vector<uint8_t> &unit : common::SplitAccessUnits(stream)) {
        if (!group.empty() && common::Summarise({unit.data(), unit.size()}).idr) {
            break;
        }
        group.push_back(std::move(unit));
    }
    return group;
}

TEST(WebrtcOrder, StreamsThatReorderTheirPicturesAreTold)
{
    struct Case {
        std::string what;
        Group group;
        const char *expected;  // "" none, else a word of the reason
    };
    std::vector<Case> cases = {
        {"the emulator's clip (Baseline)", FirstGroup(test::ReadText(KN_SOURCE_DIR "/tools/testing/clip/sample.h264")),
         ""},
        {"Main, poc type 0, no VUI, P slices", Units({MainSpsPps(0), Slice(5), Slice(0), Slice(5)}), ""},
        {"Main, poc type 0, no VUI, a B slice", Units({MainSpsPps(0), Slice(5), Slice(0), Slice(1)}), "B slices"},
        {"Main, poc type 0, no VUI, B slices of type 6", Units({MainSpsPps(0), Slice(6)}), "B slices"},
        {"Main, poc type 2: output order is decoding order", Units({MainSpsPps(2)}), ""},
        {"no SPS: nothing to tell", Units({Slice(1)}), ""},
        {"empty", {}, ""},
        {"a cut SPS", Units({Cut(MainSpsPps(0), 7), Slice(1)}), ""},
        {"a cut slice", Units({MainSpsPps(0), Cut(Slice(1), 6)}), ""},
        {"noise", Units({std::vector<uint8_t>(4096, 0xff), {0, 0, 1}, {0, 0, 0, 1, 0x67}}), ""},
    };
#if defined(KN_FFMPEG_BIN)
    // x264's SPS says how many frames it reorders (its VUI's bitstream restriction).
    for (const auto &[args, expected] :
         std::vector<std::pair<std::string, const char *>>{{"-profile:v baseline", ""},
                                                           {"-profile:v main -bf 2", "reordered"},
                                                           {"-profile:v high -bf 0", ""},
                                                           {"-profile:v high -bf 3 -b_strategy 0", "reordered"}}) {
        const std::string file = ::testing::TempDir() + "x264.h264";
        const std::string command =
            std::string(KN_FFMPEG_BIN) +
            " -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -frames:v 30 -pix_fmt yuv420p -c:v libx264 " + args +
            " -g 30 -f h264 " + file;
        ASSERT_EQ(0, std::system(command.c_str())) << command;
        cases.push_back({args, FirstGroup(test::ReadText(file)), expected});
        std::remove(file.c_str());
    }
#endif
    for (const Case &c : cases) {
        const std::string why = PictureReordering(c.group);
        if (*c.expected == '\0') {
            EXPECT_EQ("", why) << c.what;
        } else {
            EXPECT_NE(std::string::npos, why.find(c.expected)) << c.what << ": " << why;
        }
    }
}

}  // namespace
}  // namespace kn::gateway
