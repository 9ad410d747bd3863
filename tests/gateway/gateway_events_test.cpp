// The event path on its own: the bus (ids, the replay window, filters,
// bounded queues under racing publishers), what a recorder's messages and
// states become, the JSON form, and the discovery documents' topics.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/events/mqtt_front.h"
#include "tools/programs/gateway/events/recorder_events.h"

namespace kn::gateway {
namespace {

using namespace std::chrono_literals;

std::vector<Event> Drain(CEventQueue &q)
{
    const auto d = q.Take();
    return {d.begin(), d.end()};
}

TEST(EventBus, ReplaysWhatItsWindowHoldsAndFiltersByRecorderAndKind)
{
    CEventBus bus(4);
    for (int i = 0; i < 6; ++i) {
        bus.Publish(GatewayEvent(i % 2 ? EventKind::RecorderLost : EventKind::RecorderBack, i < 3 ? "a" : "b"));
    }
    EXPECT_EQ(6u, bus.LastId());
    // The window holds ids 3-6; a replay after 1 gets what it still holds.
    const auto all = bus.Subscribe({}, 100, {}, 1);
    std::vector<uint64_t> ids;
    for (const Event &e : Drain(*all)) {
        ids.push_back(e.id);
    }
    EXPECT_EQ((std::vector<uint64_t>{3, 4, 5, 6}), ids);
    const auto some = bus.Subscribe(EventFilter{"b", {"recorder-lost"}}, 100, {}, 4);
    const auto none = bus.Subscribe({}, 100);  // no replay: only what comes next
    bus.Publish(GatewayEvent(EventKind::RecorderLost, "b"));
    bus.Publish(GatewayEvent(EventKind::RecorderLost, "a"));
    ids.clear();
    for (const Event &e : Drain(*some)) {
        ids.push_back(e.id);
    }
    EXPECT_EQ((std::vector<uint64_t>{6, 7}), ids) << "id 4 and 5 are a's or not lost; 7 came live";
    EXPECT_EQ(2u, Drain(*none).size());
    bus.Unsubscribe(none);
    bus.Publish(GatewayEvent(EventKind::ReloadApplied, ""));
    EXPECT_TRUE(Drain(*none).empty());
}

// Four publishers race; a reader takes from a queue of its own while a
// subscriber that never reads overflows its small queue: the reader gets
// every event in id order, the stuck one keeps its first 16 and counts the
// rest, and no publisher waits for either.
TEST(EventBus, ASubscriberThatDoesNotReadHoldsBackNobody)
{
    constexpr int kThreads = 4, kEach = 2000;
    CEventBus bus;
    std::atomic<int> wakes{0};
    const auto reader = bus.Subscribe({}, kThreads * kEach, [&] { ++wakes; });
    const auto stuck = bus.Subscribe({}, 16);
    std::vector<std::thread> publishers;
    for (int t = 0; t < kThreads; ++t) {
        publishers.emplace_back([&bus, t] {
            for (int i = 0; i < kEach; ++i) {
                bus.Publish(GatewayEvent(EventKind::ChannelPlaying, "r" + std::to_string(t), i % 8));
            }
        });
    }
    uint64_t last = 0;
    int got = 0;
    Event e;
    while (got < kThreads * kEach && reader->Wait(e, 2000ms)) {
        EXPECT_GT(e.id, last);
        last = e.id;
        ++got;
    }
    for (auto &p : publishers) {
        p.join();
    }
    EXPECT_EQ(kThreads * kEach, got);
    EXPECT_EQ(kThreads * kEach, wakes.load());
    EXPECT_EQ(16u, Drain(*stuck).size());
    EXPECT_EQ(static_cast<uint64_t>(kThreads * kEach - 16), stuck->Dropped());
    EXPECT_EQ(0u, reader->Dropped());
}

struct StateSeen {
    std::string kind;
    int channel;
    bool active;
    bool operator==(const StateSeen &) const = default;
};

std::vector<StateSeen> States(CEventQueue &q)
{
    std::vector<StateSeen> seen;
    for (const Event &e : Drain(q)) {
        if (e.type == EventKind::State) {
            seen.push_back({e.kind, e.channel, e.active});
        }
    }
    return seen;
}

std::array<unsigned char, 12> Words(uint16_t a, uint16_t b, uint16_t c)
{
    return {9,
            9,
            9,
            9,
            static_cast<unsigned char>(a),
            static_cast<unsigned char>(a >> 8),
            static_cast<unsigned char>(b),
            static_cast<unsigned char>(b >> 8),
            static_cast<unsigned char>(c),
            static_cast<unsigned char>(c >> 8),
            0,
            0};
}

// Each message's words against the last: a bit set starts the word's state
// on the bit's channel, a bit cleared ends it; bits for no channel, or for
// one the recorder does not serve, are only in the message.
TEST(RecorderEvents, EachBitThatChangesStartsOrEndsItsWordsStateOnItsChannel)
{
    EventMap map;
    map.words[0].kind = "motion";
    map.words[2] = WordMeaning{"alarm-input"};
    map.words[2].channelOfBit.fill(-1);
    map.words[2].channelOfBit[0] = 3;  // bit 0 is channel 3
    CEventBus bus;
    const auto q = bus.Subscribe({}, 100);
    CRecorderEvents events("hall", 4, map, &bus);
    const struct {
        std::array<unsigned char, 12> bytes;
        std::vector<StateSeen> states;
    } steps[] = {
        {Words(0x0005, 0, 0), {{"motion", 0, true}, {"motion", 2, true}}},
        {Words(0x0005, 0, 0), {}},  // nothing changed
        // Bit 4 would be channel 4: not served.
        {Words(0x0014, 0x0002, 0x0001), {{"motion", 0, false}, {"word2", 1, true}, {"alarm-input", 3, true}}},
        // Bit 1 of word 3 stands for no channel.
        {Words(0x0010, 0, 0x0002), {{"motion", 2, false}, {"word2", 1, false}, {"alarm-input", 3, false}}},
        {Words(0x8000, 0, 0), {}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        events.Message(steps[i].bytes.data(), 12);
        EXPECT_EQ(steps[i].states, States(*q)) << "step " << i;
    }
    // The message itself, kept as it came and read at offsets 4, 6, 8.
    const unsigned char shortOne[6] = {1, 2, 3, 4, 0x34, 0x12};
    events.Message(shortOne, 6);
    const auto last = Drain(*q);
    ASSERT_EQ(2u, last.size()) << "the message, then motion 2 starts (0x1234: bit 2; the others not served)";
    EXPECT_EQ(EventKind::Message, last[0].type);
    EXPECT_EQ(0x1234, last[0].Word(0));
    EXPECT_EQ(0, last[0].Word(2));
    EXPECT_EQ("motion", last[1].kind);
    EXPECT_EQ(2, last[1].channel);
}

TEST(RecorderEvents, TheLinksStatesBecomeLoginsLossesAndChannelsPlayingOrLost)
{
    CEventBus bus;
    const auto q = bus.Subscribe({}, 100);
    CRecorderEvents events("yard", 4, EventMap{}, &bus);
    events.RecorderState("logging in", "reconnecting", "refused");  // never logged in: no loss
    events.RecorderState("reconnecting", "logged in", "");
    events.ChannelState(1, "opening", "playing", "");
    events.ChannelState(1, "playing", "idle", "");  // closed for want of clients
    events.ChannelState(1, "opening", "playing", "");
    events.ChannelState(1, "playing", "retrying", "no frames for 5 s");
    events.RecorderState("logged in", "reconnecting", "the recorder is lost");
    events.RecorderState("reconnecting", "logged in", "");
    events.RecorderState("logged in", "stopped", "");
    std::vector<std::string> kinds;
    for (const Event &e : Drain(*q)) {
        kinds.push_back(e.kind + (e.channel >= 0 ? " " + std::to_string(e.channel) : "") +
                        (e.detail.empty() ? "" : ": " + e.detail));
    }
    EXPECT_EQ((std::vector<std::string>{"recorder-logged-in", "channel-playing 1", "channel-playing 1",
                                        "channel-lost 1: no frames for 5 s", "recorder-lost: the recorder is lost",
                                        "recorder-back"}),
              kinds);
}

TEST(EventJson, IsOneObjectWithTheTimeInTheGatewaysZone)
{
    const char *before = ::getenv("TZ");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("TZ", "XYZ-1:30", 1);  // 1 h 30 min east of UTC
    ::tzset();
    Event state;
    state.id = 42;
    state.type = EventKind::State;
    state.kind = "motion";
    state.recorder = "hall";
    state.channel = 2;
    state.active = true;
    state.word = 1;
    state.bit = 2;
    state.unixMs = 1796908800250;  // 2026-12-10 13:20:00.250 UTC
    EXPECT_EQ("{\"id\":42,\"kind\":\"motion\",\"recorder\":\"hall\",\"channel\":2,\"state\":\"start\",\"word\":1,"
              "\"bit\":2,\"time\":\"2026-12-10T14:50:00.250+01:30\"}",
              state.ToJson());
    Event message = GatewayEvent(EventKind::Message, "hall");
    message.bytes = Words(0x0102, 0xFFFF, 0);
    message.unixMs = 1796908800000;
    EXPECT_EQ("{\"id\":0,\"kind\":\"message\",\"recorder\":\"hall\",\"words\":[258,65535,0],"
              "\"bytes\":\"090909090201ffff00000000\",\"time\":\"2026-12-10T14:50:00.000+01:30\"}",
              message.ToJson());
    Event refused = GatewayEvent(EventKind::ReloadRefused, "", -1, "site.yaml:3: bad \"x\"");
    refused.unixMs = 1796908800000;
    EXPECT_EQ("{\"id\":0,\"kind\":\"reload-refused\",\"time\":\"2026-12-10T14:50:00.000+01:30\","
              "\"detail\":\"site.yaml:3: bad \\\"x\\\"\"}",
              refused.ToJson());
    ::setenv("TZ", "ABC+5", 1);
    ::tzset();
    EXPECT_EQ("2026-12-10T08:20:00.250-05:00", LocalTimeText(1796908800250));
    if (before != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

TEST(MqttDiscovery, EachChannelHasABinarySensorPerKindAndAnImageUnderTheGatewaysNode)
{
    MqttConfig mqtt;
    mqtt.clientId = "gw.1";
    const auto docs = ChannelDiscovery(mqtt, "http://gw:8560", "front.door", 3, {"motion", "video-loss"});
    ASSERT_EQ(3u, docs.size());
    EXPECT_EQ("homeassistant/binary_sensor/gw_1/front_door_3_motion/config", docs[0].topic);
    EXPECT_NE(std::string::npos, docs[0].json.find("\"state_topic\":\"kestrel/front.door/3/motion\""));
    EXPECT_NE(std::string::npos, docs[0].json.find("\"device_class\":\"motion\""));
    EXPECT_NE(std::string::npos, docs[1].json.find("\"device_class\":\"problem\"")) << "video loss is a problem";
    EXPECT_EQ("homeassistant/image/gw_1/front_door_3_snapshot/config", docs[2].topic);
    EXPECT_NE(std::string::npos, docs[2].json.find("\"url_topic\":\"kestrel/front.door/3/snapshot-url\""));
    EXPECT_EQ(2u, ChannelDiscovery(mqtt, "", "a", 0, {"motion", "word2"}).size()) << "no image without a URL";
}

}  // namespace
}  // namespace kn::gateway
