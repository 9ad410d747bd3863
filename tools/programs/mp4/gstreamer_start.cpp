#include "tools/programs/mp4/gstreamer_start.h"

#include <gst/gst.h>

#include <mutex>

namespace kn::mp4 {

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

std::string ErrorText(GstMessage *error)
{
    GError *e = nullptr;
    gst_message_parse_error(error, &e, nullptr);
    std::string text = e != nullptr && e->message != nullptr ? e->message : "unknown error";
    g_clear_error(&e);
    return text;
}

}  // namespace kn::mp4
