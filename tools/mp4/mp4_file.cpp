#include "tools/mp4/mp4_file.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <mutex>
#include <vector>

#include "tools/gateway/access_unit.h"

namespace kn::mp4 {

namespace {

constexpr GstClockTime kFrameNs = GST_SECOND / 25;
constexpr guint64 kQueueBytes = 8u << 20;  // a fast download waits for the muxer beyond this
constexpr GstClockTime kFinishWait = 20 * GST_SECOND;
constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au,framerate=25/1";

bool StartGstreamer(std::string &message)
{
    static std::once_flag once;
    static bool started = false;
    static std::string failure;
    std::call_once(once, [] {
        GError *error = nullptr;
        started = gst_init_check(nullptr, nullptr, &error);
        if (!started) {
            failure = error != nullptr ? error->message : "unknown reason";
            g_clear_error(&error);
        }
    });
    if (!started) {
        message = "GStreamer did not start: " + failure;
    }
    return started;
}

// The first error on the bus, if any, as text.
std::string BusError(GstElement *pipeline, GstClockTime wait)
{
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *m = gst_bus_timed_pop_filtered(bus, wait, static_cast<GstMessageType>(GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    if (m == nullptr) {
        return "";
    }
    GError *error = nullptr;
    gst_message_parse_error(m, &error, nullptr);
    std::string text = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    gst_message_unref(m);
    return text;
}

}  // namespace

bool Available() { return true; }

struct CMp4File::State {
    GstElement *pipeline = nullptr;
    GstElement *appsrc = nullptr;
    gateway::CParameterSets sets;
    std::vector<uint8_t> unit;
    bool started = false;  // the first keyframe has been written
    bool failed = false;
    long frames = 0;
    long skipped = 0;
};

CMp4File::CMp4File() : m_pState(std::make_unique<State>()) {}

CMp4File::~CMp4File()
{
    std::string ignored;
    Close(ignored);
}

bool CMp4File::Open(const std::string &path, std::string &message)
{
    if (!StartGstreamer(message)) {
        return false;
    }
    State &s = *m_pState;
    GstElement *pipeline = gst_pipeline_new("mp4");
    GstElement *src = gst_element_factory_make("appsrc", "src");
    GstElement *parse = gst_element_factory_make("h264parse", nullptr);
    GstElement *mux = gst_element_factory_make("mp4mux", nullptr);
    GstElement *sink = gst_element_factory_make("filesink", nullptr);
    if (pipeline == nullptr || src == nullptr || parse == nullptr || mux == nullptr || sink == nullptr) {
        message = "GStreamer lacks an element for MP4 (appsrc, h264parse, mp4mux, filesink: install "
                  "gstreamer1.0-plugins-good and gstreamer1.0-plugins-bad)";
        for (GstElement *e : {pipeline, src, parse, mux, sink}) {
            if (e != nullptr) {
                gst_object_unref(e);
            }
        }
        return false;
    }
    GstCaps *caps = gst_caps_from_string(kCaps);
    g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, "block", TRUE, "max-bytes", kQueueBytes, nullptr);
    gst_caps_unref(caps);
    g_object_set(mux, "faststart", TRUE, nullptr);
    g_object_set(sink, "location", path.c_str(), nullptr);
    gst_bin_add_many(GST_BIN(pipeline), src, parse, mux, sink, nullptr);
    if (!gst_element_link_many(src, parse, mux, sink, nullptr)) {
        message = "cannot build the MP4 pipeline";
        gst_object_unref(pipeline);
        return false;
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const std::string why = BusError(pipeline, 0);
        message = "cannot write " + path + (why.empty() ? "" : ": " + why);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        return false;
    }
    s.pipeline = pipeline;
    s.appsrc = src;
    return true;
}

bool CMp4File::Write(const uint8_t *unit, size_t size)
{
    State &s = *m_pState;
    if (s.pipeline == nullptr || s.failed) {
        return false;
    }
    const gateway::ByteSpan au{unit, size};
    s.sets.Learn(au);
    if (!s.started) {
        if (!gateway::Summarise(au).idr || !s.sets.Known()) {
            ++s.skipped;
            return true;
        }
        s.started = true;
    }
    s.sets.Complete(au, s.unit);
    GstBuffer *buffer = gst_buffer_new_memdup(s.unit.data(), s.unit.size());
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(s.frames) * kFrameNs;
    GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
    GST_BUFFER_DURATION(buffer) = kFrameNs;
    if (gst_app_src_push_buffer(GST_APP_SRC(s.appsrc), buffer) != GST_FLOW_OK) {
        s.failed = true;
        return false;
    }
    ++s.frames;
    return true;
}

bool CMp4File::Close(std::string &message)
{
    State &s = *m_pState;
    if (s.pipeline == nullptr) {
        return !s.failed;
    }
    gst_app_src_end_of_stream(GST_APP_SRC(s.appsrc));
    GstBus *bus = gst_element_get_bus(s.pipeline);
    GstMessage *m = gst_bus_timed_pop_filtered(bus, kFinishWait,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    bool ok = !s.failed;
    if (m == nullptr) {
        message = "the MP4 muxer did not finish the file in time";
        ok = false;
    } else {
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
            GError *error = nullptr;
            gst_message_parse_error(m, &error, nullptr);
            message = std::string("writing the MP4 file failed: ") + (error != nullptr ? error->message : "?");
            g_clear_error(&error);
            ok = false;
        }
        gst_message_unref(m);
    }
    if (ok && s.frames == 0) {
        message = "no keyframe arrived: the MP4 file holds no video";
        ok = false;
    }
    gst_element_set_state(s.pipeline, GST_STATE_NULL);
    gst_object_unref(s.pipeline);
    s.pipeline = nullptr;
    s.appsrc = nullptr;
    s.failed = !ok;
    return ok;
}

long CMp4File::Frames() const { return m_pState->frames; }
long CMp4File::Skipped() const { return m_pState->skipped; }

}  // namespace kn::mp4
