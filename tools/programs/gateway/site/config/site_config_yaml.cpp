// The site file in YAML, read with yaml-cpp. Every key is known: an unknown
// one is an error, as is a value of the wrong kind or out of range, each
// reported with the file and line. Passwords are read here, from the
// environment or a file the site file names, and never appear in a message.
#include <yaml-cpp/yaml.h>

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "tools/common/password_source.h"
#include "tools/programs/gateway/events/event_kinds.h"
#include "tools/programs/gateway/site/config/site_config.h"

namespace kn::gateway {

namespace {

// Carries a message out of the walk; the loader turns it into "FILE:LINE: ...".
struct ConfigError {
    YAML::Mark mark;
    std::string what;
};

[[noreturn]] void Fail(const YAML::Node &at, const std::string &what) { throw ConfigError{at.Mark(), what}; }

using KeyHandlers = std::map<std::string, std::function<void(const YAML::Node &)>>;

// Calls the handler of each key of a mapping; unknown keys and keys given
// twice are errors.
void Walk(const YAML::Node &map, const std::string &where, const KeyHandlers &handlers)
{
    if (!map.IsMap()) {
        Fail(map, where + " must be a mapping of keys to values");
    }
    std::set<std::string> seen;
    for (const auto &kv : map) {
        const std::string key = kv.first.Scalar();
        const auto handler = handlers.find(key);
        if (handler == handlers.end()) {
            std::string known;
            for (const auto &h : handlers) {
                known += (known.empty() ? "" : ", ") + h.first;
            }
            Fail(kv.first, "unknown key '" + key + "' in " + where + " (known: " + known + ")");
        }
        if (!seen.insert(key).second) {
            Fail(kv.first, "'" + key + "' is given twice in " + where);
        }
        handler->second(kv.second);
    }
}

std::string Text(const YAML::Node &n, const std::string &key)
{
    if (!n.IsScalar() || n.Scalar().empty()) {
        Fail(n, "'" + key + "' must be a non-empty text");
    }
    return n.Scalar();
}

// A text, or a list of texts.
std::vector<std::string> Texts(const YAML::Node &n, const std::string &key)
{
    std::vector<std::string> out;
    if (n.IsSequence()) {
        for (const auto &item : n) {
            out.push_back(Text(item, key));
        }
    } else {
        out.push_back(Text(n, key));
    }
    return out;
}

long long Integer(const YAML::Node &n, const std::string &key, long long low, long long high)
{
    const std::string text = n.IsScalar() ? n.Scalar() : "";
    char *end = nullptr;
    const long long v = text.empty() ? 0 : std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < low || v > high) {
        Fail(n, "'" + key + "' must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                    (text.empty() ? "" : ", not '" + text + "'"));
    }
    return v;
}

// Seconds, with a fraction if need be, as milliseconds.
int64_t Seconds(const YAML::Node &n, const std::string &key, double low)
{
    const std::string text = n.IsScalar() ? n.Scalar() : "";
    char *end = nullptr;
    const double v = text.empty() ? -1 : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= low) || v > 86400) {
        char range[64];
        std::snprintf(range, sizeof range, "from %g to 86400", low);
        Fail(n, "'" + key + "' must be seconds " + range + (text.empty() ? "" : ", not '" + text + "'"));
    }
    return static_cast<int64_t>(std::llround(v * 1000));
}

// A password from the environment or a file; the key names which.
std::string Secret(const YAML::Node &n, const std::string &key)
{
    const std::string name = Text(n, key);
    common::PasswordSource source;
    (key == "password-env" ? source.env : source.file) = name;
    std::string value, message;
    if (!common::ResolvePassword(source, nullptr, value, message)) {
        Fail(n, message);
    }
    return value;
}

void NoInlinePassword(const YAML::Node &n)
{
    Fail(n, "a password is not written in the site file: name a file (password-file) or an environment "
            "variable (password-env) that holds it");
}

// A block's password keys (password refused; password-env, password-file),
// one of them at most, into field; whose: "the", "the clients'" ...
KeyHandlers WithPassword(KeyHandlers handlers, std::string &field, bool &given, const std::string &whose)
{
    auto secret = [&field, &given, whose](const std::string &key) {
        return [&field, &given, whose, key](const YAML::Node &v) {
            if (given) {
                Fail(v, "give " + whose + " password once: password-env or password-file");
            }
            given = true;
            field = Secret(v, key);
        };
    };
    handlers["password"] = NoInlinePassword;
    handlers["password-env"] = secret("password-env");
    handlers["password-file"] = secret("password-file");
    return handlers;
}

