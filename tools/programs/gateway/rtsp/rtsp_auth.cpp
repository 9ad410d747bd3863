#include "tools/programs/gateway/rtsp/rtsp_auth.h"

#include <gst/rtsp-server/rtsp-server.h>

#include <cstdlib>
#include <map>
#include <string>

#include "tools/programs/gateway/access/access.h"
#include "tools/programs/gateway/site/site_directory.h"

namespace kn::gateway {

namespace {

constexpr const char *kListener = "rtsp";

struct KestrelRtspAuth {
    GstRTSPAuth parent;
    const CAccess *access;
    bool tls;
    std::map<std::string, GstRTSPToken *> *tokens;  // by user
};

struct KestrelRtspAuthClass {
    GstRTSPAuthClass parent_class;
};

GType kestrel_rtsp_auth_get_type();
#define KESTREL_RTSP_AUTH(o) (G_TYPE_CHECK_INSTANCE_CAST((o), kestrel_rtsp_auth_get_type(), KestrelRtspAuth))

G_DEFINE_TYPE(KestrelRtspAuth, kestrel_rtsp_auth, GST_TYPE_RTSP_AUTH)

GstRTSPToken *TokenOf(KestrelRtspAuth *self, const std::string &user)
{
    GstRTSPToken *&token = (*self->tokens)[user];
    if (token == nullptr) {
        token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRtspRole, kRtspUserField,
                                   G_TYPE_STRING, user.c_str(), nullptr);
    }
    return token;
}

bool Loopback(const std::string &ip)
{
    GInetAddress *address = g_inet_address_new_from_string(ip.c_str());
    const bool loopback = address != nullptr && g_inet_address_get_is_loopback(address);
    if (address != nullptr) {
        g_object_unref(address);
    }
    return loopback;
}

gboolean Authenticate(GstRTSPAuth *auth, GstRTSPContext *ctx)
{
    auto *self = KESTREL_RTSP_AUTH(auth);
    auto *parent = GST_RTSP_AUTH_CLASS(kestrel_rtsp_auth_parent_class);
    GstRTSPAuthCredential **credentials =
        gst_rtsp_message_parse_auth_credentials(ctx->request, GST_RTSP_HDR_AUTHORIZATION);
    if (credentials == nullptr) {
        return parent->authenticate(auth, ctx);  // the anonymous user's token, if any
    }
    const std::string peer = RtspPeerOf(ctx);
    CLoginGuard &guard = self->access->Guard(kListener);
    if (guard.Refused(peer)) {
        gst_rtsp_auth_credentials_free(credentials);
        ctx->token = nullptr;
        return TRUE;  // answered 401: no token
    }
    std::string claimed;
    bool good = false, digest = false;
    for (GstRTSPAuthCredential **c = credentials; *c != nullptr && !good; ++c) {
        if ((*c)->scheme == GST_RTSP_AUTH_BASIC && (*c)->authorization != nullptr) {
            gsize size = 0;
            guchar *decoded = g_base64_decode((*c)->authorization, &size);
            const std::string text(reinterpret_cast<const char *>(decoded), size);
            g_free(decoded);
            const size_t colon = text.find(':');
            claimed = text.substr(0, colon);
            if (colon != std::string::npos) {
                const std::optional<std::string> user =
                    self->access->Authenticate(claimed, text.substr(colon + 1), self->tls || Loopback(peer));
                if (user) {
                    ctx->token = TokenOf(self, *user);
                    good = true;
                }
            }
        } else if ((*c)->scheme == GST_RTSP_AUTH_DIGEST) {
            digest = true;
            for (GstRTSPAuthParam **p = (*c)->params; p != nullptr && *p != nullptr; ++p) {
                if (g_strcmp0((*p)->name, "username") == 0 && (*p)->value != nullptr) {
                    claimed = (*p)->value;
                }
            }
        }
    }
    gst_rtsp_auth_credentials_free(credentials);
    if (!good && digest) {
        ctx->token = nullptr;
        parent->authenticate(auth, ctx);
        const gchar *user = ctx->token != nullptr ? gst_rtsp_token_get_string(ctx->token, kRtspUserField) : nullptr;
        good = user != nullptr && *user != '\0';
    }
    if (good) {
        guard.Succeeded(peer);
    } else {
        ctx->token = nullptr;
        guard.Failed(peer);
        self->access->Audit(AuditRecord{"rtsp", claimed.substr(0, 64), peer, "", -1, "login", false,
                                        ctx->uri != nullptr && ctx->uri->abspath != nullptr ? ctx->uri->abspath : ""});
    }
    return TRUE;
}

// Answers 401 with a challenge of each scheme.
void Challenge(GstRTSPAuth *auth, GstRTSPContext *ctx)
{
    gst_rtsp_message_init_response(ctx->response, GST_RTSP_STS_UNAUTHORIZED,
                                   gst_rtsp_status_as_text(GST_RTSP_STS_UNAUTHORIZED), ctx->request);
    GST_RTSP_AUTH_GET_CLASS(auth)->generate_authenticate_header(auth, ctx);
    gst_rtsp_client_send_message(ctx->client, ctx->session, ctx->response);
}

// Whether the anonymous user may view the path's channel (/NAME/CH...).
bool AnonymousMay(const CAccess &access, const GstRTSPContext *ctx)
{
    if (ctx->uri == nullptr || ctx->uri->abspath == nullptr) {
        return false;
    }
    const std::string path = ctx->uri->abspath;
    const size_t slash = path.find('/', 1);
    if (slash == std::string::npos) {
        return access.May("", Action::View, "", -1);  // the server as a whole (OPTIONS *)
    }
    return access.May("", Action::View, path.substr(1, slash - 1), std::atoi(path.c_str() + slash + 1));
}

// Every request to a site with users names one (or is the anonymous
// user's, for what it may view); without, a challenge.
gboolean Check(GstRTSPAuth *auth, GstRTSPContext *ctx, const gchar *check)
{
    auto *self = KESTREL_RTSP_AUTH(auth);
    if (g_str_equal(check, GST_RTSP_AUTH_CHECK_URL) && self->access->LoginNeeded()) {
        if (ctx->token == nullptr) {
            GST_RTSP_AUTH_GET_CLASS(auth)->authenticate(auth, ctx);
        }
        if (ctx->token == nullptr || (RtspUserOf(ctx).empty() && !AnonymousMay(*self->access, ctx))) {
            Challenge(auth, ctx);
            return FALSE;
        }
    }
    return GST_RTSP_AUTH_CLASS(kestrel_rtsp_auth_parent_class)->check(auth, ctx, check);
}

void Finalize(GObject *object)
{
    auto *self = KESTREL_RTSP_AUTH(object);
    for (auto &[user, token] : *self->tokens) {
        gst_rtsp_token_unref(token);
    }
    delete self->tokens;
    G_OBJECT_CLASS(kestrel_rtsp_auth_parent_class)->finalize(object);
}

void kestrel_rtsp_auth_class_init(KestrelRtspAuthClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = Finalize;
    GST_RTSP_AUTH_CLASS(klass)->authenticate = Authenticate;
    GST_RTSP_AUTH_CLASS(klass)->check = Check;
}

void kestrel_rtsp_auth_init(KestrelRtspAuth *self)
{
    self->access = nullptr;
    self->tls = false;
    self->tokens = new std::map<std::string, GstRTSPToken *>();
}

}  // namespace

