#include "tools/programs/mp4/mp4_file.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/common/arrival_timeline.h"
#include "tools/common/parameter_sets.h"
#include "tools/programs/mp4/gstreamer_start.h"

namespace kn::mp4 {

namespace {

using Clock = std::chrono::steady_clock;

// A fast download waits for the muxer beyond this much queued.
constexpr guint64 kQueueBytes = 8u << 20;
// A stream's fragments: one a second, each a point to start playing from.
constexpr guint kFragmentMs = 1000;
// A muxer that takes nothing for this long is stuck: the file fails.
constexpr auto kStallLimit = std::chrono::seconds(10);
constexpr auto kPollSlice = std::chrono::milliseconds(20);
constexpr GstClockTime kFinishSlice = 100 * GST_MSECOND;
constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";

int64_t SinceEpochNs(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int64_t FileSize(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

bool Available() { return true; }

struct CMp4File::State {
    GstElement *pipeline = nullptr;
    GstElement *appsrc = nullptr;
    std::string path;
    Output output;                      // a stream instead of a file
    std::atomic<uint64_t> produced{0};  // a stream's bytes so far
    guint64 queueBytes = kQueueBytes;
    Mp4Timing timing;
    std::function<bool()> abort;
    common::CParameterSets sets;
    std::vector<uint8_t> unit;
    FrameRate rate;
    bool started = false;  // the first keyframe has been written
    Clock::time_point firstAt{};
    common::CArrivalTimeline arrivals;  // arrival timing: the opening burst spread
    int64_t firstPlacedNs = 0;
    GstClockTime lastPts = 0;
    long frames = 0;
    long skipped = 0;
    // Set from the muxer's streaming thread (the bus's sync handler).
    std::atomic<bool> failed{false};
    mutable std::mutex failureMutex;
    std::string failure;

    void Fail(const std::string &why)
    {
        std::lock_guard<std::mutex> lk(failureMutex);
        if (failure.empty()) {
            failure = why;
        }
        failed = true;
    }
    bool Aborted() const { return abort && abort(); }

    // The bus's sync handler, on the thread that posts: an error is known
    // at once, not only when Close reads the bus.
    static GstBusSyncReply OnBusMessage(GstBus *, GstMessage *message, gpointer data)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            static_cast<State *>(data)->Fail("the MP4 muxer failed: " + ErrorText(message));
        }
        return GST_BUS_PASS;
    }
};

CMp4File::CMp4File() : m_pState(std::make_unique<State>()) {}

CMp4File::~CMp4File()
{
    std::string ignored;
    Close(ignored);
}

void CMp4File::SetAbort(std::function<bool()> abort) { m_pState->abort = std::move(abort); }

bool CMp4File::Open(const std::string &path, std::string &message, Mp4Timing timing)
{
    m_pState->path = path;
    return Build("filesink", message, timing);
}

bool CMp4File::OpenStream(Output output, std::string &message, Mp4Timing timing, size_t queueBytes)
{
    m_pState->output = std::move(output);
    m_pState->queueBytes = queueBytes;
    return Build("appsink", message, timing);
}

bool CMp4File::Build(const char *sinkFactory, std::string &message, Mp4Timing timing)
{
    if (!StartGstreamer(message)) {
        return false;
    }
    State &s = *m_pState;
    const bool stream = s.output != nullptr;
    GstElement *pipeline = gst_pipeline_new("mp4");
    GstElement *src = gst_element_factory_make("appsrc", "src");
    GstElement *parse = gst_element_factory_make("h264parse", nullptr);
    GstElement *mux = gst_element_factory_make("mp4mux", nullptr);
    GstElement *sink = gst_element_factory_make(sinkFactory, nullptr);
    if (pipeline == nullptr || src == nullptr || parse == nullptr || mux == nullptr || sink == nullptr) {
        message = std::string("GStreamer lacks an element for MP4 (appsrc, h264parse, mp4mux, ") + sinkFactory +
                  ": install gstreamer1.0-plugins-good and gstreamer1.0-plugins-bad)";
        for (GstElement *e : {pipeline, src, parse, mux, sink}) {
            if (e != nullptr) {
                gst_object_unref(e);
            }
        }
        return false;
    }
    GstCaps *caps = gst_caps_from_string(kCaps);
    // Never blocking: Write waits for room itself, bounded and abortable.
    g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, "block", FALSE, nullptr);
    gst_caps_unref(caps);
    if (stream) {
        g_object_set(mux, "streamable", TRUE, "fragment-duration", kFragmentMs, nullptr);
        g_object_set(sink, "sync", FALSE, "async", FALSE, "max-buffers", 4u, nullptr);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = [](GstAppSink *appsink, gpointer data) -> GstFlowReturn {
            auto *st = static_cast<State *>(data);
            GstSample *sample = gst_app_sink_pull_sample(appsink);
            if (sample == nullptr) {
                return GST_FLOW_EOS;
            }
            GstFlowReturn result = GST_FLOW_OK;
            GstMapInfo map;
            GstBuffer *buffer = gst_sample_get_buffer(sample);
            if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                if (st->failed || !st->output(map.data, map.size)) {
                    st->Fail("the MP4 stream's reader went away");
                    result = GST_FLOW_ERROR;
                }
                st->produced += map.size;
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
            return result;
        };
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &s, nullptr);
    } else {
        g_object_set(mux, "faststart", TRUE, nullptr);
        g_object_set(sink, "location", s.path.c_str(), nullptr);
    }
    gst_bin_add_many(GST_BIN(pipeline), src, parse, mux, sink, nullptr);
    if (!gst_element_link_many(src, parse, mux, sink, nullptr)) {
        message = "cannot build the MP4 pipeline";
        gst_object_unref(pipeline);
        return false;
    }
    GstBus *bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, State::OnBusMessage, &s, nullptr);
    gst_object_unref(bus);
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        message = (stream ? std::string("cannot start the MP4 stream") : "cannot write " + s.path) +
                  (s.failed ? ": " + Failure() : "");
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        s.failed = false;
        s.failure.clear();
        return false;
    }
    s.pipeline = pipeline;
    s.appsrc = src;
    s.timing = timing;
    return true;
}

