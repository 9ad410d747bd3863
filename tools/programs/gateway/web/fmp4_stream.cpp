#include "tools/programs/gateway/web/fmp4_stream.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

// A fragment every 100 ms keeps the browser close to the live edge; mp4mux
// closes a fragment when the first frame past its duration arrives. The
// first fragment is cut as short as it goes: it carries the keyframe the
// client starts on (the cached one of an open channel), which is out as soon
// as the next two units are in, instead of after 100 ms of live frames.
constexpr unsigned kFragmentMs = 100;
constexpr const char *kLaunch =
    "appsrc name=src is-live=false format=time do-timestamp=false ! h264parse ! "
    "mp4mux name=mux streamable=true fragment-duration=1 ! appsink name=out sync=false async=false";
constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";

int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

gboolean OnBusMessage(GstBus *, GstMessage *message, gpointer data)
{
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError *error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        Log("web stream: the MP4 pipeline failed: %s", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        static_cast<CFmp4Stream *>(data)->End();
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

CFmp4Stream::CFmp4Stream(std::string peer, size_t maxOutstanding, Write write, Finish finish)
    : m_Peer(std::move(peer)),
      m_nMaxOutstanding(maxOutstanding),
      m_Write(std::move(write)),
      m_Finish(std::move(finish)),
      m_nCreatedNs(SteadyNs())
{}

CFmp4Stream::~CFmp4Stream() { Stop(); }

bool CFmp4Stream::Start(std::string &message)
{
    GError *error = nullptr;
    m_pPipeline = gst_parse_launch(kLaunch, &error);
    if (m_pPipeline == nullptr) {
        message = std::string("cannot make the MP4 pipeline: ") + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    g_clear_error(&error);  // a warning about a missing property is not fatal
    m_pAppSrc = gst_bin_get_by_name(GST_BIN(m_pPipeline), "src");
    m_pMux = gst_bin_get_by_name(GST_BIN(m_pPipeline), "mux");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(m_pPipeline), "out");
    GstCaps *caps = gst_caps_from_string(kCaps);
    g_object_set(m_pAppSrc, "caps", caps, "block", FALSE, "max-bytes", static_cast<guint64>(m_nMaxOutstanding * 2),
                 nullptr);
    gst_caps_unref(caps);
    g_object_set(sink, "emit-signals", TRUE, nullptr);
    g_signal_connect(sink, "new-sample", G_CALLBACK(OnNewSample), this);
    gst_object_unref(sink);
    GstBus *bus = gst_element_get_bus(m_pPipeline);
    gst_bus_add_watch(bus, OnBusMessage, this);
    gst_object_unref(bus);

    if (gst_element_set_state(m_pPipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        message = "the MP4 pipeline did not start";
        return false;
    }
    return true;
}

void CFmp4Stream::Stop()
{
    if (m_bStopped.exchange(true)) {
        return;
    }
    if (m_pPipeline != nullptr) {
        gst_element_set_state(m_pPipeline, GST_STATE_NULL);
        GstBus *bus = gst_element_get_bus(m_pPipeline);
        gst_bus_remove_watch(bus);
        gst_object_unref(bus);
        gst_object_unref(m_pAppSrc);
        gst_object_unref(m_pMux);
        gst_object_unref(m_pPipeline);
        m_pAppSrc = nullptr;
        m_pMux = nullptr;
        m_pPipeline = nullptr;
    }
}

int64_t CFmp4Stream::RunningTimeNs() { return SteadyNs() - m_nCreatedNs; }

bool CFmp4Stream::Push(const uint8_t *data, size_t size, int64_t ptsNs)
{
    if (!Room()) {
        return false;
    }
    GstBuffer *buffer = gst_buffer_new_memdup(data, size);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(ptsNs);
    GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(ptsNs);
    return gst_app_src_push_buffer(GST_APP_SRC(m_pAppSrc), buffer) == GST_FLOW_OK;
}

bool CFmp4Stream::PushShared(const SharedUnit &unit, int64_t ptsNs)
{
    return Room() && gst_app_src_push_buffer(GST_APP_SRC(m_pAppSrc), UnitBuffer(unit, ptsNs)) == GST_FLOW_OK;
}

bool CFmp4Stream::Room()
{
    if (m_bStopped.load() || m_pAppSrc == nullptr) {
        return false;
    }
    GstAppSrc *src = GST_APP_SRC(m_pAppSrc);
    if (gst_app_src_get_current_level_bytes(src) + m_nOutstanding.load() > m_nMaxOutstanding) {
        return false;
    }
    return true;
}

void CFmp4Stream::End()
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bEndAsked = true;
    }
    Schedule();
}

int CFmp4Stream::OnNewSample(GstElement *sink, void *data)
{
    auto *self = static_cast<CFmp4Stream *>(data);
    GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        // The first fragment is out: the next ones are of the usual length.
        // (On the muxer's thread, before it sets up the next fragment.)
        if (!self->m_bFirstFragment && map.size >= 8 && std::memcmp(map.data + 4, "moof", 4) == 0) {
            self->m_bFirstFragment = true;
            g_object_set(self->m_pMux, "fragment-duration", kFragmentMs, nullptr);
        }
        {
            std::lock_guard<std::mutex> lk(self->m_Mutex);
            self->m_Pending.insert(self->m_Pending.end(), map.data, map.data + map.size);
        }
        self->m_nOutstanding += map.size;
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    self->Schedule();
    return GST_FLOW_OK;
}

void CFmp4Stream::Delivered(uint64_t bytes)
{
    const uint64_t outstanding = m_nOutstanding.load();
    m_nOutstanding -= std::min(bytes, outstanding);
    m_nDelivered += bytes;
}

void CFmp4Stream::Schedule()
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_bScheduled) {
            return;
        }
        m_bScheduled = true;
    }
    auto *weak = new std::weak_ptr<CFmp4Stream>(weak_from_this());
    GSource *source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            if (auto self = static_cast<std::weak_ptr<CFmp4Stream> *>(data)->lock()) {
                self->Flush();
            }
            return G_SOURCE_REMOVE;
        },
        weak, [](gpointer data) { delete static_cast<std::weak_ptr<CFmp4Stream> *>(data); });
    // Video waits behind nothing: at the idle priority it would wait until
    // the main loop had no other work, such as a wall of tiles connecting.
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

void CFmp4Stream::Flush()
{
    bool end = false;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bScheduled = false;
        m_Taking.swap(m_Pending);
        end = m_bEndAsked;
    }
    if (m_bEnded || m_bStopped.load()) {
        m_Taking.clear();
        return;
    }
    if (!m_Taking.empty()) {
        m_Write(m_Taking.data(), m_Taking.size());
        m_Taking.clear();
    }
    if (end) {
        m_bEnded = true;
        m_Finish();
    }
}

}  // namespace kn::gateway
