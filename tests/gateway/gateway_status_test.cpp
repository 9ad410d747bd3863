// The gateway's web side, the parts without a network: request paths, the
// channel state, and the status as JSON and as Prometheus text, with
// hostile names in them.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "tools/programs/gateway/status/gateway_status.h"

namespace kn::gateway {
namespace {

TEST(GatewayWeb, ChannelPathsAreOneNameAndOneChannelNumber)
{
    struct Case {
        const char *path;
        bool ok;
        const char *name;
        int channel;
        const char *extension;
    };
    const Case cases[] = {
        {"/recorder/0.mp4", true, "recorder", 0, "mp4"},
        {"/gate-2/15.jpg", true, "gate-2", 15, "jpg"},
        {"/r/255.jpg", true, "r", 255, "jpg"},
        {"/r/256.jpg", false, "", 0, ""},  // past the channel range
        {"/r/01.mp4", false, "", 0, ""},   // one spelling per channel
        {"/r/1234.mp4", false, "", 0, ""},
        {"//0.mp4", false, "", 0, ""},
        {"/r/.mp4", false, "", 0, ""},
        {"/r/0", false, "", 0, ""},
        {"/r/a.mp4", false, "", 0, ""},
        {"/r/-1.mp4", false, "", 0, ""},
        {"/a/b/0.mp4", false, "", 0, ""},
        {"/r/0.mp4/x", false, "", 0, ""},
        {"/api/status", false, "", 0, ""},
        {"", false, "", 0, ""},
        {"/", false, "", 0, ""},
    };
    for (const Case &c : cases) {
        std::string name = "?", extension = "?";
        int channel = -7;
        EXPECT_EQ(c.ok, ParseChannelPath(c.path, name, channel, extension)) << c.path;
        if (c.ok) {
            EXPECT_EQ(c.name, name) << c.path;
            EXPECT_EQ(c.channel, channel) << c.path;
            EXPECT_EQ(c.extension, extension) << c.path;
        }
    }
}

TEST(GatewayWeb, ChannelStateIsThePagesWordForTheLinks)
{
    struct Case {
        const char *recorder, *channel, *state;
    };
    const Case cases[] = {
        {"logged in", "idle", "idle"},
        {"logged in", "playing", "playing"},
        {"logged in", "opening", "reconnecting"},
        {"logged in", "retrying", "reconnecting"},
        {"logged in", "waiting", "reconnecting"},
        {"logging in", "waiting", "lost"},
        {"reconnecting", "waiting", "lost"},
        {"reconnecting", "retrying", "lost"},
        {"reconnecting", "idle", "idle"},
        {"stopped", "idle", "idle"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(c.state, ChannelState(c.recorder, c.channel)) << c.recorder << " / " << c.channel;
    }
}

GatewayStatus HostileStatus()
{
    GatewayStatus s;
    s.version = "1.0";
    s.uptime = 12.5;
    RecorderStatus r;
    r.name = "gate \"A\"\\\n\x01";
    r.address = "10.0.0.1:5050";
    r.state = "logged in";
    ChannelStatus c;
    c.channel = 3;
    c.name = "Channel 4";
    c.state = "playing";
    c.frames = 1234567890123ull;
    c.fps = 25.0;
    c.kbitPerSecond = 1.0 / 0.0;  // never printed as inf
    c.keyframeAgeMs = 40;
    c.clients = {{"rtsp", 2}, {"web", 1}, {"hls", 3}};
    c.sentBytes = {{"webrtc", 5000}};
    c.reports = {{"webrtc", {2, 1.5, 0.25, 0.0625}}, {"other", {1, -1, 1.0 / 0.0, -1}}};
    r.channels.push_back(c);
    c.sentBytes.clear();
    c.reports.clear();
    c.channel = 4;
    c.keyframeAgeMs = -1;
    c.state = "idle";
    r.channels.push_back(c);
    s.recorders.push_back(r);
    return s;
}

TEST(GatewayWeb, StatusJsonEscapesNamesAndHasNoNonNumbers)
{
    const std::string json = StatusJson(HostileStatus());
    EXPECT_NE(std::string::npos, json.find("\"name\":\"gate \\\"A\\\"\\\\\\n\\u0001\"")) << json;
    EXPECT_NE(std::string::npos, json.find("\"frames\":1234567890123"));
    EXPECT_NE(std::string::npos, json.find("\"kbit_per_s\":0,"));
    EXPECT_NE(std::string::npos, json.find("\"keyframe_age_ms\":40,"));
    EXPECT_NE(std::string::npos, json.find("\"keyframe_age_ms\":null,"));
    EXPECT_NE(std::string::npos, json.find("\"clients\":{\"rtsp\":2,\"web\":1,\"hls\":3}"));
    EXPECT_NE(std::string::npos, json.find("\"sent_bytes\":{\"rtsp\":0,\"web\":0,\"webrtc\":5000}"));
    EXPECT_NE(std::string::npos, json.find("\"reports\":{\"other\":{\"clients\":1,\"round_trip_ms\":null,"
                                           "\"jitter_ms\":0,\"fraction_lost\":null},\"webrtc\":{\"clients\":2,"
                                           "\"round_trip_ms\":1.5,\"jitter_ms\":0.25,\"fraction_lost\":0.0625}}"))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"sent_bytes\":{\"rtsp\":0,\"web\":0},\"reports\":{}"));
    EXPECT_EQ(std::string::npos, json.find("inf"));
    EXPECT_EQ(std::string::npos, json.find("nan"));
    EXPECT_EQ(std::string::npos, json.find('\n')) << "one line";  // control characters escaped
}

TEST(GatewayWeb, MetricsAreTextFormatWithEscapedLabels)
{
    const std::string text = StatusMetrics(HostileStatus());
    const std::regex sample(R"(^([a-z_]+)\{?((?:[a-z]+="(?:\\.|[^"\\])*",?)*)\}? (-?[0-9.]+)$)");
    std::set<std::string> typed;
    std::istringstream in(text);
    std::string line;
    int states = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (line.rfind("# TYPE ", 0) == 0) {
            typed.insert(line.substr(7, line.find(' ', 7) - 7));
        } else if (line.rfind("# HELP ", 0) != 0) {
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            EXPECT_EQ(1u, typed.count(m[1])) << line;
            if (m[1] == "kestrel_channel_state" && m[3] == "1") {
                ++states;
            }
        }
    }
    EXPECT_EQ(2, states) << "one state for each channel";
    EXPECT_NE(std::string::npos, text.find("recorder=\"gate \\\"A\\\"\\\\\\n\x01\",channel=\"3\""));
    EXPECT_NE(
        std::string::npos,
        text.find("kestrel_channel_clients{recorder=\"gate \\\"A\\\"\\\\\\n\x01\",channel=\"3\",kind=\"web\"} 1"));
    EXPECT_NE(std::string::npos,
              text.find("kestrel_channel_bit_rate{recorder=\"gate \\\"A\\\"\\\\\\n\x01\",channel=\"3\"} 0\n"));
    EXPECT_NE(std::string::npos, text.find("channel=\"3\",front=\"webrtc\"} 5000\n"));
    EXPECT_NE(std::string::npos, text.find("kestrel_channel_round_trip_seconds{recorder=\"gate \\\"A\\\"\\\\\\n\x01\","
                                           "channel=\"3\",front=\"webrtc\"} 0.0015\n"));
    EXPECT_NE(std::string::npos, text.find("front=\"webrtc\"} 0.0625\n"));
    EXPECT_EQ(std::string::npos, text.find("kestrel_channel_round_trip_seconds{recorder=\"gate \\\"A\\\"\\\\\\n\x01\","
                                           "channel=\"3\",front=\"other\"}"))
        << "no figure where none was reported";
}

}  // namespace
}  // namespace kn::gateway
