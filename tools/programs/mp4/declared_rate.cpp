// DeclaredFrameRate with GStreamer: one access unit through h264parse, whose
// output caps carry the rate the SPS declares.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include "tools/programs/mp4/frame_rate.h"
#include "tools/programs/mp4/gstreamer_start.h"

namespace kn::mp4 {

namespace {

constexpr GstClockTime kParseWait = 2 * GST_SECOND;

}  // namespace

FrameRate DeclaredFrameRate(const uint8_t *unit, size_t size)
{
    FrameRate rate;
    std::string ignored;
    if (unit == nullptr || size == 0 || !StartGstreamer(ignored)) {
        return rate;
    }
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(
        "appsrc name=src caps=video/x-h264,stream-format=byte-stream,alignment=au format=time ! h264parse ! "
        "appsink name=sink sync=false",
        &error);
    g_clear_error(&error);
    if (pipeline == nullptr) {
        return rate;
    }
    GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    if (src != nullptr && sink != nullptr &&
        gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        GstBuffer *buffer = gst_buffer_new_memdup(unit, size);
        GST_BUFFER_PTS(buffer) = 0;
        gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
        gst_app_src_end_of_stream(GST_APP_SRC(src));
        if (GstSample *sample = gst_app_sink_try_pull_preroll(GST_APP_SINK(sink), kParseWait)) {
            const GstCaps *caps = gst_sample_get_caps(sample);
            const GstStructure *s =
                caps != nullptr && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
            int num = 0, den = 0;
            if (s != nullptr && gst_structure_get_fraction(s, "framerate", &num, &den) && num > 0 && den > 0) {
                rate.num = num;
                rate.den = den;
            }
            gst_sample_unref(sample);
        }
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (src != nullptr) {
        gst_object_unref(src);
    }
    if (sink != nullptr) {
        gst_object_unref(sink);
    }
    gst_object_unref(pipeline);
    return rate;
}

}  // namespace kn::mp4
