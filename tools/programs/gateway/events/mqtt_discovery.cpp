// Home Assistant's MQTT discovery documents (binary sensors and images), and
// the topics of the MQTT front; no broker needed.
#include <algorithm>
#include <cctype>
#include <array>
#include <string_view>

#include "tools/programs/gateway/events/mqtt_front.h"
#include "tools/programs/gateway/status/json_text.h"

namespace kn::gateway {

namespace {

// The binary sensor device classes a kind may name directly; video-loss
// is a problem.
constexpr std::array<std::string_view, 28> kDeviceClasses{"battery",
                                                          "battery_charging",
                                                          "carbon_monoxide",
                                                          "cold",
                                                          "connectivity",
                                                          "door",
                                                          "garage_door",
                                                          "gas",
                                                          "heat",
                                                          "light",
                                                          "lock",
                                                          "moisture",
                                                          "motion",
                                                          "moving",
                                                          "occupancy",
                                                          "opening",
                                                          "plug",
                                                          "power",
                                                          "presence",
                                                          "problem",
                                                          "running",
                                                          "safety",
                                                          "smoke",
                                                          "sound",
                                                          "tamper",
                                                          "update",
                                                          "vibration",
                                                          "window"};

// An id part: letters, digits, '_' and '-' only.
std::string IdPart(const std::string &text)
{
    std::string id = text;
    std::replace_if(
        id.begin(), id.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '-'; }, '_');
    return id;
}

}  // namespace

std::string DiscoveryNode(const MqttConfig &mqtt) { return IdPart(mqtt.clientId); }

std::vector<DiscoveryDocument> ChannelDiscovery(const MqttConfig &mqtt, const std::string &snapshotBase,
                                                const std::string &recorder, int channel,
                                                const std::vector<std::string> &kinds)
{
    const std::string node = DiscoveryNode(mqtt);
    const std::string base = mqtt.topicPrefix + "/" + recorder + "/" + std::to_string(channel);
    const std::string object = IdPart(recorder) + "_" + std::to_string(channel);
    auto common = [&](const std::string &name, const std::string &id) {
        Json j;
        j["name"] = name;
        j["unique_id"] = node + "_" + id;
        j["availability"] = Json::array({Json{{"topic", mqtt.topicPrefix + "/status"}},
                                         Json{{"topic", mqtt.topicPrefix + "/" + recorder + "/availability"}}});
        j["availability_mode"] = "all";
        j["device"] = Json{{"identifiers", Json::array({node + "_" + IdPart(recorder)})},
                           {"name", recorder},
                           {"model", "recorder behind kestrel gateway"}};
        return j;
    };
    std::vector<DiscoveryDocument> docs;
    for (const std::string &kind : kinds) {
        Json j = common("Channel " + std::to_string(channel) + " " + kind, object + "_" + IdPart(kind));
        j["state_topic"] = base + "/" + kind;
        j["payload_on"] = "ON";
        j["payload_off"] = "OFF";
        const std::string cls = kind == "video-loss" ? "problem" : kind;
        if (std::find(kDeviceClasses.begin(), kDeviceClasses.end(), cls) != kDeviceClasses.end()) {
            j["device_class"] = cls;
        }
        docs.push_back({mqtt.discoveryPrefix + "/binary_sensor/" + node + "/" + object + "_" + IdPart(kind) + "/config",
                        j.dump()});
    }
    if (!snapshotBase.empty()) {
        Json j = common("Channel " + std::to_string(channel) + " snapshot", object + "_snapshot");
        j["url_topic"] = base + "/snapshot-url";
        docs.push_back({mqtt.discoveryPrefix + "/image/" + node + "/" + object + "_snapshot/config", j.dump()});
    }
    return docs;
}

}  // namespace kn::gateway
