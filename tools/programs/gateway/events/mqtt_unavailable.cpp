// The MQTT front of a gateway built without libmosquitto: a site that names
// a broker does not start, and says what to install.
#include "tools/programs/gateway/events/mqtt_front.h"

namespace kn::gateway {

namespace {

class CMqttUnavailable final : public IFront {
public:
    bool Start(std::string &message) override
    {
        message = "mqtt: this kestrel was built without libmosquitto; install libmosquitto-dev "
                  "(apt-get install --no-install-recommends libmosquitto-dev) and build it again, or remove "
                  "'mqtt' from the site file";
        return false;
    }
};

}  // namespace

std::unique_ptr<IFront> MakeMqttFront(const SiteConfig &site, ISiteDirectory &)
{
    if (site.mqtt.host.empty()) {
        return nullptr;
    }
    return std::make_unique<CMqttUnavailable>();
}

}  // namespace kn::gateway
