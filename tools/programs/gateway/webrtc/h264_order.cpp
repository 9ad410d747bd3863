#include "tools/programs/gateway/webrtc/h264_order.h"

#define GST_USE_UNSTABLE_API
#include <gst/codecparsers/gsth264parser.h>

#include <memory>

namespace kn::gateway {

namespace {

struct ParserFree {
    void operator()(GstH264NalParser *p) const { gst_h264_nal_parser_free(p); }
};

// What the SPS alone says: -1 no reordering, 1 reordering, 0 it cannot tell.
int SpsVerdict(const GstH264SPS &sps, std::string &why)
{
    if (sps.profile_idc == 66) {
        return -1;  // Baseline and Constrained Baseline have no B slices
    }
    if (sps.pic_order_cnt_type == 2) {
        return -1;  // output order is decoding order
    }
    if (sps.vui_parameters_present_flag && sps.vui_parameters.bitstream_restriction_flag) {
        if (sps.vui_parameters.num_reorder_frames == 0) {
            return -1;
        }
        why =
            "its SPS allows " + std::to_string(sps.vui_parameters.num_reorder_frames) + " reordered frames (B-frames)";
        return 1;
    }
    return 0;
}

}  // namespace

std::string PictureReordering(const std::vector<std::vector<uint8_t>> &group)
{
    std::unique_ptr<GstH264NalParser, ParserFree> parser(gst_h264_nal_parser_new());
    bool haveSps = false;
    int verdict = 0;
    std::string why;
    for (const std::vector<uint8_t> &unit : group) {
        GstH264NalUnit nalu{};
        guint offset = 0;
        for (;;) {
            const GstH264ParserResult found =
                gst_h264_parser_identify_nalu(parser.get(), unit.data(), offset, unit.size(), &nalu);
            if (found != GST_H264_PARSER_OK && found != GST_H264_PARSER_NO_NAL_END) {
                break;
            }
            if (nalu.type == GST_H264_NAL_SPS) {
                GstH264SPS sps{};
                if (gst_h264_parser_parse_sps(parser.get(), &nalu, &sps) == GST_H264_PARSER_OK) {
                    haveSps = true;
                    verdict = SpsVerdict(sps, why);
                    gst_h264_sps_clear(&sps);
                }
            } else if (nalu.type == GST_H264_NAL_PPS) {
                GstH264PPS pps{};
                if (gst_h264_parser_parse_pps(parser.get(), &nalu, &pps) == GST_H264_PARSER_OK) {
                    gst_h264_pps_clear(&pps);
                }
            } else if (verdict == 0 && haveSps &&
                       (nalu.type == GST_H264_NAL_SLICE || nalu.type == GST_H264_NAL_SLICE_IDR)) {
                GstH264SliceHdr slice{};
                if (gst_h264_parser_parse_slice_hdr(parser.get(), &nalu, &slice, FALSE, FALSE) == GST_H264_PARSER_OK &&
                    GST_H264_IS_B_SLICE(&slice)) {
                    return "it has B slices (B-frames)";
                }
            }
            if (found == GST_H264_PARSER_NO_NAL_END) {
                break;
            }
            offset = nalu.offset + nalu.size;
        }
        if (verdict != 0 && haveSps) {
            return verdict > 0 ? why : "";
        }
    }
    return "";
}

}  // namespace kn::gateway
