// The event stream and the webhooks of a gateway built without libsoup 3:
// there is no HTTP listener to stream on, and a site that names webhooks
// does not start, saying what to install.
#include "tools/programs/gateway/events/event_stream.h"
#include "tools/programs/gateway/events/webhooks.h"

namespace kn::gateway {

namespace {

class CWebhooksUnavailable final : public IFront {
public:
    bool Start(std::string &message) override
    {
        message = "webhooks: this kestrel was built without libsoup 3; install libsoup-3.0-dev "
                  "(apt-get install --no-install-recommends libsoup-3.0-dev) and build it again, or remove "
                  "'webhooks' from the site file";
        return false;
    }
};

}  // namespace

std::unique_ptr<IFront> MakeEventStreamFront(const SiteConfig &, ISiteDirectory &) { return nullptr; }

std::unique_ptr<IFront> MakeWebhooksFront(const SiteConfig &site, ISiteDirectory &)
{
    return site.webhooks.empty() ? nullptr : std::make_unique<CWebhooksUnavailable>();
}

}  // namespace kn::gateway
