// CSiteStatus: what the web front shows of the site: every recorder and
// channel of the site's state (CSite::State), with the page's words for
// their states and the channels' hubs for the web clients.
#pragma once

#include <chrono>
#include <string>

#include "tools/programs/gateway/status/gateway_status.h"

namespace kn::gateway {

class CSite;

class CSiteStatus final : public IStatusSource {
public:
    explicit CSiteStatus(const CSite &site) : m_Site(site) {}

    GatewayStatus Status() override;
    std::shared_ptr<CChannelHub> Hub(const std::string &recorder, int channel) override;
    std::shared_ptr<CArchiveGate> Archive(const std::string &recorder) override;

private:
    const CSite &m_Site;
    const std::chrono::steady_clock::time_point m_Started = std::chrono::steady_clock::now();
};

}  // namespace kn::gateway
