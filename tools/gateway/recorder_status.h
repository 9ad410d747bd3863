// CRecorderStatus: the gateway's state for its status page while it serves
// one recorder (named by --name, default "recorder"): the link's login and
// streams, each hub's counts, and rates sampled once a second.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tools/gateway/channel_hub.h"
#include "tools/gateway/gateway_options.h"
#include "tools/gateway/gateway_status.h"
#include "tools/gateway/recorder_link.h"

namespace kn::gateway {

class CRecorderStatus final : public IStatusSource {
public:
    CRecorderStatus(const GatewayOptions &options, const CRecorderLink &link, std::vector<CChannelHub *> hubs);

    // Takes the counts for the rates; call once a second.
    void Sample();

    GatewayStatus Status() override;
    CChannelHub *Hub(const std::string &recorder, int channel) override;

private:
    struct Rate {
        HubCounts last;
        double frameRate = 0;
        double bitRate = 0;
    };

    const std::string m_Name;
    const std::string m_Address;
    const std::chrono::steady_clock::time_point m_Started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_LastSample = m_Started;
    const CRecorderLink &m_Link;
    std::vector<CChannelHub *> m_Hubs;
    std::vector<Rate> m_Rates;
};

}  // namespace kn::gateway
