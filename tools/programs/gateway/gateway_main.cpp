#include <gio/gio.h>
#include <gst/gst.h>
#include <glib-unix.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tools/programs/gateway/access/tls_identity.h"
#include "tools/programs/gateway/fronts.h"
#include "tools/programs/gateway/gateway.h"
#include "tools/programs/gateway/site/config/gateway_options.h"
#include "tools/programs/gateway/site/config/site_config.h"
#include "tools/programs/gateway/site/recorder_link.h"
#include "tools/programs/gateway/site/site.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitListen = 3;  // a listener it was told to open could not be opened
constexpr gint64 kCloseGraceUs = 1000000;
constexpr guint kFileCheckSeconds = 1;
constexpr guint kStaleCheckMs = 250;

// What tells a changed site file: its identity, size and time.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const FileStamp &o) const
    {
        return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileStamp StampOf(const std::string &path)
{
    struct stat st {};
    FileStamp s;
    if (::stat(path.c_str(), &st) == 0) {
        s = FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    return s;
}

// The running gateway, as the main loop's callbacks see it.
struct Running {
    GMainLoop *loop = nullptr;
    std::string configPath;
    SiteConfig site;
    CSite *recorders = nullptr;
    std::vector<std::unique_ptr<IFront>> *fronts = nullptr;
    FileStamp stamp;  // the file as the last reload read it
    FileStamp seen;   // as the file check last saw it
};

gboolean OnStopSignal(gpointer data)
{
    Log("stopping");
    g_main_loop_quit(static_cast<Running *>(data)->loop);
    return G_SOURCE_CONTINUE;  // removed when the loop has ended
}

void Reload(Running &r, const char *why)
{
    r.stamp = r.seen = StampOf(r.configPath);
    ReloadStatus outcome;
    outcome.atUnixMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    outcome.trigger = why;
    SiteConfig next;
    std::string message;
    if (!LoadSiteConfig(r.configPath, next, message)) {
        Log("reload (%s) refused, the running configuration stays: %s", why, message.c_str());
        outcome.message = message;
        r.recorders->NoteReload(outcome);
        r.recorders->Events().Publish(GatewayEvent(EventKind::ReloadRefused, "", -1, message));
        return;
    }
    if (next.listen != r.site.listen || next.rtspUser != r.site.rtspUser || next.rtspPassword != r.site.rtspPassword ||
        next.timeoutMs != r.site.timeoutMs || next.statsMs != r.site.statsMs || !(next.access == r.site.access) ||
        next.tlsCertificate != r.site.tlsCertificate || next.tlsKey != r.site.tlsKey) {
        Log("reload (%s): listen addresses, users and rights, TLS files named, timeout and stats take effect at the "
            "next start",
            why);
    }
    // The TLS certificate and key on disk are read again (a renewal).
    if (r.fronts != nullptr) {
        for (const auto &front : *r.fronts) {
            front->Reload(r.site);
        }
    }
    Log("reload (%s): %zu recorder(s)", why, next.recorders.size());
    r.recorders->Apply(next.recorders);
    r.site.recorders = next.recorders;
    outcome.applied = true;
    r.recorders->NoteReload(outcome);
    r.recorders->Events().Publish(GatewayEvent(EventKind::ReloadApplied, "", -1, why));
}

gboolean OnReloadSignal(gpointer data)
{
    Reload(*static_cast<Running *>(data), "SIGHUP");
    return G_SOURCE_CONTINUE;
}

// A changed file is read once it has held still for a check: a SIGHUP sent
// right after saving it reloads it once, and a file being written is not
// read half-way.
gboolean OnFileCheck(gpointer data)
{
    auto &r = *static_cast<Running *>(data);
    const FileStamp now = StampOf(r.configPath);
    if (now == r.stamp) {
        r.seen = now;
    } else if (!(now == r.seen)) {
        r.seen = now;
    } else {
        Reload(r, "the file changed");
    }
    return G_SOURCE_CONTINUE;
}

gboolean OnAnswerStale(gpointer data)
{
    static_cast<Running *>(data)->recorders->AnswerStale();
    return G_SOURCE_CONTINUE;
}

gboolean OnStateSignal(gpointer data)
{
    LogText("state: " + StatusJson(static_cast<Running *>(data)->recorders->Status()));
    return G_SOURCE_CONTINUE;
}

// The elements every client needs; those of the web side only when it is
// on. Snapshots (avdec_h264, jpegenc) fail on their own when missing.
bool ElementsPresent(bool web)
{
    struct Element {
        const char *name, *package;
        bool needed;
    };
    for (const Element &e : {Element{"appsrc", "base", true}, Element{"h264parse", "bad", true},
                             Element{"rtph264pay", "good", true}, Element{"mp4mux", "good", web}}) {
        if (GstElementFactory *f = gst_element_factory_find(e.name)) {
            gst_object_unref(f);
        } else if (e.needed) {
            std::fprintf(stderr, "kestrel: the GStreamer element %s is missing (install gstreamer1.0-plugins-%s)\n",
                         e.name, e.package);
            return false;
        }
    }
    return true;
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
    Running running;
    running.configPath = options.configPath;
    if (options.configPath.empty()) {
        running.site = SiteFromOptions(options);
    } else {
        running.stamp = running.seen = StampOf(options.configPath);
        if (!LoadSiteConfig(options.configPath, running.site, message)) {
            std::fprintf(stderr, "kestrel: %s\n", message.c_str());
            return kExitUsage;
        }
        // The TLS identity is proven before anything listens.
        if (running.site.Tls()) {
            GTlsCertificate *identity = LoadTlsIdentity(running.site.tlsCertificate, running.site.tlsKey, message);
            if (identity == nullptr) {
                std::fprintf(stderr, "kestrel: %s: %s\n", options.configPath.c_str(), message.c_str());
                return kExitUsage;
            }
            g_object_unref(identity);
        }
        if (options.checkOnly) {
            std::printf("%s: %zu recorder(s), good\n", options.configPath.c_str(), running.site.recorders.size());
            return kExitOk;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    GError *error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        std::fprintf(stderr, "kestrel: GStreamer did not start: %s\n", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return kExitFailure;
    }
    if (!ElementsPresent(running.site.http)) {
        return kExitFailure;
    }
    if (options.passwordOnCommandLine) {
        Log("warning: --password is visible in process listings; --password-file or --password-env keep it out");
    }

    CLibraryHost library;
    if (!library.Start(running.site.timeoutMs)) {
        std::fprintf(stderr, "kestrel: the library's socket layer did not start\n");
        return kExitFailure;
    }
    running.loop = g_main_loop_new(nullptr, FALSE);
    int rc = kExitOk;
    {
        CSite site(library, running.site);
        running.recorders = &site;
        std::vector<std::unique_ptr<IFront>> fronts;
        running.fronts = &fronts;
        for (const FrontMaker &maker : Fronts()) {
            if (std::unique_ptr<IFront> front = maker.make(running.site, site)) {
                fronts.push_back(std::move(front));
            }
        }
        // A listener it was told to open and cannot is the end: a gateway
        // half there would look served (http: off runs without the web side).
        bool started = true;
        for (const auto &front : fronts) {
            if (!front->Start(message)) {
                std::fprintf(stderr, "kestrel: %s\n", message.c_str());
                rc = kExitListen;
                started = false;
                break;
            }
        }
        if (started) {
            site.Apply(running.site.recorders);
            std::vector<guint> sources{g_unix_signal_add(SIGINT, OnStopSignal, &running),
                                       g_unix_signal_add(SIGTERM, OnStopSignal, &running),
                                       g_unix_signal_add(SIGUSR1, OnStateSignal, &running),
                                       g_timeout_add(kStaleCheckMs, OnAnswerStale, &running)};
            if (!running.configPath.empty()) {
                sources.push_back(g_unix_signal_add(SIGHUP, OnReloadSignal, &running));
                sources.push_back(g_timeout_add_seconds(kFileCheckSeconds, OnFileCheck, &running));
            }
            g_main_loop_run(running.loop);
            for (guint source : sources) {
                g_source_remove(source);
            }
        }
        for (const auto &front : fronts) {
            front->StopListening();
        }
        for (const auto &front : fronts) {
            front->Stop();
        }
        // Every recorder closes its streams and logs out; the clients still
        // connected get the end of their streams.
        site.StopAll();
        // Let the closes queued on the main context run, for a bounded time.
        const gint64 until = g_get_monotonic_time() + kCloseGraceUs;
        while (g_get_monotonic_time() < until && g_main_context_iteration(nullptr, FALSE)) {
        }
        running.fronts = nullptr;
        fronts.clear();
    }
    g_main_loop_unref(running.loop);
    const bool clean = library.Stop();
    if (rc == kExitOk) {
        Log("stopped");
    }
    if (!clean) {
        // A recorder still holds a request of the library's: the process
        // ends without waiting for it (its sockets close with it).
        std::fflush(nullptr);
        std::_Exit(rc);
    }
    return rc;
}

}  // namespace kn::gateway
