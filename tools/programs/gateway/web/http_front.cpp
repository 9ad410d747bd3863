#include "tools/programs/gateway/web/http_front.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <functional>
#include <type_traits>
#include <vector>

#include "tools/common/http_reply.h"
#include "tools/programs/gateway/access/tls_identity.h"
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
constexpr guint kTooManyRequests = 429;
// A snapshot of a channel that sends no keyframe in this time fails.
constexpr guint kSnapshotWaitMs = 6000;
constexpr int kMaxSnapshotWidth = 4096;
// The largest request body taken (an SDP offer, a SOAP envelope: a few
// kilobytes). The server library would keep all of any body; it is counted
// as it comes instead, chunked or not, and one past this refused.
constexpr goffset kMaxBodyBytes = 256 * 1024;

void RefuseLargeBody(SoupServerMessage *msg)
{
    SoupMessageBody *body = soup_server_message_get_request_body(msg);
    soup_message_body_set_accumulate(body, FALSE);
    soup_message_body_truncate(body);
    Reply(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, "text/plain",
          "a request body is at most " + std::to_string(kMaxBodyBytes) + " bytes\n");
}

// Every request, once its headers are in: a declared length past the bound
// is refused before its body is read, and any other body is counted chunk
// by chunk.
void OnRequestHeaders(SoupServer *, SoupServerMessage *msg, const char *, GHashTable *, gpointer)
{
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH &&
        soup_message_headers_get_content_length(headers) > kMaxBodyBytes) {
        RefuseLargeBody(msg);
        return;
    }
    g_signal_connect_data(
        msg, "got-chunk", G_CALLBACK(+[](SoupServerMessage *m, GBytes *chunk, gpointer data) {
            goffset &read = *static_cast<goffset *>(data);
            read += static_cast<goffset>(g_bytes_get_size(chunk));
            if (read > kMaxBodyBytes && soup_server_message_get_status(m) != SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE) {
                RefuseLargeBody(m);
            }
        }),
        new goffset(0), +[](gpointer data, GClosure *) { delete static_cast<goffset *>(data); },
        static_cast<GConnectFlags>(0));
}

std::string Peer(SoupServerMessage *msg)
{
    const char *host = soup_server_message_get_remote_host(msg);
    return host != nullptr ? host : "?";
}

// The connection is TLS, or comes from loopback: where a hash user's
// password may come in a Basic login.
bool Secure(SoupServerMessage *msg)
{
    GUri *uri = soup_server_message_get_uri(msg);
    if (uri != nullptr && g_strcmp0(g_uri_get_scheme(uri), "https") == 0) {
        return true;
    }
    GSocketAddress *remote = soup_server_message_get_remote_address(msg);
    return remote != nullptr && G_IS_INET_SOCKET_ADDRESS(remote) &&
           g_inet_address_get_is_loopback(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(remote)));
}

gboolean CheckBasic(SoupAuthDomain *, SoupServerMessage *msg, const char *user, const char *password, gpointer data)
{
    const auto *access = static_cast<const CAccess *>(data);
    return user != nullptr && password != nullptr && access->Authenticate(user, password, Secure(msg)).has_value();
}

char *DigestPassword(SoupAuthDomain *domain, SoupServerMessage *, const char *user, gpointer data)
{
    const auto *access = static_cast<const CAccess *>(data);
    const std::optional<std::string> password = user != nullptr ? access->PasswordOf(user) : std::nullopt;
    if (!password) {
        return nullptr;
    }
    return soup_auth_domain_digest_encode_password(user, soup_auth_domain_get_realm(domain), password->c_str());
}

const char *kUserKey = "kestrel-user";

