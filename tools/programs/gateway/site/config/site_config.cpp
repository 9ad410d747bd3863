#include "tools/programs/gateway/site/config/site_config.h"

#include <algorithm>

namespace kn::gateway {

bool RecorderConfig::Preloaded(int channel) const
{
    return preloadAll || std::find(preload.begin(), preload.end(), channel) != preload.end();
}

const RecorderConfig *SiteConfig::Find(const std::string &name) const
{
    for (const RecorderConfig &r : recorders) {
        if (r.name == name) {
            return &r;
        }
    }
    return nullptr;
}

SiteConfig SiteFromOptions(const GatewayOptions &o)
{
    SiteConfig site;
    site.listen = {ListenAddress{o.listenAddress, o.listenPort}};
    site.rtspUser = o.rtspUser;
    site.rtspPassword = o.rtspPassword;
    site.timeoutMs = o.timeoutMs;
    site.statsMs = o.statsMs;
    site.http = o.http;
    site.httpListen = ListenAddress{o.httpAddress, o.httpPort};
    site.webBufferBytes = o.webBufferBytes;
    RecorderConfig r;
    r.name = "live";
    r.host = o.host;
    r.port = o.port;
    r.user = o.user;
    r.password = o.password;
    r.transport = o.transport;
    r.channels = o.channels;
    r.lingerMs = o.lingerMs;
    r.idleMs = o.idleMs;
    r.giveUpMs = o.giveUpMs;
    r.backoffMaxMs = o.backoffMaxMs;
    site.recorders.push_back(r);
    return site;
}

bool IsRecorderName(const std::string &name)
{
    if (name.empty() || name.size() > 64 || name == "." || name == "..") {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

bool CheckSite(const SiteConfig &site, std::string &message)
{
    for (size_t i = 0; i < site.recorders.size(); ++i) {
        const RecorderConfig &r = site.recorders[i];
        for (size_t j = 0; j < i; ++j) {
            const RecorderConfig &other = site.recorders[j];
            if (other.name == r.name) {
                message = "recorder '" + r.name + "' is named twice";
                return false;
            }
            if (other.host == r.host && other.port == r.port) {
                message = "recorders '" + other.name + "' and '" + r.name + "' are both " + r.host + ":" +
                          std::to_string(r.port) + " (one recorder, one entry)";
                return false;
            }
        }
    }
    if (site.rtspUser.empty() != site.rtspPassword.empty()) {
        message = "RTSP authentication needs both a client user and a client password";
        return false;
    }
    std::vector<ListenAddress> listening = site.listen;
    if (site.http) {
        listening.push_back(site.httpListen);
    }
    for (const ListenAddress &l : listening) {
        bool someone = !site.rtspUser.empty();
        for (const AccessUser &u : site.access.users) {
            someone = someone || u.name != kAnonymousUser;
        }
        if (!IsLoopback(l.address) && !someone) {
            message = "listening on " + l.address +
                      " (not loopback) needs client credentials: a user and a password from a file or the "
                      "environment";
            return false;
        }
    }
    return true;
}

}  // namespace kn::gateway
