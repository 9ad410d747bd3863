// IFront: one of the gateway's fronts (RTSP, the web side, and each front
// added later), made from the site's configuration and the site directory.
// The fronts are listed in one table (fronts.cpp beside gateway_main.cpp):
// a new front is a folder of its own and one line there.
#pragma once

#include <memory>
#include <string>

#include "tools/programs/gateway/site/config/site_config.h"
#include "tools/programs/gateway/site/site_directory.h"

namespace kn::gateway {

class IFront {
public:
    virtual ~IFront() = default;
    // Opens the front's listeners (if it has any) and starts serving, on
    // the default main context; false with a message: the gateway does not
    // start half-served.
    virtual bool Start(std::string &message) = 0;
    // Takes no new clients (the gateway is stopping); the clients present
    // are ended by their streams.
    virtual void StopListening() {}
    // Ends what the front still serves; called on the main loop before the
    // site stops.
    virtual void Stop() {}
    // The site file was read again (SIGHUP, or it changed): what the front
    // takes without a restart (a renewed TLS certificate), for new clients.
    virtual void Reload(const SiteConfig &site) { (void)site; }
};

// One line of the table of fronts. make returns null when the site file
// turns the front off.
struct FrontMaker {
    const char *name;
    std::unique_ptr<IFront> (*make)(const SiteConfig &site, ISiteDirectory &directory);
};

}  // namespace kn::gateway