ListenAddress Listen(const YAML::Node &n)
{
    ListenAddress l;
    if (!n.IsScalar() || !SplitListen(n.Scalar(), l.address, l.port)) {
        Fail(n, "a listen address is ADDRESS:PORT, ADDRESS or PORT");
    }
    return l;
}

void Preload(const YAML::Node &n, RecorderConfig &r)
{
    r.preloadAll = false;
    r.preload.clear();
    if (n.IsScalar() && (n.Scalar() == "all" || n.Scalar() == "true" || n.Scalar() == "false")) {
        r.preloadAll = n.Scalar() != "false";
        return;
    }
    if (!n.IsSequence()) {
        Fail(n, "'preload' is all, true, false or a list of channel numbers");
    }
    for (const auto &c : n) {
        r.preload.push_back(static_cast<int>(Integer(c, "preload", 0, 31)));
    }
}

// A word's explicit bit-to-channel entries, checked against each recorder's
// channels once the whole file is read.
struct BitEntry {
    YAML::Node at;
    int channel;
};

// The meanings of a message's words: word1, word2, word3, each a kind or
// {kind: KIND, bits: {BIT: CHANNEL ...}} (bits not listed stand for no
// channel).
EventMap Events(const YAML::Node &n, std::vector<BitEntry> &entries)
{
    EventMap map;
    KeyHandlers handlers;
    for (size_t w = 0; w < map.words.size(); ++w) {
        WordMeaning &word = map.words[w];
        handlers["word" + std::to_string(w + 1)] = [&word, &entries](const YAML::Node &v) {
            YAML::Node kind = v;
            if (v.IsMap()) {
                bool named = false;
                Walk(v, "a word's meaning",
                     {{"kind",
                       [&](const YAML::Node &k) {
                           kind.reset(k);  // refers to k (assigning would write into v)
                           named = true;
                       }},
                      {"bits", [&](const YAML::Node &b) {
                           if (!b.IsMap()) {
                               Fail(b, "'bits' maps bit numbers (0-15) to channels (0-31)");
                           }
                           word.channelOfBit.fill(-1);
                           for (const auto &kv : b) {
                               const int bit = static_cast<int>(Integer(kv.first, "a bit", 0, 15));
                               const int channel = static_cast<int>(Integer(kv.second, "a channel", 0, 31));
                               word.channelOfBit[static_cast<size_t>(bit)] = channel;
                               entries.push_back(BitEntry{kv.second, channel});
                           }
                       }}});
                if (!named) {
                    Fail(v, "a word's meaning needs its 'kind'");
                }
            }
            word.kind = Text(kind, "kind");
            if (!IsStateKindName(word.kind)) {
                Fail(kind, "a word's kind is 1-32 lower-case letters, digits or '-' starting with a letter and "
                           "not one of the gateway's own kinds, not '" +
                               word.kind + "'");
            }
        };
    }
    Walk(n, "events", handlers);
    for (size_t a = 0; a < map.words.size(); ++a) {
        for (size_t b = a + 1; b < map.words.size(); ++b) {
            if (map.words[a].kind == map.words[b].kind) {
                Fail(n, "word" + std::to_string(a + 1) + " and word" + std::to_string(b + 1) + " both mean '" +
                            map.words[a].kind + "'");
            }
        }
    }
    return map;
}

// A recorder's events, with its own bit entries.
struct RecorderEvents {
    bool own = false;
    std::vector<BitEntry> entries;
};