bool CMp4File::Write(const uint8_t *unit, size_t size)
{
    State &s = *m_pState;
    if (s.pipeline == nullptr || s.failed) {
        return false;
    }
    const common::ByteSpan au{unit, size};
    s.sets.Learn(au);
    if (!s.started) {
        if (!common::Summarise(au).idr || !s.sets.Known()) {
            ++s.skipped;
            return true;
        }
        s.started = true;
        s.firstAt = Clock::now();
        if (s.timing.timing == Timing::Arrival) {
            s.sets.Complete(au, s.unit);
            const FrameRate declared = DeclaredFrameRate(s.unit.data(), s.unit.size());
            if (declared.Known()) {
                s.arrivals.SetFrameTime(static_cast<int64_t>(gst_util_uint64_scale(
                    GST_SECOND, static_cast<guint64>(declared.den), static_cast<guint64>(declared.num))));
            }
            s.firstPlacedNs = s.arrivals.Place(SinceEpochNs(s.firstAt));
        }
        if (s.timing.timing == Timing::FrameRate) {
            s.sets.Complete(au, s.unit);
            s.rate = RecordingRate(DeclaredFrameRate(s.unit.data(), s.unit.size()), s.timing.fallbackFps);
            GstCaps *caps = gst_caps_from_string(kCaps);
            gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, s.rate.num, s.rate.den, nullptr);
            gst_app_src_set_caps(GST_APP_SRC(s.appsrc), caps);
            gst_caps_unref(caps);
        }
    }
    GstClockTime pts, duration;
    if (s.timing.timing == Timing::FrameRate) {
        const auto at = [&s](long n) {
            return gst_util_uint64_scale(static_cast<guint64>(n), GST_SECOND * static_cast<guint64>(s.rate.den),
                                         static_cast<guint64>(s.rate.num));
        };
        pts = at(s.frames);
        duration = at(s.frames + 1) - pts;
    } else {
        // Monotonic, never two units at one time, and the frames an eager
        // recorder sends with its acknowledgement a frame time apart.
        pts = s.frames == 0 ? 0
                            : static_cast<GstClockTime>(s.arrivals.Place(SinceEpochNs(Clock::now())) - s.firstPlacedNs);
        duration = s.frames > 0 ? pts - s.lastPts : GST_CLOCK_TIME_NONE;
    }
    // Room in the muxer's queue, waited for as long as the muxer takes
    // something; a failed, stuck or aborted muxer ends the wait.
    GstAppSrc *src = GST_APP_SRC(s.appsrc);
    guint64 level = gst_app_src_get_current_level_bytes(src);
    auto progressAt = Clock::now();
    while (level > s.queueBytes) {
        if (s.failed) {
            return false;
        }
        if (s.Aborted()) {
            s.Fail("writing the MP4 file was interrupted");
            return false;
        }
        if (Clock::now() - progressAt > kStallLimit) {
            s.Fail("the MP4 muxer took nothing for 10 s");
            return false;
        }
        std::this_thread::sleep_for(kPollSlice);
        const guint64 now = gst_app_src_get_current_level_bytes(src);
        if (now < level) {
            progressAt = Clock::now();
        }
        level = now;
    }
    s.sets.Complete(au, s.unit);
    GstBuffer *buffer = gst_buffer_new_memdup(s.unit.data(), s.unit.size());
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = pts;
    GST_BUFFER_DURATION(buffer) = duration;
    if (gst_app_src_push_buffer(src, buffer) != GST_FLOW_OK) {
        s.Fail("the MP4 muxer no longer takes frames");
        return false;
    }
    s.lastPts = pts;
    ++s.frames;
    return true;
}

