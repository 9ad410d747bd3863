// CHttpFront: the gateway's web side, on libsoup's HTTP server in the
// gateway's GLib main loop. It serves the page (files built into kestrel),
// each channel's live video as fragmented MP4 (/NAME/CH.mp4), its latest
// picture as a JPEG (/NAME/CH.jpg?width=W), the state as JSON
// (/api/status), in the Prometheus text format (/metrics), and /healthz.
// With users configured every path asks for credentials (digest or basic),
// checked by the site's one CAccess, and answers only what the user may see
// (/api/me tells the page); with a TLS certificate it serves HTTPS.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/programs/gateway/site/front.h"
#include "tools/programs/gateway/web/archive_front.h"

typedef struct _GTlsCertificate GTlsCertificate;
typedef struct _SoupAuthDomain SoupAuthDomain;
typedef struct _SoupServer SoupServer;
typedef struct _SoupServerMessage SoupServerMessage;
typedef struct _SoupWebsocketConnection SoupWebsocketConnection;

namespace kn::gateway {

class CChannelHub;
class CFmp4Stream;
class CSnapshotGrab;

struct HttpOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8560;              // 0: any free port (logged)
    size_t maxOutstanding = 1u << 20;  // a web client's bytes not yet taken, before it skips
    // TLS (HTTPS on the listener above) when a certificate is named, and
    // then a plain listener beside it when the site file asks for one.
    std::string tlsCertificate, tlsKey;
    std::optional<ListenAddress> plain;
};

class CHttpFront final : public IFront {
public:
    CHttpFront(HttpOptions options, ISiteDirectory &directory);
    ~CHttpFront() override;
    CHttpFront(const CHttpFront &) = delete;
    CHttpFront &operator=(const CHttpFront &) = delete;

    // Listens on the default main context; false with a message.
    bool Start(std::string &message) override;
    // Ends every live response and stops listening.
    void Stop() override;
    // A renewed certificate on disk is taken for new connections.
    void Reload(const SiteConfig &site) override;
    uint16_t Port() const { return m_wPort; }

private:
    // The web clients of one channel, each with its reader of the
    // channel's stream (null until it joined; a reload may replace a
    // recorder's streams while its clients play on).
    using Streams = std::map<std::shared_ptr<CFmp4Stream>, std::unique_ptr<CStreamReader>>;
    using Key = std::pair<std::string, int>;  // recorder, channel

    static void OnRequest(SoupServer *server, SoupServerMessage *msg, const char *path, void *query, void *self);
    void Route(SoupServerMessage *msg, const std::string &path, void *query);
    static void OnWebSocket(SoupServer *server, SoupServerMessage *msg, const char *path, SoupWebsocketConnection *conn,
                            void *self);
    void ServeStream(SoupServerMessage *msg, const Key &key);
    void Attach(const Key &key, const std::shared_ptr<CFmp4Stream> &stream, const char *how);
    std::function<void()> EndLater(const Key &key, std::weak_ptr<CFmp4Stream> stream);
    template <typename F>
    static void Connect(void *instance, const char *signal, F f);
    void ServeSnapshot(SoupServerMessage *msg, const Key &key, int width);
    void EndStream(const Key &key, const std::shared_ptr<CFmp4Stream> &stream);
    // Whom the request's credentials name ("" when none were asked for).
    std::string User(SoupServerMessage *msg) const;
    // Asks the access decision; false when it says no, answered 401 with
    // a challenge (no credentials) or 403.
    bool Allowed(SoupServerMessage *msg, Action action, const std::string &recorder, int channel) const;
    // Checks the request's credentials, if any (a good login's user is kept
    // on the message for User()); Bad sets how long its answer waits.
    enum class Login { None, Good, Bad, Refused };
    Login Authenticate(SoupServerMessage *msg, std::chrono::milliseconds &holdBack);
    // Answers 401 with a challenge of each scheme.
    void Challenge(SoupServerMessage *msg) const;
    bool LoadCertificate(std::string &message);
    // The status with only the recorders and channels the user may see.
    GatewayStatus Visible(GatewayStatus status, const std::string &user) const;
    // /api/me: who the client is and what it may do, for the page.
    std::string MeJson(const std::string &user) const;

    const HttpOptions m_Options;
    const std::string m_sListener = "http";  // its hold-back's name
    GTlsCertificate *m_pCertificate = nullptr;
    std::vector<SoupAuthDomain *> m_Domains;
    ISiteDirectory &m_Directory;
    SoupServer *m_pServer = nullptr;
    uint16_t m_wPort = 0;
    std::map<Key, Streams> m_Web;
    struct Viewer {
        std::string user;
        std::chrono::steady_clock::time_point since;
    };
    std::map<const CFmp4Stream *, Viewer> m_Viewers;  // for the audit's line at the end
    CArchiveFront m_Archive{m_Directory};
    std::shared_ptr<bool> m_Alive = std::make_shared<bool>(true);  // for callbacks that may outlive this
};

// The table of fronts' line; null with `http: off`.
std::unique_ptr<IFront> MakeHttpFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway
