// The gateway's site: every recorder it serves and how, the listen
// addresses and the clients' credentials. Made from a YAML file
// (site_config_yaml.cpp) or from today's single-recorder command line, whose
// recorder is named "live" so that its streams keep their paths
// (rtsp://HOST:PORT/live/CH).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/programs/gateway/access/access.h"
#include "tools/programs/gateway/site/config/gateway_options.h"

namespace kn::gateway {

// What a recorder message's three 16-bit words mean (the words at offsets
// 4, 6 and 8 of its 12 bytes): each names a kind of state (motion,
// video-loss, alarm-input ...; word1, word2, word3 when the site file says
// nothing) and which channel each of its bits stands for.
struct WordMeaning {
    std::string kind;
    // The channel of bit i, -1 for a bit that stands for none. By default
    // bit i is channel i.
    std::array<int, 16> channelOfBit{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    bool operator==(const WordMeaning &other) const = default;
};

struct EventMap {
    std::array<WordMeaning, 3> words{WordMeaning{"word1"}, WordMeaning{"word2"}, WordMeaning{"word3"}};
    bool operator==(const EventMap &other) const = default;
};

// A receiver of the events as JSON POSTs.
struct WebhookConfig {
    std::string url;
    std::vector<std::string> kinds;  // the kinds it wants; empty: all
    int queue = 256;                 // events waiting for it, beyond which they are dropped (counted)
    bool operator==(const WebhookConfig &other) const = default;
};

// The MQTT broker the events and states are published to (off when host is
// empty), with Home Assistant's discovery documents.
struct MqttConfig {
    std::string host;
    uint16_t port = 1883;
    std::string user;
    std::string password;  // from a file or the environment; never logged
    bool tls = false;
    std::string caFile;                             // TLS: the broker's CA; empty: the system's
    std::string topicPrefix = "kestrel";            // PREFIX/NAME/CH/KIND
    std::string discoveryPrefix = "homeassistant";  // "" publishes no discovery documents
    std::string snapshotBase;                       // what the image entities' URLs begin with
    std::string clientId = "kestrel-gateway";
    bool operator==(const MqttConfig &other) const = default;
};

struct RecorderConfig {
    std::string name;  // the first part of its streams' paths: /NAME/CH
    std::string host;
    uint16_t port = 5050;
    std::string user = "admin";
    std::string password;          // taken from a file or the environment; never logged
    int transport = 1;             // 1 TCP, 0 UDP, as KR_4100_RealPlay takes it
    int channels = 4;              // channels 0 .. channels-1 are served
    int64_t lingerMs = 10000;      // a stream stays open this long after its last client
    int64_t idleMs = 5000;         // a stream that delivers nothing this long is lost
    int64_t giveUpMs = 60000;      // an outage this long ends the clients' sessions
    int64_t backoffMaxMs = 30000;  // longest wait between reconnection attempts
    // Channels kept open with no client (all of them when preloadAll).
    bool preloadAll = false;
    std::vector<int> preload;
    // What its messages' words mean (the site's, unless it names its own).
    EventMap events;

    bool Preloaded(int channel) const;
    bool operator==(const RecorderConfig &other) const = default;
    // The same recorder reached the same way: what else differs (channels,
    // times, preloads, events) is applied without logging in again.
    bool SameRecorder(const RecorderConfig &other) const
    {
        return name == other.name && host == other.host && port == other.port && user == other.user &&
               password == other.password && transport == other.transport;
    }
};

struct ListenAddress {
    std::string address = "127.0.0.1";
    uint16_t port = 8554;  // 0: any free port (logged)
    bool operator==(const ListenAddress &other) const = default;
};

// What the WebRTC front offers a browser: the addresses of its host
// candidates (none: every interface's), the UDP ports its ICE agents take,
// and the STUN and TURN servers for browsers behind NAT.
struct WebrtcConfig {
    std::vector<std::string> addresses;
    uint16_t minPort = 0;  // 0 0: any port
    uint16_t maxPort = 0;
    std::string stun;  // stun://HOST:PORT, "" none
    struct Turn {
        std::string url;  // turn://HOST:PORT or turns://HOST:PORT
        std::string user;
        std::string password;  // from a file or the environment
        bool operator==(const Turn &other) const = default;
    };
    std::vector<Turn> turn;
    bool operator==(const WebrtcConfig &other) const = default;
};

// The ONVIF devices (onvif: in the site file; on with the web side).
struct OnvifConfig {
    bool enabled = true;
    bool channelDevices = false;  // each channel a device of its own as well
    std::string location;         // the devices' location scope; "" none
    std::string hardware = "kestrel-gateway";
    std::vector<std::string> discovery;  // the interfaces WS-Discovery answers on; none: off
    bool operator==(const OnvifConfig &other) const = default;
};

struct SiteConfig {
    std::vector<ListenAddress> listen{ListenAddress{}};
    std::string rtspUser;
    std::string rtspPassword;
    uint32_t timeoutMs = 3000;  // the library's reply time-out: one for the process
    int64_t statsMs = 10000;    // statistics lines every so often; 0 none
    std::vector<RecorderConfig> recorders;
    // The web side: page, fMP4, snapshots, status ("http: off": none).
    bool http = true;
    ListenAddress httpListen{"127.0.0.1", 8560};
    int64_t webBufferBytes = 1 << 20;  // a web client's bytes not yet taken, before it skips
    // The events: what recorders' messages mean, where they go.
    EventMap events;
    std::vector<WebhookConfig> webhooks;
    MqttConfig mqtt;
    WebrtcConfig webrtc;
    OnvifConfig onvif;
    // Who may do what (users:, audit:, login-hold-back:), beside the
    // clients' user above.
    AccessConfig access;
    // TLS on every listener (tls:): PEM files; none when empty. The plain
    // listeners kept beside them, only where the site file asks.
    std::string tlsCertificate, tlsKey;
    std::vector<ListenAddress> plainListen;  // RTSP without TLS
    std::vector<ListenAddress> plainHttp;    // HTTP without TLS (one at most)

    bool Tls() const { return !tlsCertificate.empty(); }
    const RecorderConfig *Find(const std::string &name) const;
};

// Today's command line: one recorder, named "live".
SiteConfig SiteFromOptions(const GatewayOptions &options);

// A recorder name fits a path segment: letters, digits, '.', '_', '-'.
bool IsRecorderName(const std::string &name);

// Checks what the parts cannot check alone: names unique, one recorder per
// address and port (the library shares one session per recorder), RTSP
// credentials off loopback. False with a message naming the recorder.
bool CheckSite(const SiteConfig &site, std::string &message);

// Reads a YAML site file. False with "FILE:LINE: what is wrong". Available
// when kestrel was built with yaml-cpp (KN_HAVE_YAML_CPP).
bool LoadSiteConfig(const std::string &path, SiteConfig &site, std::string &message);

}  // namespace kn::gateway