bool CMp4File::Close(std::string &message)
{
    State &s = *m_pState;
    if (s.pipeline == nullptr) {
        if (s.failed) {
            message = Failure();
        }
        return !s.failed;
    }
    // The muxer writes the index and moves the media behind it at the end,
    // which takes time in proportion to the file: wait as long as the
    // queue drains or the file grows.
    if (!s.failed) {
        gst_app_src_end_of_stream(GST_APP_SRC(s.appsrc));
    }
    GstBus *bus = gst_element_get_bus(s.pipeline);
    guint64 level = gst_app_src_get_current_level_bytes(GST_APP_SRC(s.appsrc));
    const auto outputSize = [&s] {
        return s.output != nullptr ? static_cast<int64_t>(s.produced.load()) : FileSize(s.path);
    };
    int64_t size = outputSize();
    auto progressAt = Clock::now();
    bool finished = false;
    while (!finished && !s.failed) {
        if (GstMessage *m = gst_bus_timed_pop_filtered(
                bus, kFinishSlice, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))) {
            if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
                s.Fail("the MP4 muxer failed: " + ErrorText(m));
            }
            finished = GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
            gst_message_unref(m);
            continue;
        }
        const guint64 nowLevel = gst_app_src_get_current_level_bytes(GST_APP_SRC(s.appsrc));
        const int64_t nowSize = outputSize();
        if (nowLevel != level || nowSize != size) {
            progressAt = Clock::now();
            level = nowLevel;
            size = nowSize;
        }
        if (s.Aborted()) {
            s.Fail("finishing the MP4 file was interrupted: it is not complete");
        } else if (Clock::now() - progressAt > kStallLimit) {
            s.Fail("the MP4 muxer made no progress for 10 s: the file is not complete");
        }
    }
    gst_object_unref(bus);
    if (!s.failed && s.frames == 0) {
        s.Fail("no keyframe arrived: the MP4 file holds no video");
    }
    gst_element_set_state(s.pipeline, GST_STATE_NULL);
    gst_object_unref(s.pipeline);
    s.pipeline = nullptr;
    s.appsrc = nullptr;
    if (s.failed) {
        message = Failure();
    }
    return !s.failed;
}

long CMp4File::Frames() const { return m_pState->frames; }
long CMp4File::Skipped() const { return m_pState->skipped; }
FrameRate CMp4File::Rate() const { return m_pState->rate; }

std::string CMp4File::Failure() const
{
    std::lock_guard<std::mutex> lk(m_pState->failureMutex);
    return m_pState->failure;
}

}  // namespace kn::mp4
