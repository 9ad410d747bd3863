#include "tools/programs/gateway/web/snapshot.h"

#include <gio/gio.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

namespace kn::gateway {

namespace {

constexpr GstClockTime kPullTimeout = 5 * GST_SECOND;
// The group is decoded as fast as it goes; its times only keep the order.
constexpr GstClockTime kStepNs = 40 * GST_MSECOND;

struct Job {
    std::vector<std::vector<uint8_t>> units;
    int width = 0;
    std::vector<uint8_t> jpeg;
    std::string message;
    std::function<void(std::vector<uint8_t>, std::string)> done;
};

}  // namespace

bool EncodeSnapshot(const std::vector<std::vector<uint8_t>> &units, int width, std::vector<uint8_t> &jpeg,
                    std::string &message)
{
    if (units.empty()) {
        message = "no picture";
        return false;
    }
    std::string launch =
        "appsrc name=src format=time caps=video/x-h264,stream-format=byte-stream,alignment=au ! h264parse ! "
        "avdec_h264 ! videoconvert ! videoscale ! ";
    launch += width > 0 ? "video/x-raw,pixel-aspect-ratio=1/1,width=" + std::to_string(width) + " ! " : "";
    launch += "jpegenc ! appsink name=out sync=false";
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(launch.c_str(), &error);
    if (pipeline == nullptr) {
        message = std::string("cannot make the JPEG pipeline: ") + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    g_clear_error(&error);
    GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    bool ok = gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    for (size_t i = 0; ok && i < units.size(); ++i) {
        GstBuffer *buffer = gst_buffer_new_memdup(units[i].data(), units[i].size());
        GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(i) * kStepNs;
        ok = gst_app_src_push_buffer(GST_APP_SRC(src), buffer) == GST_FLOW_OK;
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    // The last picture is the one wanted: take every sample until the end.
    GstSample *last = nullptr;
    while (ok) {
        GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(out), kPullTimeout);
        if (sample == nullptr) {
            break;
        }
        if (last != nullptr) {
            gst_sample_unref(last);
        }
        last = sample;
    }
    if (last != nullptr) {
        GstMapInfo map;
        GstBuffer *buffer = gst_sample_get_buffer(last);
        if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            jpeg.assign(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(last);
    }
    if (jpeg.empty()) {
        GstBus *bus = gst_element_get_bus(pipeline);
        GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
        message = "the picture did not decode";
        if (msg != nullptr) {
            gst_message_parse_error(msg, &error, nullptr);
            message += std::string(": ") + (error != nullptr ? error->message : "?");
            g_clear_error(&error);
            gst_message_unref(msg);
        }
        gst_object_unref(bus);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(out);
    gst_object_unref(pipeline);
    return !jpeg.empty();
}

bool CSnapshotGrab::Push(const uint8_t *data, size_t size, int64_t)
{
    Done done;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        done.swap(m_Done);
    }
    if (done) {
        std::vector<std::vector<uint8_t>> units;
        units.emplace_back(data, data + size);
        done(std::move(units));
    }
    return true;
}

void EncodeSnapshotAsync(std::vector<std::vector<uint8_t>> units, int width,
                         std::function<void(std::vector<uint8_t> jpeg, std::string message)> done)
{
    auto *job = new Job{std::move(units), width, {}, {}, std::move(done)};
    GTask *task = g_task_new(
        nullptr, nullptr,
        [](GObject *, GAsyncResult *result, gpointer) {
            auto *j = static_cast<Job *>(g_task_get_task_data(G_TASK(result)));
            j->done(std::move(j->jpeg), std::move(j->message));
        },
        nullptr);
    g_task_set_task_data(task, job, [](gpointer data) { delete static_cast<Job *>(data); });
    g_task_run_in_thread(task, [](GTask *t, gpointer, gpointer data, GCancellable *) {
        auto *j = static_cast<Job *>(data);
        EncodeSnapshot(j->units, j->width, j->jpeg, j->message);
        g_task_return_boolean(t, TRUE);
    });
    g_object_unref(task);
}

}  // namespace kn::gateway
