#include <gst/gst.h>
#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "tools/gateway/channel_hub.h"
#include "tools/gateway/gateway.h"
#include "tools/gateway/gateway_log.h"
#include "tools/gateway/gateway_options.h"
#include "tools/gateway/http_front.h"
#include "tools/gateway/recorder_status.h"
#include "tools/gateway/recorder_link.h"
#include "tools/gateway/rtsp_front.h"

namespace kn::gateway {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr gint64 kCloseGraceUs = 1000000;

gboolean OnSampleTimer(gpointer status)
{
    static_cast<CRecorderStatus *>(status)->Sample();
    return G_SOURCE_CONTINUE;
}

gboolean OnStopSignal(gpointer loop)
{
    Log("stopping");
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;  // removed when the loop has ended
}

}  // namespace

int RunGateway(int argc, char **argv)
{
    GatewayOptions options;
    std::string message;
    if (!ParseGatewayOptions(argc - 1, argv + 1, options, message)) {
        std::fprintf(stderr, "kestrel: %s\n(kestrel gateway --help describes the options)\n", message.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(GatewayUsage(), stdout);
        return kExitOk;
    }
    std::signal(SIGPIPE, SIG_IGN);
    GError *error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        std::fprintf(stderr, "kestrel: GStreamer did not start: %s\n", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return kExitFailure;
    }
    // The elements every client needs; those of the web side only when it
    // is on. Snapshots (avdec_h264, jpegenc) fail on their own when missing.
    struct Element {
        const char *name, *package;
        bool needed;
    };
    for (const Element &e : {Element{"appsrc", "base", true}, Element{"h264parse", "bad", true},
                             Element{"rtph264pay", "good", true}, Element{"mp4mux", "good", options.http}}) {
        if (GstElementFactory *f = gst_element_factory_find(e.name)) {
            gst_object_unref(f);
        } else if (e.needed) {
            std::fprintf(stderr, "kestrel: the GStreamer element %s is missing (install gstreamer1.0-plugins-%s)\n",
                         e.name, e.package);
            return kExitFailure;
        }
    }
    if (options.passwordOnCommandLine) {
        Log("warning: --password is visible in process listings; --password-file or --password-env keep it out");
    }

    std::vector<std::unique_ptr<CChannelHub>> hubs;
    std::vector<CChannelHub *> hubPointers;
    for (int ch = 0; ch < options.channels; ++ch) {
        hubs.push_back(std::make_unique<CChannelHub>(ch));
        hubPointers.push_back(hubs.back().get());
    }
    CRecorderLink link(options, hubPointers);
    for (CChannelHub *hub : hubPointers) {
        hub->SetClientsChanged([&link] { link.Wake(); });
    }

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    int rc = kExitOk;
    {
        CRtspFront front(options, hubPointers);
        CRecorderStatus status(options, link, hubPointers);
        CHttpFront web(HttpOptions{options.httpAddress, options.httpPort, options.rtspUser, options.rtspPassword,
                                   static_cast<size_t>(options.webBufferBytes)},
                       status);
        const guint sampler = g_timeout_add_seconds(1, OnSampleTimer, &status);
        if (!front.Start(message) || (options.http && !web.Start(message))) {
            std::fprintf(stderr, "kestrel: %s\n", message.c_str());
            rc = kExitFailure;
        } else if (!link.Start()) {
            std::fprintf(stderr, "kestrel: the library's socket layer did not start\n");
            rc = kExitFailure;
        } else {
            const guint sigint = g_unix_signal_add(SIGINT, OnStopSignal, loop);
            const guint sigterm = g_unix_signal_add(SIGTERM, OnStopSignal, loop);
            g_main_loop_run(loop);
            g_source_remove(sigint);
            g_source_remove(sigterm);
        }
        g_source_remove(sampler);
        front.StopListening();
        web.Stop();
        // No frame arrives once the link has stopped; the clients still
        // connected get the end of their streams.
        link.Stop();
        for (CChannelHub *hub : hubPointers) {
            hub->EndClients();
        }
        // Let the closes queued on the main context run, for a bounded time.
        const gint64 until = g_get_monotonic_time() + kCloseGraceUs;
        while (g_get_monotonic_time() < until && g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    g_main_loop_unref(loop);
    if (rc == kExitOk) {
        Log("stopped");
    }
    return rc;
}

}  // namespace kn::gateway
