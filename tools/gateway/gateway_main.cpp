#include <gst/gst.h>
#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "tools/gateway/channel_hub.h"
#include "tools/gateway/gateway.h"
#include "tools/gateway/gateway_log.h"
#include "tools/gateway/gateway_options.h"
#include "tools/gateway/recorder_link.h"
#include "tools/gateway/rtsp_front.h"

namespace kn::gateway {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr gint64 kCloseGraceUs = 1000000;

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
    for (const char *element : {"appsrc", "h264parse", "rtph264pay"}) {
        if (GstElementFactory *f = gst_element_factory_find(element)) {
            gst_object_unref(f);
        } else {
            std::fprintf(stderr, "kestrel: the GStreamer element %s is missing (install gstreamer1.0-plugins-%s)\n",
                         element, std::string(element) == "h264parse" ? "bad" : "good/base");
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
        if (!front.Start(message)) {
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
        front.StopListening();
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