GstRTSPAuth *MakeRtspAuth(const CAccess &access, GTlsCertificate *certificate)
{
    auto *self = static_cast<KestrelRtspAuth *>(g_object_new(kestrel_rtsp_auth_get_type(), nullptr));
    self->access = &access;
    self->tls = certificate != nullptr;
    access.Guard(kListener);  // counted in the metrics from the start
    GstRTSPAuth *auth = GST_RTSP_AUTH(self);
    for (const std::string &user : access.PasswordUsers()) {
        gst_rtsp_auth_add_digest(auth, user.c_str(), access.PasswordOf(user).value_or("").c_str(), TokenOf(self, user));
    }
    // Over RTSPS the challenge is Basic only: TLS protects the password,
    // and a user with a hash can log in (clients take Digest when offered).
    int methods = GST_RTSP_AUTH_BASIC;
    if (!access.PasswordUsers().empty() && certificate == nullptr) {
        methods |= GST_RTSP_AUTH_DIGEST;
    }
    gst_rtsp_auth_set_supported_methods(auth, static_cast<GstRTSPAuthMethod>(methods));
    if (!access.RightsOf("").empty()) {
        // Requests without credentials are the anonymous user's.
        gst_rtsp_auth_set_default_token(auth, TokenOf(self, ""));
    }
    if (certificate != nullptr) {
        gst_rtsp_auth_set_tls_certificate(auth, certificate);
    }
    return auth;
}

std::string RtspUserOf(const GstRTSPContext *ctx)
{
    if (ctx->token != nullptr) {
        if (const gchar *u = gst_rtsp_token_get_string(ctx->token, kRtspUserField)) {
            return u;
        }
    }
    return "";
}

std::string RtspPeerOf(const GstRTSPContext *ctx)
{
    GstRTSPConnection *conn = ctx->client != nullptr ? gst_rtsp_client_get_connection(ctx->client) : nullptr;
    const gchar *ip = conn != nullptr ? gst_rtsp_connection_get_ip(conn) : nullptr;
    return ip != nullptr ? ip : "?";
}

bool RtspMay(const ISiteDirectory &directory, const GstRTSPContext *ctx, Action action, const std::string &recorder,
             int channel)
{
    const std::string user = RtspUserOf(ctx);
    const bool may = directory.May(user, action, recorder, channel);
    const CAccess &access = directory.Access();
    if (access.Auditing()) {
        access.Audit(AuditRecord{"rtsp", user, RtspPeerOf(ctx), recorder, channel, ActionName(action), may,
                                 ctx->uri != nullptr && ctx->uri->abspath != nullptr ? ctx->uri->abspath : ""});
    }
    return may;
}

}  // namespace kn::gateway
