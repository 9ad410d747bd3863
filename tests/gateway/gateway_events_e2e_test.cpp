// The gateway's events end to end: kestrel-recorder raises a bit of its
// messages on SIGUSR1, the gateway reads it as the site file says, curl
// reads the event stream, with a filter and with a replay after an id; a
// refused reload is an event too.
#include "tests/gateway/media_tools_fixture.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kn::test {
namespace {

class GatewayEventsTest : public CMediaToolsTest {
protected:
    // The objects of an event stream's data lines.
    static std::vector<nlohmann::json> Events(const std::string &stream)
    {
        std::vector<nlohmann::json> events;
        std::istringstream in(stream);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("data: ", 0) == 0) {
                events.push_back(nlohmann::json::parse(line.substr(6), nullptr, false));
            }
        }
        return events;
    }
    std::unique_ptr<CChildProcess> Curl(const std::string &url, const std::string &name, int seconds,
                                        std::vector<std::string> extra = {})
    {
        auto c = std::make_unique<CChildProcess>();
        std::vector<std::string> args{"-sN", "--max-time", std::to_string(seconds)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(url);
        c->Start(KN_CURL_BIN, args, Path(name), Path(name + ".err"));
        return c;
    }
};

TEST_F(GatewayEventsTest, ARecordersBitReachesTheEventStreamAsItsStateAndAReplayGetsWhatFollowed)
{
    ASSERT_NE(0, StartRecorder({"--raise-on-signal", "1:2", "--raise-on-signal", "3:0"}));
    std::ofstream(Path("site.yaml")) << "listen: 127.0.0.1:0\nhttp: 127.0.0.1:0\n"
                                        "events:\n  word1: motion\n  word3: {kind: alarm-input, bits: {0: 5}}\n"
                                        "recorders:\n  - name: hall\n    address: 127.0.0.1\n    port: "
                                     << m_wRecorderPort << "\n    channels: 8\n";
    ASSERT_TRUE(m_Gateway.Start(KN_KESTREL_BIN, {"gateway", "--config", Path("site.yaml")}, Path("gateway.out"),
                                Path("gateway.log")));
    const uint16_t http = PortLogged(Path("gateway.log"), std::regex("serving http://127\\.0\\.0\\.1:([0-9]+)/"));
    ASSERT_NE(0, http);
    const std::string base = "http://127.0.0.1:" + std::to_string(http) + "/api/events";
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("hall: logged in to") != std::string::npos; }));
    // From the first event on (a replay after id 0), and one filtered.
    auto all = Curl(base, "all.txt", 60, {"-H", "Last-Event-ID: 0"});
    auto motion = Curl(base + "?kind=motion&recorder=hall", "motion.txt", 60);
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("all.txt")).find("recorder-logged-in") != std::string::npos; }));
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("motion.txt")).find("retry:") != std::string::npos; }));
    m_Recorder.Signal(SIGUSR1);  // sets word 1 bit 2 and word 3 bit 0
    ASSERT_TRUE(Eventually([&] { return RecorderLog().find("message 1:") != std::string::npos; }));
    m_Recorder.Signal(SIGUSR1);  // clears them
    ASSERT_TRUE(Eventually([&] {
        return ReadText(Path("all.txt")).find("\"state\":\"end\",\"word\":3") != std::string::npos;
    })) << ReadText(Path("all.txt"));
    // A reload refused, with the file's line.
    std::ofstream(Path("site.yaml.new")) << "recorders:\n  - name: hall\n    adress: x\n";
    std::rename(Path("site.yaml.new").c_str(), Path("site.yaml").c_str());
    ASSERT_TRUE(Eventually([&] { return ReadText(Path("all.txt")).find("reload-refused") != std::string::npos; }));

    std::vector<std::string> seen;
    uint64_t lastId = 0, startId = 0;
    for (const auto &e : Events(ReadText(Path("all.txt")))) {
        ASSERT_TRUE(e.is_object());
        EXPECT_GT(e.value("id", 0u), lastId);
        lastId = e.value("id", 0u);
        EXPECT_TRUE(std::regex_match(
            e.value("time", ""), std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}")))
            << e.dump();
        std::string what = e.value("kind", "");
        if (e.contains("state")) {
            what += " " + std::to_string(e.value("channel", -1)) + " " + e.value("state", "");
            startId = what == "motion 2 start" ? e.value("id", 0u) : startId;
        }
        if (what == "message") {
            what += " " + e["words"].dump();
        }
        if (what == "reload-refused") {
            EXPECT_NE(std::string::npos, e.value("detail", "").find("site.yaml:3: unknown key 'adress'")) << e.dump();
        }
        seen.push_back(what);
    }
    EXPECT_EQ(
        (std::vector<std::string>{"recorder-logged-in", "message [4,0,1]", "motion 2 start", "alarm-input 5 start",
                                  "message [0,0,0]", "motion 2 end", "alarm-input 5 end", "reload-refused"}),
        seen);
    std::vector<std::string> filtered;
    for (const auto &e : Events(ReadText(Path("motion.txt")))) {
        filtered.push_back(e.value("kind", "") + " " + e.value("state", ""));
    }
    EXPECT_EQ((std::vector<std::string>{"motion start", "motion end"}), filtered);
    // Back after the start: what followed it, from the window.
    auto replay = Curl(base, "replay.txt", 2, {"-H", "Last-Event-ID: " + std::to_string(startId)});
    replay->Wait(10s);
    const auto again = Events(ReadText(Path("replay.txt")));
    ASSERT_EQ(5u, again.size()) << ReadText(Path("replay.txt"));
    EXPECT_EQ("alarm-input", again[0].value("kind", ""));
    EXPECT_EQ("reload-refused", again[4].value("kind", ""));
    EXPECT_TRUE(ReadText(Path("all.err")).empty()) << ReadText(Path("all.err"));
}

}  // namespace
}  // namespace kn::test