RecorderConfig Recorder(const YAML::Node &n, RecorderEvents &events)
{
    RecorderConfig r;
    bool named = false, addressed = false, passwordGiven = false;
    const YAML::Node *preload = nullptr;
    YAML::Node preloadNode;
    auto seconds = [&](int64_t &field, const char *key, double low) {
        return [&field, key, low](const YAML::Node &v) { field = Seconds(v, key, low); };
    };
    Walk(n, "a recorder",
         WithPassword(
             {{"name",
               [&](const YAML::Node &v) {
                   r.name = Text(v, "name");
                   if (!IsRecorderName(r.name)) {
                       Fail(v, "a recorder name is 1-64 letters, digits, '.', '_' or '-' (it is part of the "
                               "stream's path), not '" +
                                   r.name + "'");
                   }
                   named = true;
               }},
              {"address",
               [&](const YAML::Node &v) {
                   r.host = Text(v, "address");
                   addressed = true;
               }},
              {"port", [&](const YAML::Node &v) { r.port = static_cast<uint16_t>(Integer(v, "port", 1, 65535)); }},
              {"user", [&](const YAML::Node &v) { r.user = Text(v, "user"); }},
              {"channels", [&](const YAML::Node &v) { r.channels = static_cast<int>(Integer(v, "channels", 1, 32)); }},
              {"transport",
               [&](const YAML::Node &v) {
                   const std::string t = v.IsScalar() ? v.Scalar() : "";
                   if (t != "tcp" && t != "udp") {
                       Fail(v, "'transport' is tcp or udp");
                   }
                   r.transport = t == "tcp" ? 1 : 0;
               }},
              {"linger", seconds(r.lingerMs, "linger", 0)},
              {"idle-timeout", seconds(r.idleMs, "idle-timeout", 0.1)},
              {"give-up", seconds(r.giveUpMs, "give-up", 0)},
              {"backoff-max", seconds(r.backoffMaxMs, "backoff-max", 0.1)},
              {"events",
               [&](const YAML::Node &v) {
                   r.events = Events(v, events.entries);
                   events.own = true;
               }},
              {"preload",
               [&](const YAML::Node &v) {
                   preloadNode = v;
                   preload = &preloadNode;
               }}},
             r.password, passwordGiven, "the"));
    if (!named) {
        Fail(n, "a recorder needs a 'name'");
    }
    if (!addressed) {
        Fail(n, "recorder '" + r.name + "' needs an 'address'");
    }
    if (preload != nullptr) {
        Preload(*preload, r);
        for (size_t i = 0; i < r.preload.size(); ++i) {
            if (r.preload[i] >= r.channels) {
                Fail(*preload, "recorder '" + r.name + "' preloads channel " + std::to_string(r.preload[i]) +
                                   " but serves channels 0-" + std::to_string(r.channels - 1));
            }
        }
    }
    return r;
}

// A URL an event is posted to: http:// or https://.
WebhookConfig Webhook(const YAML::Node &n, std::vector<YAML::Node> &kindNodes)
{
    WebhookConfig w;
    Walk(n, "a webhook",
         {{"url",
           [&](const YAML::Node &v) {
               w.url = Text(v, "url");
               if (w.url.rfind("http://", 0) != 0 && w.url.rfind("https://", 0) != 0) {
                   Fail(v, "a webhook's url begins with http:// or https://, not '" + w.url + "'");
               }
           }},
          {"kinds",
           [&](const YAML::Node &v) {
               if (!v.IsSequence() || v.size() == 0) {
                   Fail(v, "'kinds' is a list of event kinds");
               }
               for (const auto &k : v) {
                   w.kinds.push_back(Text(k, "kinds"));
                   kindNodes.push_back(k);
               }
           }},
          {"queue", [&](const YAML::Node &v) { w.queue = static_cast<int>(Integer(v, "queue", 1, 100000)); }}});
    if (w.url.empty()) {
        Fail(n, "a webhook needs a 'url'");
    }
    return w;
}

// A topic prefix: levels of text with no wildcard, no empty level.
std::string TopicPrefix(const YAML::Node &n, const std::string &key)
{
    const std::string t = Text(n, key);
    if (t.find_first_of("+#") != std::string::npos || t.front() == '/' || t.back() == '/' ||
        t.find("//") != std::string::npos) {
        Fail(n, "'" + key + "' is a topic of one or more levels without '+', '#' or an empty level, not '" + t + "'");
    }
    return t;
}

MqttConfig Mqtt(const YAML::Node &n)
{
    MqttConfig m;
    bool passwordGiven = false;
    Walk(n, "mqtt",
         WithPassword(
             {{"host", [&](const YAML::Node &v) { m.host = Text(v, "host"); }},
              {"port", [&](const YAML::Node &v) { m.port = static_cast<uint16_t>(Integer(v, "port", 1, 65535)); }},
              {"user", [&](const YAML::Node &v) { m.user = Text(v, "user"); }},
              {"tls",
               [&](const YAML::Node &v) {
                   if (v.IsScalar() && (v.Scalar() == "true" || v.Scalar() == "false")) {
                       m.tls = v.Scalar() == "true";
                       return;
                   }
                   m.tls = true;
                   Walk(v, "tls (true, false, or {ca-file: FILE})",
                        {{"ca-file", [&](const YAML::Node &c) { m.caFile = Text(c, "ca-file"); }}});
               }},
              {"topic-prefix", [&](const YAML::Node &v) { m.topicPrefix = TopicPrefix(v, "topic-prefix"); }},
              {"discovery-prefix",
               [&](const YAML::Node &v) {
                   m.discoveryPrefix = v.IsScalar() && v.Scalar() == "off" ? "" : TopicPrefix(v, "discovery-prefix");
               }},
              {"snapshot-url",
               [&](const YAML::Node &v) {
                   m.snapshotBase = Text(v, "snapshot-url");
                   if (m.snapshotBase.rfind("http://", 0) != 0 && m.snapshotBase.rfind("https://", 0) != 0) {
                       Fail(v, "'snapshot-url' begins with http:// or https://");
                   }
                   while (!m.snapshotBase.empty() && m.snapshotBase.back() == '/') {
                       m.snapshotBase.pop_back();
                   }
               }},
              {"client-id", [&](const YAML::Node &v) { m.clientId = Text(v, "client-id"); }}},
             m.password, passwordGiven, "the broker's"));
    if (m.host.empty()) {
        Fail(n, "'mqtt' needs the broker's 'host'");
    }
    return m;
}

WebrtcConfig Webrtc(const YAML::Node &n)
{
    WebrtcConfig w;
    auto server = [](const YAML::Node &v, const std::string &key, std::initializer_list<const char *> schemes) {
        const std::string url = Text(v, key);
        for (const char *scheme : schemes) {
            if (url.rfind(scheme, 0) == 0 && url.size() > std::strlen(scheme)) {
                return url;
            }
        }
        Fail(v, "'" + key + "' is a URL: " + *schemes.begin() + "HOST:PORT");
    };
    Walk(n, "webrtc",
         {{"addresses",
           [&](const YAML::Node &v) {
               for (const std::string &a : Texts(v, "addresses")) {
                   unsigned char bytes[16];
                   if (::inet_pton(AF_INET, a.c_str(), bytes) != 1 && ::inet_pton(AF_INET6, a.c_str(), bytes) != 1) {
                       Fail(v, "'addresses' are IP addresses, not '" + a + "'");
                   }
                   w.addresses.push_back(a);
               }
           }},
          {"ports",
           [&](const YAML::Node &v) {
               const std::string text = Text(v, "ports");
               unsigned low = 0, high = 0;
               char end = 0;
               if (std::sscanf(text.c_str(), "%u-%u%c", &low, &high, &end) != 2 || low < 1024 || high > 65535 ||
                   low > high) {
                   Fail(v, "'ports' is a range of UDP ports, LOW-HIGH within 1024-65535");
               }
               w.minPort = static_cast<uint16_t>(low);
               w.maxPort = static_cast<uint16_t>(high);
           }},
          {"stun", [&](const YAML::Node &v) { w.stun = server(v, "stun", {"stun://"}); }},
          {"turn", [&](const YAML::Node &v) {
               if (!v.IsSequence()) {
                   Fail(v, "'turn' is a list of servers, each with its url, user and password-env or password-file");
               }
               for (const auto &t : v) {
                   WebrtcConfig::Turn turn;
                   bool password = false;
                   Walk(t, "a TURN server",
                        WithPassword({{"url",
                                       [&](const YAML::Node &u) {
                                           turn.url = server(u, "url", {"turn://", "turns://"});
                                       }},
                                      {"user", [&](const YAML::Node &u) { turn.user = Text(u, "user"); }}},
                                     turn.password, password, "the TURN"));
                   if (turn.url.empty() || turn.user.empty() || !password) {
                       Fail(t, "a TURN server needs its url, user and password-env or password-file");
                   }
                   w.turn.push_back(turn);
               }
           }}});
    return w;
}

bool OnOff(const YAML::Node &n, const std::string &key)
{
    if (!n.IsScalar() || (n.Scalar() != "on" && n.Scalar() != "off" && n.Scalar() != "true" && n.Scalar() != "false")) {
        Fail(n, "'" + key + "' is on or off");
    }
    return n.Scalar() == "on" || n.Scalar() == "true";
}

OnvifConfig Onvif(const YAML::Node &n)
{
    OnvifConfig o;
    if (n.IsScalar()) {
        o.enabled = OnOff(n, "onvif");
        return o;
    }
    Walk(n, "onvif",
         {{"channel-devices", [&](const YAML::Node &v) { o.channelDevices = OnOff(v, "channel-devices"); }},
          {"location", [&](const YAML::Node &v) { o.location = Text(v, "location"); }},
          {"hardware", [&](const YAML::Node &v) { o.hardware = Text(v, "hardware"); }},
          {"discovery", [&](const YAML::Node &v) { o.discovery = Texts(v, "discovery"); }}});
    return o;
}

// A right: {recorder: NAME or *, channels: [..], actions: [..]}; its
// recorder is checked against the site's once the whole file is read.
AccessRight Right(const YAML::Node &n, std::vector<YAML::Node> &recorderNodes)
{
    AccessRight right;
    bool acts = false;
    Walk(n, "a right",
         {{"recorder",
           [&](const YAML::Node &v) {
               right.recorder = Text(v, "recorder");
               if (right.recorder != "*") {
                   recorderNodes.push_back(v);
               }
           }},
          {"channels",
           [&](const YAML::Node &v) {
               if (!v.IsSequence()) {
                   Fail(v, "'channels' is a list of channel numbers");
               }
               for (const auto &c : v) {
                   right.channels.push_back(static_cast<int>(Integer(c, "channels", 0, 31)));
               }
           }},
          {"actions", [&](const YAML::Node &v) {
               acts = true;
               for (const std::string &a : Texts(v, "actions")) {
                   Action action{};
                   if (!ActionFromName(a, action)) {
                       Fail(v, "unknown action '" + a + "' (known: view, archive, control, status)");
                   }
                   right.actions |= ActionBit(action);
               }
           }}});
    if (!acts) {
        Fail(n, "a right needs its 'actions' (view, archive, control, status)");
    }
    return right;
}

AccessUser User(const YAML::Node &n, std::vector<YAML::Node> &recorderNodes)
{
    AccessUser u;
    bool passwordGiven = false;
    Walk(n, "a user",
         WithPassword({{"name", [&](const YAML::Node &v) { u.name = Text(v, "name"); }},
                       {"password-hash",
                        [&](const YAML::Node &v) {
                            if (passwordGiven) {
                                Fail(v, "give a user's password once: password-hash, password-env or password-file");
                            }
                            passwordGiven = true;
                            u.passwordHash = Text(v, "password-hash");
                            std::string message;
                            if (!HashFormKnown(u.passwordHash, message)) {
                                Fail(v, message);
                            }
                        }},
                       {"rights",
                        [&](const YAML::Node &v) {
                            if (!v.IsSequence()) {
                                Fail(v, "'rights' is a list of {recorder, channels, actions}");
                            }
                            for (const auto &r : v) {
                                u.rights.push_back(Right(r, recorderNodes));
                            }
                        }}},
                      u.password, passwordGiven, "a user's"));
    if (u.name.empty()) {
        Fail(n, "a user needs a 'name'");
    }
    if (u.name == kAnonymousUser) {
        if (passwordGiven) {
            Fail(n, "the anonymous user (requests without credentials) has no password");
        }
        for (const AccessRight &r : u.rights) {
            if ((r.actions & ~ActionBit(Action::View)) != 0) {
                Fail(n, "the anonymous user may only have the view action");
            }
        }
    } else if (!passwordGiven) {
        Fail(n, "user '" + u.name + "' needs a password-hash, password-env or password-file");
    }
    return u;
}

LoginHoldBack HoldBack(const YAML::Node &n)
{
    LoginHoldBack h;
    auto count = [](int &field, const char *key, long long low, long long high) {
        return [&field, key, low, high](const YAML::Node &v) { field = static_cast<int>(Integer(v, key, low, high)); };
    };
    auto seconds = [](int64_t &field, const char *key) {
        return [&field, key](const YAML::Node &v) { field = Seconds(v, key, 0); };
    };
    Walk(n, "login-hold-back",
         {{"slow-after", count(h.slowAfter, "slow-after", 0, 1000)},
          {"delay", seconds(h.delayMs, "delay")},
          {"max-delay", seconds(h.maxDelayMs, "max-delay")},
          {"refuse-after", count(h.refuseAfter, "refuse-after", 1, 100000)},
          {"window", seconds(h.windowMs, "window")},
          {"refuse-for", seconds(h.refuseMs, "refuse-for")},
          {"connections", count(h.maxConnections, "connections", 1, 100000)}});
    if (h.maxDelayMs > 30000) {
        Fail(n, "'max-delay' is at most 30 seconds (an answer held back holds a connection)");
    }
    return h;
}

void Tls(const YAML::Node &n, SiteConfig &site)
{
    auto listens = [](const YAML::Node &v, std::vector<ListenAddress> &out) {
        if (v.IsSequence()) {
            for (const auto &l : v) {
                out.push_back(Listen(l));
            }
        } else {
            out.push_back(Listen(v));
        }
    };
    Walk(n, "tls",
         {{"certificate", [&](const YAML::Node &v) { site.tlsCertificate = Text(v, "certificate"); }},
          {"key", [&](const YAML::Node &v) { site.tlsKey = Text(v, "key"); }},
          {"plain-listen", [&](const YAML::Node &v) { listens(v, site.plainListen); }},
          {"plain-http", [&](const YAML::Node &v) { site.plainHttp.push_back(Listen(v)); }}});
    if (site.tlsCertificate.empty() || site.tlsKey.empty()) {
        Fail(n, "'tls' needs its 'certificate' and its 'key' (PEM files)");
    }
}

SiteConfig Site(const YAML::Node &root)
{
    SiteConfig site;
    bool haveRecorders = false;
    bool clientPassword = false;
    std::vector<RecorderEvents> recorderEvents;
    std::vector<BitEntry> siteEntries;
    std::vector<YAML::Node> webhookKinds;
    std::vector<YAML::Node> rightRecorders;
    Walk(
        root, "the site file",
        {{"listen",
          [&](const YAML::Node &v) {
              site.listen.clear();
              if (v.IsSequence()) {
                  for (const auto &l : v) {
                      site.listen.push_back(Listen(l));
                  }
              } else {
                  site.listen.push_back(Listen(v));
              }
              if (site.listen.empty()) {
                  Fail(v, "'listen' names no address");
              }
          }},
         {"clients",
          [&](const YAML::Node &v) {
              Walk(v, "clients",
                   WithPassword({{"user", [&](const YAML::Node &u) { site.rtspUser = Text(u, "user"); }}},
                                site.rtspPassword, clientPassword, "the clients'"));
          }},
         {"timeout",
          [&](const YAML::Node &v) { site.timeoutMs = static_cast<uint32_t>(Integer(v, "timeout", 1, 600000)); }},
         {"stats", [&](const YAML::Node &v) { site.statsMs = Seconds(v, "stats", 0); }},
         {"http",
          [&](const YAML::Node &v) {
              site.http = !(v.IsScalar() && v.Scalar() == "off");
              if (site.http) {
                  site.httpListen = Listen(v);
              }
          }},
         {"web-buffer", [&](const YAML::Node &v) { site.webBufferBytes = Integer(v, "web-buffer", 16, 65536) * 1024; }},
         {"events", [&](const YAML::Node &v) { site.events = Events(v, siteEntries); }},
         {"webhooks",
          [&](const YAML::Node &v) {
              if (!v.IsSequence()) {
                  Fail(v, "'webhooks' is a list of webhooks");
              }
              for (const auto &w : v) {
                  site.webhooks.push_back(Webhook(w, webhookKinds));
              }
          }},
         {"mqtt", [&](const YAML::Node &v) { site.mqtt = Mqtt(v); }},
         {"webrtc", [&](const YAML::Node &v) { site.webrtc = Webrtc(v); }},
         {"onvif", [&](const YAML::Node &v) { site.onvif = Onvif(v); }},
         {"users",
          [&](const YAML::Node &v) {
              if (!v.IsSequence()) {
                  Fail(v, "'users' is a list of users, each with a name, a password and rights");
              }
              for (const auto &u : v) {
                  site.access.users.push_back(User(u, rightRecorders));
                  for (size_t i = 0; i + 1 < site.access.users.size(); ++i) {
                      if (site.access.users[i].name == site.access.users.back().name) {
                          Fail(u, "user '" + site.access.users.back().name + "' is listed twice");
                      }
                  }
              }
          }},
         {"tls", [&](const YAML::Node &v) { Tls(v, site); }},
         {"audit", [&](const YAML::Node &v) { site.access.audit = Text(v, "audit"); }},
         {"login-hold-back", [&](const YAML::Node &v) { site.access.holdBack = HoldBack(v); }},
         {"credential-cache",
          [&](const YAML::Node &v) { site.access.credentialCacheMs = Seconds(v, "credential-cache", 0); }},
         {"recorders", [&](const YAML::Node &v) {
              haveRecorders = true;
              if (v.IsNull()) {
                  return;  // none yet
              }
              if (!v.IsSequence()) {
                  Fail(v, "'recorders' is a list of recorders");
              }
              for (const auto &r : v) {
                  recorderEvents.emplace_back();
                  site.recorders.push_back(Recorder(r, recorderEvents.back()));
                  std::string message;
                  SiteConfig only;
                  only.recorders = site.recorders;
                  if (!CheckSite(only, message)) {
                      Fail(r, message);
                  }
              }
          }}});
    if (!haveRecorders) {
        Fail(root, "the site file names no 'recorders'");
    }
    // The site's meanings, for each recorder that names none of its own; a
    // bit stands for one of the recorder's channels.
    std::set<std::string> kinds(kGatewayKinds.begin(), kGatewayKinds.end());
    for (const WordMeaning &w : site.events.words) {
        kinds.insert(w.kind);
    }
    for (size_t i = 0; i < site.recorders.size(); ++i) {
        RecorderConfig &r = site.recorders[i];
        if (!recorderEvents[i].own) {
            r.events = site.events;
        }
        for (const BitEntry &e : recorderEvents[i].own ? recorderEvents[i].entries : siteEntries) {
            if (e.channel >= r.channels) {
                Fail(e.at, "a bit stands for channel " + std::to_string(e.channel) + " but recorder '" + r.name +
                               "' serves channels 0-" + std::to_string(r.channels - 1));
            }
        }
        for (const WordMeaning &w : r.events.words) {
            kinds.insert(w.kind);
        }
    }
    for (const YAML::Node &r : rightRecorders) {
        if (site.Find(r.Scalar()) == nullptr) {
            Fail(r, "a right names recorder '" + r.Scalar() + "', which the site file does not list");
        }
    }
    for (const AccessUser &u : site.access.users) {
        if (u.name == site.rtspUser) {
            Fail(root, "user '" + u.name + "' is both the clients' user and in 'users'");
        }
    }
    for (const YAML::Node &k : webhookKinds) {
        if (kinds.count(k.Scalar()) == 0) {
            std::string known;
            for (const std::string &name : kinds) {
                known += (known.empty() ? "" : ", ") + name;
            }
            Fail(k, "unknown event kind '" + k.Scalar() + "' (known: " + known + ")");
        }
    }
    return site;
}

}  // namespace

bool LoadSiteConfig(const std::string &path, SiteConfig &site, std::string &message)
{
    auto where = [&](const YAML::Mark &mark) {
        return path + (mark.is_null() ? std::string() : ":" + std::to_string(mark.line + 1)) + ": ";
    };
    try {
        const YAML::Node root = YAML::LoadFile(path);
        SiteConfig loaded = Site(root);
        std::string problem;
        if (!CheckSite(loaded, problem)) {
            message = path + ": " + problem;
            return false;
        }
        site = std::move(loaded);
        return true;
    } catch (const ConfigError &e) {
        message = where(e.mark) + e.what;
    } catch (const YAML::BadFile &) {
        message = path + ": cannot read the file";
    } catch (const YAML::Exception &e) {
        message = where(e.mark) + e.msg;
    }
    return false;
}

}  // namespace kn::gateway