// The user a request's credentials claim (for the audit of a failed login).
std::string ClaimedUser(const char *header)
{
    std::string claimed;
    if (g_ascii_strncasecmp(header, "Basic ", 6) == 0) {
        gsize size = 0;
        guchar *decoded = g_base64_decode(header + 6, &size);
        const std::string text(reinterpret_cast<const char *>(decoded), size);
        g_free(decoded);
        claimed = text.substr(0, text.find(':'));
    } else if (g_ascii_strncasecmp(header, "Digest ", 7) == 0) {
        GHashTable *params = soup_header_parse_param_list(header + 7);
        if (const char *u = static_cast<const char *>(g_hash_table_lookup(params, "username"))) {
            claimed = u;
        }
        soup_header_free_param_list(params);
    }
    return claimed.substr(0, 64);
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

GatewayStatus CHttpFront::Visible(GatewayStatus status, const std::string &user) const
{
    std::vector<RecorderStatus> kept;
    auto sees = [&](const std::string &recorder, int channel) {
        return m_Directory.May(user, Action::Status, recorder, channel) ||
               m_Directory.May(user, Action::View, recorder, channel);
    };
    for (RecorderStatus &rec : status.recorders) {
        if (!sees(rec.name, -1)) {
            continue;
        }
        std::vector<ChannelStatus> channels;
        for (ChannelStatus &ch : rec.channels) {
            if (sees(rec.name, ch.channel)) {
                channels.push_back(std::move(ch));
            }
        }
        rec.channels = std::move(channels);
        kept.push_back(std::move(rec));
    }
    status.recorders = std::move(kept);
    return status;
}

std::string CHttpFront::MeJson(const std::string &user) const
{
    nlohmann::json rights = nlohmann::json::array();
    for (const AccessRight &r : m_Directory.Access().RightsOf(user)) {
        nlohmann::json actions = nlohmann::json::array();
        for (Action a : {Action::View, Action::Archive, Action::Control, Action::Status}) {
            if ((r.actions & ActionBit(a)) != 0) {
                actions.push_back(ActionName(a));
            }
        }
        rights.push_back({{"recorder", r.recorder}, {"channels", r.channels}, {"actions", std::move(actions)}});
    }
    const nlohmann::ordered_json me = {
        {"user", user}, {"login", m_Directory.Access().LoginNeeded()}, {"rights", std::move(rights)}};
    return me.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

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
    HttpOptions options{site.httpListen.address, site.httpListen.port, static_cast<size_t>(site.webBufferBytes)};
    options.tlsCertificate = site.tlsCertificate;
    options.tlsKey = site.tlsKey;
    if (site.Tls() && !site.plainHttp.empty()) {
        options.plain = site.plainHttp.front();
    }
    return std::make_unique<CHttpFront>(options, directory);
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
    if (m_pCertificate != nullptr) {
        g_object_unref(m_pCertificate);
    }
}

std::string CHttpFront::User(SoupServerMessage *msg) const
{
    const char *user = static_cast<const char *>(g_object_get_data(G_OBJECT(msg), kUserKey));
    return user != nullptr ? user : "";
}

void CHttpFront::Challenge(SoupServerMessage *msg) const
{
    Reply(msg, SOUP_STATUS_UNAUTHORIZED, "text/plain", "log in, please\n");
    // Over HTTPS the challenge is Basic only: TLS protects the password, and
    // a user with a hash can log in (browsers take Digest when offered).
    GUri *uri = soup_server_message_get_uri(msg);
    const bool https = uri != nullptr && g_strcmp0(g_uri_get_scheme(uri), "https") == 0;
    for (SoupAuthDomain *domain : m_Domains) {
        if (!https || SOUP_IS_AUTH_DOMAIN_BASIC(domain)) {
            soup_auth_domain_challenge(domain, msg);
        }
    }
}

CHttpFront::Login CHttpFront::Authenticate(SoupServerMessage *msg, std::chrono::milliseconds &holdBack)
{
    const CAccess &access = m_Directory.Access();
    const char *header = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Authorization");
    if (!access.LoginNeeded() || header == nullptr) {
        return Login::None;
    }
    const std::string peer = Peer(msg);
    CLoginGuard &guard = access.Guard(m_sListener);
    if (guard.Refused(peer)) {
        return Login::Refused;
    }
    for (SoupAuthDomain *domain : m_Domains) {
        if (char *user = soup_auth_domain_accepts(domain, msg)) {
            g_object_set_data_full(G_OBJECT(msg), kUserKey, user, g_free);
            guard.Succeeded(peer);
            return Login::Good;
        }
    }
    holdBack = guard.Failed(peer);
    GUri *uri = soup_server_message_get_uri(msg);
    access.Audit(AuditRecord{"http", ClaimedUser(header), peer, "", -1, "login", false,
                             uri != nullptr ? g_uri_get_path(uri) : ""});
    return Login::Bad;
}

bool CHttpFront::Allowed(SoupServerMessage *msg, Action action, const std::string &recorder, int channel) const
{
    const std::string user = User(msg);
    const bool may = m_Directory.May(user, action, recorder, channel);
    const CAccess &access = m_Directory.Access();
    if (access.Auditing() && (action != Action::Status || !may)) {
        GUri *uri = soup_server_message_get_uri(msg);
        access.Audit(AuditRecord{"http", user, Peer(msg), recorder, channel, ActionName(action), may,
                                 uri != nullptr ? g_uri_get_path(uri) : ""});
    }
    if (may) {
        return true;
    }
    if (user.empty() && access.LoginNeeded()) {
        Challenge(msg);
    } else {
        Reply(msg, SOUP_STATUS_FORBIDDEN, "text/plain", std::string("not allowed to ") + ActionName(action) + "\n");
    }
    return false;
}

bool CHttpFront::LoadCertificate(std::string &message)
{
    GTlsCertificate *certificate = LoadTlsIdentity(m_Options.tlsCertificate, m_Options.tlsKey, message);
    if (certificate == nullptr) {
        return false;
    }
    if (m_pCertificate != nullptr) {
        g_object_unref(m_pCertificate);
    }
    m_pCertificate = certificate;
    if (m_pServer != nullptr) {
        soup_server_set_tls_certificate(m_pServer, m_pCertificate);
    }
    return true;
}

void CHttpFront::Reload(const SiteConfig &site)
{
    if (m_Options.tlsCertificate.empty() || site.tlsCertificate != m_Options.tlsCertificate ||
        site.tlsKey != m_Options.tlsKey) {
        return;  // TLS on or off, or other files: at the next start
    }
    std::string message;
    if (LoadCertificate(message)) {
        Log("http: the TLS certificate %s is taken again, for new connections", m_Options.tlsCertificate.c_str());
    } else {
        Log("http: the TLS certificate stays the one loaded before: %s", message.c_str());
    }
}

bool CHttpFront::Start(std::string &message)
{
    const bool tls = !m_Options.tlsCertificate.empty();
    if (tls && !LoadCertificate(message)) {
        return false;
    }
    m_pServer = soup_server_new("server-header", "kestrel-gateway", "tls-certificate", m_pCertificate, nullptr);
    // The credentials are checked by the handler itself (which holds back
    // an address that keeps failing): the domains are not the server's.
    CAccess *access = const_cast<CAccess *>(&m_Directory.Access());
    if (access->LoginNeeded()) {
        if (!access->PasswordUsers().empty()) {
            SoupAuthDomain *digest = soup_auth_domain_digest_new("realm", kRealm, nullptr);
            soup_auth_domain_add_path(digest, "/");
            soup_auth_domain_digest_set_auth_callback(digest, DigestPassword, access, nullptr);
            m_Domains.push_back(digest);
        }
        SoupAuthDomain *basic = soup_auth_domain_basic_new("realm", kRealm, nullptr);
        soup_auth_domain_add_path(basic, "/");
        soup_auth_domain_basic_set_auth_callback(basic, CheckBasic, access, nullptr);
        m_Domains.push_back(basic);
    }
    soup_server_add_early_handler(m_pServer, nullptr, OnRequestHeaders, nullptr, nullptr);
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
    const gboolean listening = soup_server_listen(
        m_pServer, address, tls ? SOUP_SERVER_LISTEN_HTTPS : static_cast<SoupServerListenOptions>(0), &error);
    g_object_unref(address);
    if (!listening) {
        message = "cannot listen for HTTP on " + m_Options.address + ":" + std::to_string(m_Options.port) + ": " +
                  (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    if (m_Options.plain) {
        GInetAddress *plainInet = g_inet_address_new_from_string(
            m_Options.plain->address == "localhost" ? "127.0.0.1" : m_Options.plain->address.c_str());
        if (plainInet == nullptr) {
            message = "the plain HTTP listen address " + m_Options.plain->address + " is not an IP address";
            return false;
        }
        GSocketAddress *plainAddress = g_inet_socket_address_new(plainInet, m_Options.plain->port);
        g_object_unref(plainInet);
        const gboolean plainListening =
            soup_server_listen(m_pServer, plainAddress, static_cast<SoupServerListenOptions>(0), &error);
        g_object_unref(plainAddress);
        if (!plainListening) {
            message = "cannot listen for plain HTTP on " + m_Options.plain->address + ":" +
                      std::to_string(m_Options.plain->port) + ": " + (error != nullptr ? error->message : "?");
            g_clear_error(&error);
            return false;
        }
    }
    GSList *uris = soup_server_get_uris(m_pServer);
    for (GSList *u = uris; u != nullptr; u = u->next) {
        auto *uri = static_cast<GUri *>(u->data);
        const bool secure = g_strcmp0(g_uri_get_scheme(uri), "https") == 0;
        Log("serving %s://%s:%d/%s", secure ? "https" : "http",
            secure || !tls ? m_Options.address.c_str() : m_Options.plain->address.c_str(), g_uri_get_port(uri),
            access->LoginNeeded()
                ? (m_Domains.size() > 1 ? " (clients authenticate: digest or basic)" : " (clients authenticate: basic)")
                : "");
        if (secure == tls && m_wPort == 0) {
            m_wPort = static_cast<uint16_t>(g_uri_get_port(uri));
        }
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
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
    auto *front = static_cast<CHttpFront *>(self);
    // Requests of one address at once are bounded: the connections an
    // address may hold this listener with.
    const std::string peer = Peer(msg);
    CLoginGuard &guard = front->m_Directory.Access().Guard(front->m_sListener);
    if (!guard.Connect(peer)) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After", "5");
        Reply(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "text/plain", "too many requests from this address at once\n");
        return;
    }
    Connect(msg, "finished", [&guard, peer] { guard.Disconnect(peer); });
    std::chrono::milliseconds holdBack{0};
    // ONVIF clients log in inside their requests (or with the ONVIF
    // front's own digest): its paths are its own to check.
    const bool onvif = path != nullptr && std::string_view(path).starts_with("/onvif/");
    switch (onvif ? Login::None : front->Authenticate(msg, holdBack)) {
    case Login::Refused:
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After",
                                     std::to_string(front->m_Directory.Access().HoldBack().refuseMs / 1000).c_str());
        Reply(msg, kTooManyRequests, "text/plain", "too many failed logins from this address\n");
        return;
    case Login::Bad:
        front->Challenge(msg);
        if (holdBack.count() > 0) {
            // The answer waits; the connection and the others' are served on.
            auto held =
                std::make_shared<std::pair<SoupServerMessage *, bool>>(SOUP_SERVER_MESSAGE(g_object_ref(msg)), false);
            Connect(msg, "finished", [held] { held->second = true; });
            soup_server_message_pause(msg);
            auto *keep = new std::shared_ptr<std::pair<SoupServerMessage *, bool>>(held);
            g_timeout_add_full(
                G_PRIORITY_DEFAULT, static_cast<guint>(holdBack.count()),
                +[](gpointer data) {
                    auto &h = **static_cast<std::shared_ptr<std::pair<SoupServerMessage *, bool>> *>(data);
                    if (!h.second) {
                        soup_server_message_unpause(h.first);
                    }
                    return G_SOURCE_REMOVE;
                },
                keep,
                +[](gpointer data) {
                    auto *h = static_cast<std::shared_ptr<std::pair<SoupServerMessage *, bool>> *>(data);
                    g_object_unref((*h)->first);
                    delete h;
                });
        }
        return;
    case Login::None:
    case Login::Good: break;
    }
    front->Route(msg, path != nullptr ? path : "/", query);
}

void CHttpFront::Route(SoupServerMessage *msg, const std::string &path, void *query)
{
    // The other fronts that serve on this listener first, for any method.
    if (const std::vector<std::shared_ptr<IHttpRoute>> routes = m_Directory.HttpRoutes(); !routes.empty()) {
        const std::string user = User(msg);
        for (const auto &route : routes) {
            if (route->Serve(msg, path, static_cast<GHashTable *>(query), user)) {
                // A front's refusal of a request that came without
                // credentials asks for them.
                if (soup_server_message_get_status(msg) == SOUP_STATUS_FORBIDDEN && user.empty() &&
                    m_Directory.Access().LoginNeeded()) {
                    Challenge(msg);
                }
                if (m_Directory.Access().Auditing()) {
                    const guint status = soup_server_message_get_status(msg);
                    m_Directory.Access().Audit(
                        AuditRecord{"http", user, Peer(msg), "", -1, "request",
                                    status != SOUP_STATUS_FORBIDDEN && status != SOUP_STATUS_UNAUTHORIZED, path});
                }
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
    } else if (path == "/metrics" && !Allowed(msg, Action::Status, "", -1)) {
        return;
    } else if (path == "/api/status" && !m_Directory.May(User(msg), Action::View, "", -1) &&
               !Allowed(msg, Action::Status, "", -1)) {
        return;  // the page's list of channels: for who may view or see the status of some
    } else if (path != "/api/me" && !channelPath && m_Directory.Access().LoginNeeded() && User(msg).empty() &&
               m_Directory.Access().RightsOf("").empty()) {
        Challenge(msg);  // the page and the rest: for someone logged in
        return;
    }
    if (path == "/api/me") {
        Reply(msg, SOUP_STATUS_OK, "application/json", MeJson(User(msg)) + "\n");
        return;
    }
    if (m_Archive.Route(msg, path, params)) {
        return;
    }
    if (path == "/api/status") {
        Reply(msg, SOUP_STATUS_OK, "application/json", StatusJson(Visible(m_Directory.Status(), User(msg))) + "\n");
        return;
    }
    if (path == "/metrics") {
        Reply(msg, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8",
              StatusMetrics(Visible(m_Directory.Status(), User(msg))));
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
    m_Viewers[stream.get()] = Viewer{User(msg), std::chrono::steady_clock::now()};
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
        // Refused before the handshake (Route); this is the second look.
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
    front->m_Viewers[stream.get()] = Viewer{front->User(msg), std::chrono::steady_clock::now()};
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
    // The audit's line of a media stream that ended: how long, how much.
    if (const auto v = m_Viewers.find(stream.get()); v != m_Viewers.end()) {
        if (m_Directory.Access().Auditing()) {
            AuditRecord r{"http", v->second.user, stream->Peer(), key.first, key.second, "view", true};
            r.ended = true;
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - v->second.since).count();
            r.bytes = stream->BytesDelivered();
            m_Directory.Access().Audit(r);
        }
        m_Viewers.erase(v);
    }
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
