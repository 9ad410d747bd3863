#include "tools/programs/gateway/web/http_front.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <cstdlib>
#include <functional>
#include <type_traits>
#include <vector>

#include "tools/common/http_reply.h"
#include "tools/programs/gateway/stream/channel_hub.h"
#include "tools/programs/gateway/web/fmp4_stream.h"
#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/web/snapshot.h"
#include "tools/programs/gateway/web/web_assets.h"

namespace kn::gateway {

namespace {

constexpr gint64 kDrainUs = 300000;

using common::Reply;

constexpr const char *kRealm = "kestrel gateway";
// A snapshot of a channel that sends no keyframe in this time fails.
constexpr guint kSnapshotWaitMs = 6000;
constexpr int kMaxSnapshotWidth = 4096;

std::string Peer(SoupServerMessage *msg)
{
    const char *host = soup_server_message_get_remote_host(msg);
    return host != nullptr ? host : "?";
}

gboolean CheckBasic(SoupAuthDomain *, SoupServerMessage *, const char *user, const char *password, gpointer data)
{
    const auto *o = static_cast<const HttpOptions *>(data);
    return user != nullptr && password != nullptr && o->user == user && o->password == password;
}

char *DigestPassword(SoupAuthDomain *domain, SoupServerMessage *, const char *user, gpointer data)
{
    const auto *o = static_cast<const HttpOptions *>(data);
    if (user == nullptr || o->user != user) {
        return nullptr;
    }
    return soup_auth_domain_digest_encode_password(user, soup_auth_domain_get_realm(domain), o->password.c_str());
}

// Connects a signal to a C++ callable, which lives as long as the
// connection.
template <typename... Args, typename F>
void ConnectTyped(gpointer instance, const char *signal, F f)
{
    using Fn = std::function<void(Args...)>;
    g_signal_connect_data(
        instance, signal,
        G_CALLBACK(+[](gpointer, Args... args, gpointer data) { (*static_cast<Fn *>(data))(args...); }),
        new Fn(std::move(f)), [](gpointer data, GClosure *) { delete static_cast<Fn *>(data); },
        static_cast<GConnectFlags>(0));
}

bool IsUpgrade(SoupServerMessage *msg)
{
    const char *upgrade = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Upgrade");
    return upgrade != nullptr && g_ascii_strcasecmp(upgrade, "websocket") == 0;
}

}  // namespace

template <typename F>
void CHttpFront::Connect(void *instance, const char *signal, F f)
{
    if constexpr (std::is_invocable_v<F, unsigned>) {
        ConnectTyped<unsigned>(instance, signal, std::move(f));
    } else if constexpr (std::is_invocable_v<F, int, GBytes *>) {
        ConnectTyped<int, GBytes *>(instance, signal, std::move(f));
    } else {
        ConnectTyped<>(instance, signal, std::move(f));
    }
}

CHttpFront::CHttpFront(HttpOptions options, ISiteDirectory &directory)
    : m_Options(std::move(options)), m_Directory(directory)
{}

std::unique_ptr<IFront> MakeHttpFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (!site.http) {
        return nullptr;
    }
    return std::make_unique<CHttpFront>(HttpOptions{site.httpListen.address, site.httpListen.port, site.rtspUser,
                                                    site.rtspPassword, static_cast<size_t>(site.webBufferBytes)},
                                        directory);
}

CHttpFront::~CHttpFront()
{
    Stop();
    *m_Alive = false;
    if (m_pServer != nullptr) {
        g_object_unref(m_pServer);
    }
    for (SoupAuthDomain *domain : m_Domains) {
        g_object_unref(domain);
    }
}

std::string CHttpFront::User(SoupServerMessage *msg) const
{
    for (SoupAuthDomain *domain : m_Domains) {
        if (char *user = soup_auth_domain_accepts(domain, msg)) {
            std::string name = user;
            g_free(user);
            return name;
        }
    }
    return "";
}

bool CHttpFront::Allowed(SoupServerMessage *msg, Action action, const std::string &recorder, int channel) const
{
    if (m_Directory.May(User(msg), action, recorder, channel)) {
        return true;
    }
    Reply(msg, SOUP_STATUS_FORBIDDEN, "text/plain", std::string("not allowed to ") + ActionName(action) + "\n");
    return false;
}

