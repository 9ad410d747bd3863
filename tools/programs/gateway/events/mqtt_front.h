// The MQTT front: the events and states on a broker (the site file's mqtt:),
// with libmosquitto. Topics, PREFIX being the topic prefix:
//   PREFIX/status               "online", "offline" (the last will), retained
//   PREFIX/NAME/availability    "online" while the recorder is logged in, retained
//   PREFIX/NAME/CH/KIND         "ON" or "OFF": a state of a channel, retained
//   PREFIX/NAME/CH/snapshot-url the channel's snapshot URL, retained
//   PREFIX/events               every event's JSON object, not retained
// and Home Assistant's discovery documents under the discovery prefix: per
// channel a binary sensor for each state kind and an image entity (its
// url_topic the snapshot-url topic), grouped as one device per recorder,
// available while both the gateway and the recorder are. A recorder that
// leaves the site has its documents removed (an empty retained document),
// also when it left while the gateway was down. A broker that goes away is
// reconnected with backoff (1 s doubling to 30 s), and everything retained
// is published again on reconnection.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

// Null when the site names no broker; a front that refuses to start (with
// what to install) when the gateway was built without libmosquitto.
std::unique_ptr<IFront> MakeMqttFront(const SiteConfig &site, ISiteDirectory &directory);

// Home Assistant's discovery documents of one channel: (topic, JSON).
struct DiscoveryDocument {
    std::string topic;
    std::string json;
};
// The node id of the documents' topics (DISCOVERY/COMPONENT/NODE/OBJECT/config).
std::string DiscoveryNode(const MqttConfig &mqtt);
std::vector<DiscoveryDocument> ChannelDiscovery(const MqttConfig &mqtt, const std::string &snapshotBase,
                                                const std::string &recorder, int channel,
                                                const std::vector<std::string> &kinds);

}  // namespace kn::gateway
