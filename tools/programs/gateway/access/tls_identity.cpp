#include "tools/programs/gateway/access/tls_identity.h"

#include <gio/gio.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kn::gateway {

namespace {

constexpr gint64 kHandshakeUs = 5 * G_USEC_PER_SEC;

struct Handshake {
    int pending = 2;
    GError *clientError = nullptr;
    GError *serverError = nullptr;
};

GIOStream *SocketStream(int fd)
{
    GSocket *socket = g_socket_new_from_fd(fd, nullptr);
    if (socket == nullptr) {
        ::close(fd);
        return nullptr;
    }
    GSocketConnection *connection = g_socket_connection_factory_create_connection(socket);
    g_object_unref(socket);
    return G_IO_STREAM(connection);
}

// The handshake of a client and a server connection over a socket pair.
bool Prove(GTlsCertificate *certificate, std::string &message)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        message = "cannot make a socket pair to try the TLS certificate";
        return false;
    }
    GIOStream *serverBase = SocketStream(fds[0]);
    GIOStream *clientBase = SocketStream(fds[1]);
    GError *error = nullptr;
    GIOStream *server = serverBase != nullptr ? g_tls_server_connection_new(serverBase, certificate, &error) : nullptr;
    GIOStream *client = server != nullptr && clientBase != nullptr
                            ? g_tls_client_connection_new(clientBase, nullptr, error == nullptr ? &error : nullptr)
                            : nullptr;
    bool ok = false;
    if (server == nullptr || client == nullptr) {
        message = std::string("TLS is not available (is glib-networking installed?): ") +
                  (error != nullptr ? error->message : "no TLS backend");
    } else {
        // Whom the certificate names is not the question here: only that
        // the handshake, signed with the key, goes through.
        g_signal_connect(
            client, "accept-certificate",
            G_CALLBACK(+[](GTlsConnection *, GTlsCertificate *, GTlsCertificateFlags, gpointer) { return TRUE; }),
            nullptr);
        GMainContext *context = g_main_context_new();
        g_main_context_push_thread_default(context);
        Handshake h;
        auto done = [](GObject *source, GAsyncResult *result, gpointer data) {
            auto *hs = static_cast<Handshake *>(data);
            const bool isServer = G_IS_TLS_SERVER_CONNECTION(source);
            g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result,
                                              isServer ? &hs->serverError : &hs->clientError);
            --hs->pending;
        };
        GCancellable *cancel = g_cancellable_new();
        g_tls_connection_handshake_async(G_TLS_CONNECTION(server), G_PRIORITY_DEFAULT, cancel, done, &h);
        g_tls_connection_handshake_async(G_TLS_CONNECTION(client), G_PRIORITY_DEFAULT, cancel, done, &h);
        bool late = false;
        GSource *timer = g_timeout_source_new(static_cast<guint>(kHandshakeUs / 1000));
        g_source_set_callback(
            timer,
            +[](gpointer data) {
                *static_cast<bool *>(data) = true;
                return G_SOURCE_REMOVE;
            },
            &late, nullptr);
        g_source_attach(timer, context);
        while (h.pending > 0 && !late) {
            g_main_context_iteration(context, TRUE);
        }
        g_source_destroy(timer);
        g_source_unref(timer);
        if (h.pending > 0) {
            g_cancellable_cancel(cancel);
            while (h.pending > 0) {
                g_main_context_iteration(context, TRUE);
            }
        }
        ok = h.serverError == nullptr && h.clientError == nullptr;
        if (!ok) {
            const GError *e = h.serverError != nullptr ? h.serverError : h.clientError;
            message = std::string("a TLS handshake with the certificate and key failed (does the key match the "
                                  "certificate?): ") +
                      (e != nullptr ? e->message : "?");
        }
        g_clear_error(&h.serverError);
        g_clear_error(&h.clientError);
        g_object_unref(cancel);
        g_io_stream_close(client, nullptr, nullptr);
        g_io_stream_close(server, nullptr, nullptr);
        g_main_context_pop_thread_default(context);
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_unref(context);
    }
    g_clear_error(&error);
    for (GIOStream *s : {client, server, clientBase, serverBase}) {
        if (s != nullptr) {
            g_object_unref(s);
        }
    }
    return ok;
}

}  // namespace

GTlsCertificate *LoadTlsIdentity(const std::string &certificate, const std::string &key, std::string &message)
{
    GError *error = nullptr;
    GTlsCertificate *cert = g_tls_certificate_new_from_files(certificate.c_str(), key.c_str(), &error);
    if (cert == nullptr) {
        message = "the TLS certificate " + certificate + " and key " + key +
                  " cannot be read: " + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return nullptr;
    }
    GDateTime *now = g_date_time_new_now_utc();
    GDateTime *after = g_tls_certificate_get_not_valid_after(cert);
    GDateTime *before = g_tls_certificate_get_not_valid_before(cert);
    std::string dates;
    if (after != nullptr && g_date_time_compare(now, after) > 0) {
        gchar *t = g_date_time_format_iso8601(after);
        dates = "the TLS certificate " + certificate + " expired on " + t;
        g_free(t);
    } else if (before != nullptr && g_date_time_compare(now, before) < 0) {
        gchar *t = g_date_time_format_iso8601(before);
        dates = "the TLS certificate " + certificate + " is not valid before " + t;
        g_free(t);
    }
    for (GDateTime *d : {now, after, before}) {
        if (d != nullptr) {
            g_date_time_unref(d);
        }
    }
    if (!dates.empty()) {
        message = dates;
        g_object_unref(cert);
        return nullptr;
    }
    if (!Prove(cert, message)) {
        message = certificate + ", " + key + ": " + message;
        g_object_unref(cert);
        return nullptr;
    }
    return cert;
}

}  // namespace kn::gateway