bool CHttpFront::Start(std::string &message)
{
    m_pServer = soup_server_new("server-header", "kestrel-gateway", nullptr);
    if (!m_Options.user.empty()) {
        SoupAuthDomain *basic = soup_auth_domain_basic_new("realm", kRealm, nullptr);
        soup_auth_domain_add_path(basic, "/");
        soup_auth_domain_remove_path(basic, "/onvif");  // ONVIF clients log in inside their SOAP requests
        soup_auth_domain_basic_set_auth_callback(basic, CheckBasic, const_cast<HttpOptions *>(&m_Options), nullptr);
        soup_server_add_auth_domain(m_pServer, basic);
        m_Domains.push_back(basic);
        SoupAuthDomain *digest = soup_auth_domain_digest_new("realm", kRealm, nullptr);
        soup_auth_domain_add_path(digest, "/");
        soup_auth_domain_remove_path(digest, "/onvif");
        soup_auth_domain_digest_set_auth_callback(digest, DigestPassword, const_cast<HttpOptions *>(&m_Options),
                                                  nullptr);
        soup_server_add_auth_domain(m_pServer, digest);
        m_Domains.push_back(digest);
    }
    soup_server_add_handler(m_pServer, nullptr, reinterpret_cast<SoupServerCallback>(OnRequest), this, nullptr);
    soup_server_add_websocket_handler(m_pServer, nullptr, nullptr, nullptr,
                                      reinterpret_cast<SoupServerWebsocketCallback>(OnWebSocket), this, nullptr);

    GError *error = nullptr;
    GInetAddress *inet =
        g_inet_address_new_from_string(m_Options.address == "localhost" ? "127.0.0.1" : m_Options.address.c_str());
    if (inet == nullptr) {
        message = "the HTTP listen address " + m_Options.address + " is not an IP address";
        return false;
    }
    GSocketAddress *address = g_inet_socket_address_new(inet, m_Options.port);
    g_object_unref(inet);
    const gboolean listening = soup_server_listen(m_pServer, address, static_cast<SoupServerListenOptions>(0), &error);
    g_object_unref(address);
    if (!listening) {
        message = "cannot listen for HTTP on " + m_Options.address + ":" + std::to_string(m_Options.port) + ": " +
                  (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    GSList *uris = soup_server_get_uris(m_pServer);
    if (uris != nullptr) {
        m_wPort = static_cast<uint16_t>(g_uri_get_port(static_cast<GUri *>(uris->data)));
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    Log("serving http://%s:%u/%s", m_Options.address.c_str(), static_cast<unsigned>(m_wPort),
        m_Options.user.empty() ? "" : " (clients authenticate: digest or basic)");
    return true;
}

void CHttpFront::Stop()
{
    for (auto &[key, web] : m_Web) {
        std::vector<std::shared_ptr<CFmp4Stream>> streams;
        for (const auto &kv : web) {
            streams.push_back(kv.first);
        }
        for (const auto &stream : streams) {
            EndStream(key, stream);
        }
    }
    m_Archive.Stop();
    // The answers just given (the searches', and the requests the fronts
    // before this one held and ended) are written before the connections
    // close: an answer let go and then cut by the disconnect would be read
    // from a stream already closed. Bounded: what is not out by then is cut.
    const gint64 until = g_get_monotonic_time() + kDrainUs;
    while (g_get_monotonic_time() < until && g_main_context_iteration(nullptr, FALSE)) {
    }
    if (m_pServer != nullptr) {
        soup_server_disconnect(m_pServer);
    }
}

void CHttpFront::OnRequest(SoupServer *, SoupServerMessage *msg, const char *path, void *query, void *self)
{
    static_cast<CHttpFront *>(self)->Route(msg, path != nullptr ? path : "/", query);
}

void CHttpFront::Route(SoupServerMessage *msg, const std::string &path, void *query)
{
    // The other fronts that serve on this listener first, for any method.
    if (const std::vector<std::shared_ptr<IHttpRoute>> routes = m_Directory.HttpRoutes(); !routes.empty()) {
        const std::string user = User(msg);
        for (const auto &route : routes) {
            if (route->Serve(msg, path, static_cast<GHashTable *>(query), user)) {
                return;
            }
        }
    }
    const std::string method = soup_server_message_get_method(msg);
    if (method != "GET" && method != "HEAD") {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
        Reply(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "text/plain", "GET or HEAD only\n");
        return;
    }
    std::string name, extension;
    int channel = 0;
    const bool channelPath = ParseChannelPath(path, name, channel, extension);
    auto *params = static_cast<GHashTable *>(query);
    if (path == "/api/recordings") {
        const char *recorder =
            params != nullptr ? static_cast<const char *>(g_hash_table_lookup(params, "recorder")) : nullptr;
        const char *ch =
            params != nullptr ? static_cast<const char *>(g_hash_table_lookup(params, "channel")) : nullptr;
        if (!Allowed(msg, Action::Archive, recorder != nullptr ? recorder : "", ch != nullptr ? std::atoi(ch) : -1)) {
            return;
        }
    } else if (channelPath && params != nullptr && g_hash_table_lookup(params, "start") != nullptr) {
        if (!Allowed(msg, Action::Archive, name, channel)) {
            return;
        }
    } else if (channelPath) {
        if (!Allowed(msg, Action::View, name, channel)) {
            return;
        }
    } else if ((path == "/api/status" || path == "/metrics") && !Allowed(msg, Action::Status, "", -1)) {
        return;
    }
    if (m_Archive.Route(msg, path, params)) {
        return;
    }
    if (path == "/api/status") {
        Reply(msg, SOUP_STATUS_OK, "application/json", StatusJson(m_Directory.Status()) + "\n");
        return;
    }
    if (path == "/metrics") {
        Reply(msg, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8", StatusMetrics(m_Directory.Status()));
        return;
    }
    if (path == "/healthz") {
        Reply(msg, SOUP_STATUS_OK, "text/plain", "ok\n");
        return;
    }
    if (const WebAsset *asset = FindWebAsset(path)) {
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-cache");
        soup_server_message_set_response(msg, asset->contentType, SOUP_MEMORY_STATIC,
                                         reinterpret_cast<const char *>(asset->data), asset->size);
        return;
    }
    if (channelPath && (extension == "mp4" || extension == "jpg")) {
        const Key key{name, channel};
        if (m_Directory.Stream(name, channel) == nullptr) {
            Reply(msg, SOUP_STATUS_NOT_FOUND, "text/plain", "no such recorder or channel\n");
        } else if (extension == "mp4" && IsUpgrade(msg)) {
            // Left for the WebSocket handler, which runs after this one.
        } else if (extension == "mp4") {
            ServeStream(msg, key);
        } else {
            int width = 0;
            if (query != nullptr) {
                if (const char *w =
                        static_cast<const char *>(g_hash_table_lookup(static_cast<GHashTable *>(query), "width"))) {
                    char *end = nullptr;
                    const long v = std::strtol(w, &end, 10);
                    if (*w == '\0' || *end != '\0' || v < 16 || v > kMaxSnapshotWidth) {
                        Reply(msg, SOUP_STATUS_BAD_REQUEST, "text/plain", "width takes 16-4096 pixels\n");
                        return;
                    }
                    width = static_cast<int>(v & ~1L);  // even, as the encoder wants
                }
            }
            ServeSnapshot(msg, key, width);
        }
        return;
    }
    Reply(msg, SOUP_STATUS_NOT_FOUND, "text/plain", "not found\n");
}

void CHttpFront::ServeStream(SoupServerMessage *msg, const Key &key)
{
    if (soup_server_message_get_method(msg) == std::string("HEAD")) {
        Reply(msg, SOUP_STATUS_OK, "video/mp4", "");
        return;
    }
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_set_content_type(headers, "video/mp4", nullptr);
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    auto held = std::shared_ptr<SoupServerMessage>(SOUP_SERVER_MESSAGE(g_object_ref(msg)), g_object_unref);
    auto stream = std::make_shared<CFmp4Stream>(
        Peer(msg), m_Options.maxOutstanding,
        [held](const uint8_t *data, size_t size) {
            soup_message_body_append(soup_server_message_get_response_body(held.get()), SOUP_MEMORY_COPY, data, size);
            soup_server_message_unpause(held.get());
        },
        [held] {
            soup_message_body_complete(soup_server_message_get_response_body(held.get()));
            soup_server_message_unpause(held.get());
        });
    std::weak_ptr<CFmp4Stream> weak = stream;
    Connect(msg, "wrote-body-data", [weak](unsigned size) {
        if (auto s = weak.lock()) {
            s->Delivered(size);
        }
    });
    Connect(msg, "finished", EndLater(key, weak));
    Attach(key, stream, "http");
}

void CHttpFront::OnWebSocket(SoupServer *, SoupServerMessage *msg, const char *path, SoupWebsocketConnection *conn,
                             void *self)
{
    auto *front = static_cast<CHttpFront *>(self);
    std::string name, extension;
    int channel = 0;
    if (path == nullptr || !ParseChannelPath(path, name, channel, extension) ||
        front->m_Directory.Stream(name, channel) == nullptr) {
        soup_websocket_connection_close(conn, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "no such channel");
        return;
    }
    if (!front->m_Directory.May(front->User(msg), Action::View, name, channel)) {
        soup_websocket_connection_close(conn, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "not allowed to view");
        return;
    }
    const Key key{name, channel};
    auto held = std::shared_ptr<SoupWebsocketConnection>(SOUP_WEBSOCKET_CONNECTION(g_object_ref(conn)), g_object_unref);
    auto stream = std::make_shared<CFmp4Stream>(
        Peer(msg), front->m_Options.maxOutstanding,
        [held](const uint8_t *data, size_t size) {
            if (soup_websocket_connection_get_state(held.get()) == SOUP_WEBSOCKET_STATE_OPEN) {
                soup_websocket_connection_send_binary(held.get(), data, size);
            }
        },
        [held] { soup_websocket_connection_close(held.get(), SOUP_WEBSOCKET_CLOSE_NORMAL, "the channel is lost"); });
    // The page reports the bytes it has taken, as a decimal number in a
    // text message, so what it has not taken stays bounded.
    std::weak_ptr<CFmp4Stream> weak = stream;
    auto acknowledged = std::make_shared<uint64_t>(0);
    Connect(conn, "message", [weak, acknowledged](int type, GBytes *bytes) {
        auto s = weak.lock();
        if (s == nullptr || type != SOUP_WEBSOCKET_DATA_TEXT) {
            return;
        }
        gsize size = 0;
        const char *text = static_cast<const char *>(g_bytes_get_data(bytes, &size));
        const std::string number(text != nullptr ? text : "", size);
        char *end = nullptr;
        const unsigned long long taken = std::strtoull(number.c_str(), &end, 10);
        if (!number.empty() && *end == '\0' && taken > *acknowledged) {
            s->Delivered(taken - *acknowledged);
            *acknowledged = taken;
        }
    });
    Connect(conn, "closed", front->EndLater(key, weak));
    front->Attach(key, stream, "websocket");
}

std::function<void()> CHttpFront::EndLater(const Key &key, std::weak_ptr<CFmp4Stream> weak)
{
    std::weak_ptr<bool> alive = m_Alive;
    return [this, alive, key, weak] {
        if (alive.lock() != nullptr) {
            if (auto s = weak.lock()) {
                EndStream(key, s);
            }
        }
    };
}

void CHttpFront::Attach(const Key &key, const std::shared_ptr<CFmp4Stream> &stream, const char *how)
{
    std::string message;
    std::unique_ptr<CStreamReader> &reader = m_Web[key][stream];
    if (m_Directory.Stream(key.first, key.second) == nullptr || !stream->Start(message)) {
        // Ended at once; it leaves when its response or connection ends.
        Log("%s channel %d: web client %s refused: %s", key.first.c_str(), key.second, stream->Peer().c_str(),
            message.c_str());
        stream->End();
        return;
    }
    // Its pipeline runs: it starts with the cached group at once.
    reader = m_Directory.OpenReader(key.first, key.second, stream, ReaderOptions{StartPolicy::CachedGroup, true});
    const std::shared_ptr<CChannelHub> hub = reader != nullptr ? reader->Stream() : nullptr;
    const int clients = hub != nullptr ? hub->Counts().clients : 0;
    Log("%s channel %d: web client %s joined over %s (%d client%s)", key.first.c_str(), key.second,
        stream->Peer().c_str(), how, clients, clients == 1 ? "" : "s");
}

void CHttpFront::EndStream(const Key &key, const std::shared_ptr<CFmp4Stream> &stream)
{
    Streams &web = m_Web[key];
    const auto it = web.find(stream);
    if (it == web.end()) {
        return;
    }
    const std::shared_ptr<CChannelHub> hub = it->second != nullptr ? it->second->Stream() : nullptr;
    const bool joined = it->second != nullptr;
    web.erase(it);  // leaves the stream
    const int left = hub != nullptr ? hub->Counts().clients : 0;
    if (joined && hub != nullptr) {
        Log("%s channel %d: web client %s left (%d client%s)", key.first.c_str(), key.second, stream->Peer().c_str(),
            left, left == 1 ? "" : "s");
    }
    stream->Stop();
}

void CHttpFront::ServeSnapshot(SoupServerMessage *msg, const Key &key, int width)
{
    const std::shared_ptr<CChannelHub> hub = m_Directory.Stream(key.first, key.second);
    // The message waits for its answer; a client that goes away meanwhile
    // is noticed by the finished flag.
    struct Pending {
        SoupServerMessage *msg;
        bool finished = false;
        bool answered = false;
        std::unique_ptr<CStreamReader> grab;
        guint timeout = 0;
    };
    auto pending = std::make_shared<Pending>();
    pending->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
    Connect(msg, "finished", [pending] { pending->finished = true; });
    // A status keeps the WebSocket handler, which runs after this one, off
    // the message; the real one comes with the answer.
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_pause(msg);

    std::weak_ptr<bool> alive = m_Alive;
    // Answers once, on the main loop, and lets the message go.
    auto answer = [pending](guint status, const char *type, const std::string &body) {
        if (pending->answered) {
            return;
        }
        pending->answered = true;
        if (pending->timeout != 0) {
            g_source_remove(pending->timeout);
            pending->timeout = 0;
        }
        if (!pending->finished) {
            Reply(pending->msg, status, type, body);
            soup_server_message_unpause(pending->msg);
        }
        g_object_unref(pending->msg);
    };
    // Takes the collector off the stream (on the main loop).
    auto release = [pending] { pending->grab.reset(); };

    using Units = std::vector<std::vector<uint8_t>>;
    auto onGroup = [answer, release, width, key](Units units) {
        release();
        EncodeSnapshotAsync(std::move(units), width, [answer, key](std::vector<uint8_t> jpeg, std::string message) {
            if (jpeg.empty()) {
                Log("%s channel %d: snapshot failed: %s", key.first.c_str(), key.second, message.c_str());
                answer(SOUP_STATUS_SERVICE_UNAVAILABLE, "text/plain", message + "\n");
            } else {
                answer(SOUP_STATUS_OK, "image/jpeg", std::string(jpeg.begin(), jpeg.end()));
            }
        });
    };
    // An open channel's cached group gives its latest picture at once.
    if (Units cached; hub->CopyCachedGroup(cached)) {
        onGroup(std::move(cached));
        return;
    }
    // Else the next keyframe, which arrives on the library's thread: it is
    // carried to the main loop.
    auto grab = std::make_shared<CSnapshotGrab>([onGroup](Units units) {
        auto *call =
            new std::function<void()>([onGroup, units = std::move(units)]() mutable { onGroup(std::move(units)); });
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()> *>(data))();
                return G_SOURCE_REMOVE;
            },
            call, [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
    });
    auto *onTimeout = new std::function<void()>([answer, release, pending, key] {
        pending->timeout = 0;
        release();
        Log("%s channel %d: snapshot failed: no keyframe in time", key.first.c_str(), key.second);
        answer(SOUP_STATUS_SERVICE_UNAVAILABLE, "text/plain", "no picture from the recorder in time\n");
    });
    pending->timeout = g_timeout_add_full(
        G_PRIORITY_DEFAULT, kSnapshotWaitMs,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()> *>(data))();
            return G_SOURCE_REMOVE;
        },
        onTimeout, [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
    pending->grab = m_Directory.OpenReader(key.first, key.second, std::move(grab), ReaderOptions{});
}

}  // namespace kn::gateway
