#include "tools/programs/gateway/webrtc/session_input.h"

#include <gst/gst.h>
#include <gst/pbutils/codec-utils.h>

#include <utility>

#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

// The input is live and adds no latency, as a live source would say.
gboolean OnQuery(GstPad *, GstObject *, GstQuery *query)
{
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        gst_query_set_latency(query, TRUE, 0, GST_CLOCK_TIME_NONE);
        return TRUE;
    }
    return FALSE;
}

// What comes up from the pipeline (a browser asking for a keyframe) has
// nobody to go to: the recorder sends its groups as it does.
gboolean OnEvent(GstPad *, GstObject *, GstEvent *event)
{
    gst_event_unref(event);
    return TRUE;
}

bool IsClockSync(GstElement *element)
{
    GstElementFactory *factory = gst_element_get_factory(element);
    return factory != nullptr && g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), "clocksync") == 0;
}

void Unpace(GstElement *element)
{
    if (IsClockSync(element)) {
        g_object_set(element, "sync", FALSE, nullptr);
    }
}

void OnDeepElementAdded(GstBin *, GstBin *, GstElement *element, gpointer) { Unpace(element); }

}  // namespace

void CSessionInput::SendUnpaced(GstElement *pipeline)
{
    if (pipeline == nullptr || !GST_IS_BIN(pipeline)) {
        return;
    }
    g_signal_connect(pipeline, "deep-element-added", G_CALLBACK(OnDeepElementAdded), nullptr);
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    gst_iterator_foreach(
        it, [](const GValue *value, gpointer) { Unpace(GST_ELEMENT(g_value_get_object(value))); }, nullptr);
    gst_iterator_free(it);
}

GstCaps *CSessionInput::Caps(const std::vector<uint8_t> &sps)
{
    GstCaps *caps = gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "byte-stream", "alignment",
                                        G_TYPE_STRING, "au", nullptr);
    if (sps.size() > 3) {
        gst_codec_utils_h264_caps_set_level_and_profile(caps, sps.data() + 1, static_cast<guint>(sps.size() - 1));
    }
    return caps;
}

CSessionInput::CSessionInput(GstPad *sink, std::vector<uint8_t> sps) : m_Sps(std::move(sps))
{
    m_pPad = gst_pad_new("src", GST_PAD_SRC);
    gst_pad_set_query_function(m_pPad, OnQuery);
    gst_pad_set_event_function(m_pPad, OnEvent);
    m_bLinked = sink != nullptr && gst_pad_link(m_pPad, sink) == GST_PAD_LINK_OK;
    if (!m_bLinked) {
        return;
    }
    // Sticky: they go with the first unit when the pipeline is not yet
    // playing.
    gst_pad_set_active(m_pPad, TRUE);
    gchar *id = g_strdup_printf("kestrel-webrtc-%p", static_cast<void *>(this));
    gst_pad_push_event(m_pPad, gst_event_new_stream_start(id));
    g_free(id);
    gst_pad_push_event(m_pPad, gst_event_new_caps(Caps(m_Sps)));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_push_event(m_pPad, gst_event_new_segment(&segment));
}

CSessionInput::~CSessionInput()
{
    gst_pad_set_active(m_pPad, FALSE);
    gst_object_unref(m_pPad);
}

void CSessionInput::Deliver(const SharedUnit &unit, int64_t ptsNs)
{
    if (unit->keyframe) {
        m_Sets.Learn(unit->Span());
        if (!m_Sets.Sps().empty() && m_Sets.Sps() != m_Sps) {
            m_Sps = m_Sets.Sps();
            gst_pad_push_event(m_pPad, gst_event_new_caps(Caps(m_Sps)));
        }
    }
    gst_pad_push(m_pPad, UnitBuffer(unit, ptsNs));
}

}  // namespace kn::gateway
