// The site file: the documented example reads as documented, every mistake
// is refused with its line, passwords come from the environment or a file
// and never show in a message; and the state document's JSON.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "tools/programs/gateway/status/gateway_status.h"
#include "tools/programs/gateway/site/config/site_config.h"

namespace kn::gateway {
namespace {

class SiteConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrel-site-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_Dir = pattern;
        ::setenv("KESTREL_TEST_SITE_PW", "env-secret-41", 1);
        ::unsetenv("KESTREL_TEST_SITE_UNSET");
        Write("secret.txt", "file-secret-17\nsecond line\n");
    }
    void TearDown() override { std::system(("rm -rf '" + m_Dir + "'").c_str()); }

    std::string Write(const std::string &name, const std::string &text)
    {
        const std::string path = m_Dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    std::string m_Dir;
};

// The example of docs/gateway.md, with its password file here.
std::string DocumentedExample()
{
    std::ifstream in(KN_SOURCE_DIR "/docs/gateway.md");
    std::stringstream s;
    s << in.rdbuf();
    const std::string doc = s.str();
    const std::string open = "```yaml\n";
    const size_t begin = doc.find(open);
    const size_t end = doc.find("```", begin + open.size());
    if (begin == std::string::npos || end == std::string::npos) {
        return "";
    }
    return doc.substr(begin + open.size(), end - begin - open.size());
}

TEST_F(SiteConfigTest, TheDocumentedExampleReadsAsDocumented)
{
    std::string example = DocumentedExample();
    ASSERT_FALSE(example.empty()) << "docs/gateway.md has no ```yaml example";
    std::ifstream shipped(KN_SOURCE_DIR "/tools/programs/gateway/gateway.yaml");
    std::stringstream text;
    text << shipped.rdbuf();
    EXPECT_EQ(example, text.str()) << "the packaged example is the documented one";
    example = std::regex_replace(example, std::regex("/etc/kestrelnet/hall\\.password"), m_Dir + "/secret.txt");
    ::setenv("KESTREL_RTSP_PASSWORD", "rtsp-secret-5", 1);
    ::setenv("YARD_PASSWORD", "yard-secret-9", 1);
    ::setenv("KESTREL_MQTT_PASSWORD", "mqtt-secret-3", 1);
    SiteConfig site;
    std::string message;
    ASSERT_TRUE(LoadSiteConfig(Write("site.yaml", example), site, message)) << message;
    ::unsetenv("KESTREL_RTSP_PASSWORD");
    ::unsetenv("YARD_PASSWORD");
    ::unsetenv("KESTREL_MQTT_PASSWORD");

    ASSERT_EQ(1u, site.listen.size());
    EXPECT_EQ("0.0.0.0", site.listen[0].address);
    EXPECT_EQ(8554, site.listen[0].port);
    EXPECT_EQ("viewer", site.rtspUser);
    EXPECT_EQ("rtsp-secret-5", site.rtspPassword);
    EXPECT_EQ(3000u, site.timeoutMs);
    EXPECT_EQ(60000, site.statsMs);
    ASSERT_EQ(2u, site.recorders.size());
    const RecorderConfig &hall = site.recorders[0];
    EXPECT_EQ("hall", hall.name);
    EXPECT_EQ("192.168.10.21", hall.host);
    EXPECT_EQ(5050, hall.port);
    EXPECT_EQ("admin", hall.user);
    EXPECT_EQ("file-secret-17", hall.password) << "the file's first line";
    EXPECT_EQ(8, hall.channels);
    EXPECT_EQ(1, hall.transport);
    EXPECT_FALSE(hall.Preloaded(0));
    const RecorderConfig &yard = site.recorders[1];
    EXPECT_EQ("yard", yard.name);
    EXPECT_EQ(5050, yard.port) << "the default port";
    EXPECT_EQ("operator", yard.user);
    EXPECT_EQ("yard-secret-9", yard.password);
    EXPECT_EQ(4, yard.channels);
    EXPECT_EQ(0, yard.transport);
    EXPECT_EQ(30000, yard.lingerMs);
    EXPECT_EQ(2500, yard.idleMs);
    EXPECT_EQ(120000, yard.giveUpMs);
    EXPECT_EQ(60000, yard.backoffMaxMs);
    EXPECT_TRUE(yard.Preloaded(0));
    EXPECT_TRUE(yard.Preloaded(1));
    EXPECT_FALSE(yard.Preloaded(2));
    EXPECT_EQ("motion", yard.events.words[0].kind);
    EXPECT_EQ(3, yard.events.words[2].channelOfBit[1]);
    ASSERT_EQ(1u, site.webhooks.size());
    EXPECT_EQ(4u, site.webhooks[0].kinds.size());
    EXPECT_EQ("mqtt-secret-3", site.mqtt.password);
    EXPECT_EQ("http://gateway.example:8560", site.mqtt.snapshotBase);
    EXPECT_TRUE(site.onvif.enabled && site.onvif.channelDevices);
    EXPECT_EQ("building-a", site.onvif.location);
    EXPECT_EQ(std::vector<std::string>{"eth0"}, site.onvif.discovery);
}

TEST_F(SiteConfigTest, EveryMistakeIsRefusedWithItsLineAndNoPasswordIsShown)
{
    const std::string head = "listen: 127.0.0.1:0\nrecorders:\n";   // lines 1-2
    const std::string a = "  - name: a\n    address: 127.0.0.1\n";  // lines 3-4
    const struct {
        std::string body;
        int line;
        const char *says;
    } cases[] = {
        {head + a + "    chanels: 4\n", 5, "unknown key 'chanels' in a recorder"},
        {"listen: 127.0.0.1:0\nrecorder:\n  - name: a\n", 2, "unknown key 'recorder' in the site file"},
        {head + a + "    channels: 33\n", 5, "'channels' must be a whole number from 1 to 32, not '33'"},
        {head + a + "    channels: four\n", 5, "not 'four'"},
        {head + a + "    port: 70000\n", 5, "'port' must be a whole number from 1 to 65535"},
        {head + a + "    transport: sctp\n", 5, "'transport' is tcp or udp"},
        {head + a + "    linger: -1\n", 5, "'linger' must be seconds"},
        {head + a + "    idle-timeout: 0\n", 5, "'idle-timeout' must be seconds from 0.1"},
        {head + a + "    password: env-secret-41\n", 5, "a password is not written in the site file"},
        {head + a + "    password-env: KESTREL_TEST_SITE_UNSET\n", 5,
         "the environment variable KESTREL_TEST_SITE_UNSET is not set"},
        {head + a + "    password-file: /nonexistent/pw\n", 5, "cannot read the password file /nonexistent/pw"},
        {head + a + "    password-env: KESTREL_TEST_SITE_PW\n    password-file: x\n", 6, "give the password once"},
        {head + a + "    preload: [0, 4]\n", 5, "preloads channel 4 but serves channels 0-3"},
        {head + a + "    preload: maybe\n", 5, "'preload' is all, true, false or a list"},
        {head + a + "    user: admin\n    user: other\n", 6, "'user' is given twice"},
        {head + "  - address: 127.0.0.1\n", 3, "a recorder needs a 'name'"},
        {head + "  - name: a\n", 3, "recorder 'a' needs an 'address'"},
        {head + "  - name: a/b\n    address: x\n", 3, "a recorder name is 1-64 letters"},
        {head + a + "  - name: a\n    address: 127.0.0.2\n", 5, "recorder 'a' is named twice"},
        {head + a + "  - name: b\n    address: 127.0.0.1\n", 5, "recorders 'a' and 'b' are both 127.0.0.1:5050"},
        {"listen: nowhere:port\nrecorders: []\n", 1, "a listen address is ADDRESS:PORT"},
        {"listen: 127.0.0.1:0\n", 1, "the site file names no 'recorders'"},
        {"recorders:\n  name: a\n", 2, "'recorders' is a list of recorders"},
        {head + a + "  bad indentation: [\n", 5, ""},
        {"listen: 127.0.0.1:0\nclients:\n  user: v\n  password: env-secret-41\nrecorders: []\n", 4,
         "a password is not written"},
        {"listen: 0.0.0.0:8554\nrecorders: []\n", 0, "not loopback) needs client credentials"},
        {"clients:\n  user: v\nrecorders: []\n", 0, "needs both a client user and a client password"},
        // The users and their rights.
        {head + a + "users:\n  - name: g\n    password-hash: '$1$ab$cd'\n", 7, "yescrypt ($y$...) or SHA-512"},
        {head + a +
             "users:\n  - name: g\n    password-env: KESTREL_TEST_SITE_PW\n    rights: [{recorder: z, actions: "
             "[view]}]\n",
         8, "a right names recorder 'z', which the site file does not list"},
        {head + a +
             "users:\n  - name: g\n    password-env: KESTREL_TEST_SITE_PW\n    rights: [{recorder: a, actions: "
             "[fly]}]\n",
         8, "unknown action 'fly' (known: view, archive, control, status)"},
        {head + a + "users:\n  - name: g\n    password: env-secret-41\n", 7, "a password is not written"},
        {head + a + "users:\n  - name: g\n", 6, "user 'g' needs a password-hash, password-env or password-file"},
        {head + a + "users:\n  - name: anonymous\n    rights: [{recorder: '*', actions: [view, archive]}]\n", 6,
         "the anonymous user may only have the view action"},
        {head + a + "tls:\n  certificate: c.pem\n", 6, "'tls' needs its 'certificate' and its 'key'"},
        // The events, the webhooks, the broker.
        {head + a + "events:\n  word1: Motion\n", 6, "a word's kind is 1-32 lower-case letters"},
        {head + a + "events:\n  word1: recorder-lost\n", 6, "not one of the gateway's own kinds"},
        {head + a + "events:\n  word4: motion\n", 6, "unknown key 'word4' in events"},
        {head + a + "events:\n  word1: motion\n  word2: motion\n", 6, "word1 and word2 both mean 'motion'"},
        {head + a + "events:\n  word1:\n    kind: motion\n    bits: {0: 2, 1: 4}\n", 8,
         "a bit stands for channel 4 but recorder 'a' serves channels 0-3"},
        {head + a + "    events:\n      word2:\n        bits: {16: 0}\n", 7,
         "'a bit' must be a whole number from 0 to 15"},
        {head + a + "    events:\n      word2:\n        bits: {1: 1}\n", 7, "a word's meaning needs its 'kind'"},
        {head + a + "webhooks:\n  - url: http://127.0.0.1:9/\n    kinds: [motion]\n", 7,
         "unknown event kind 'motion' (known: channel-lost"},
        {head + a + "webhooks:\n  - url: ftp://x/\n", 6, "a webhook's url begins with http:// or https://"},
        {head + a + "webhooks:\n  - kinds: [message]\n", 6, "a webhook needs a 'url'"},
        {head + a + "webhooks:\n  - url: http://x/\n    queue: 0\n", 7, "'queue' must be a whole number from 1"},
        {head + a + "mqtt:\n  port: 1883\n", 6, "'mqtt' needs the broker's 'host'"},
        {head + a + "mqtt:\n  host: b\n  password: env-secret-41\n", 7, "a password is not written"},
        {head + a + "mqtt:\n  host: b\n  topic-prefix: a/#\n", 7, "'topic-prefix' is a topic of one or more levels"},
        {head + a + "mqtt:\n  host: b\n  tls:\n    ca: x\n", 8, "unknown key 'ca' in tls"},
        {"webrtc:\n  addresses: [10.0.0.1, nowhere]\nrecorders: []\n", 2,
         "'addresses' are IP addresses, not 'nowhere'"},
        {"webrtc:\n  ports: 100-200\nrecorders: []\n", 2, "'ports' is a range of UDP ports"},
        {"webrtc:\n  stun: stun.example.net\nrecorders: []\n", 2, "'stun' is a URL: stun://HOST:PORT"},
        {"webrtc:\n  turn:\n    - url: turn://t:3478\n      user: u\n      password: env-secret-41\nrecorders: []\n", 5,
         "a password is not written"},
        {"webrtc:\n  turn:\n    - url: turn://t:3478\nrecorders: []\n", 3, "a TURN server needs its url, user and"},
    };
    for (const auto &c : cases) {
        const std::string path = Write("bad.yaml", c.body);
        SiteConfig site;
        std::string message;
        EXPECT_FALSE(LoadSiteConfig(path, site, message)) << c.body;
        const std::string where = c.line > 0 ? path + ":" + std::to_string(c.line) + ": " : path + ": ";
        EXPECT_EQ(0u, message.rfind(where, 0)) << "expected " << where << " in: " << message;
        EXPECT_NE(std::string::npos, message.find(c.says)) << message;
        EXPECT_EQ(std::string::npos, message.find("env-secret-41")) << message;
    }
    SiteConfig site;
    std::string message;
    EXPECT_FALSE(LoadSiteConfig(m_Dir + "/missing.yaml", site, message));
    EXPECT_EQ(m_Dir + "/missing.yaml: cannot read the file", message);
}

TEST_F(SiteConfigTest, TheEventsMeaningsWebhooksAndBrokerAreTakenAsWritten)
{
    const std::string path =
        Write("events.yaml", "events:\n  word2: video-loss\n  word3: {kind: alarm-input, bits: {0: 2, 15: 0}}\n"
                             "webhooks:\n  - url: https://hooks.example/k\n    kinds: [alarm-input, reload-refused]\n"
                             "  - url: http://127.0.0.1:9000/\n"
                             "mqtt:\n  host: broker\n  user: gw\n  password-env: KESTREL_TEST_SITE_PW\n"
                             "  tls: {ca-file: /etc/ca.pem}\n  discovery-prefix: off\n"
                             "recorders:\n  - name: a\n    address: 127.0.0.1\n"
                             "  - name: b\n    address: 127.0.0.2\n    channels: 2\n"
                             "    events: {word1: tamper}\n"
                             "  - name: c\n    address: 127.0.0.3\n    events: {word1: {kind: motion, bits: {}}}\n");
    SiteConfig site;
    std::string message;
    ASSERT_TRUE(LoadSiteConfig(path, site, message)) << message;
    const EventMap &a = site.recorders[0].events;
    EXPECT_EQ(site.events, a) << "a recorder without its own meanings takes the site's";
    EXPECT_EQ("word1", a.words[0].kind) << "the neutral name";
    EXPECT_EQ(7, a.words[0].channelOfBit[7]) << "bit i is channel i";
    EXPECT_EQ("video-loss", a.words[1].kind);
    EXPECT_EQ(2, a.words[2].channelOfBit[0]);
    EXPECT_EQ(0, a.words[2].channelOfBit[15]);
    EXPECT_EQ(-1, a.words[2].channelOfBit[1]) << "a bit not listed stands for no channel";
    EXPECT_EQ("tamper", site.recorders[1].events.words[0].kind);
    EXPECT_EQ("word2", site.recorders[1].events.words[1].kind) << "its own meanings replace the site's";
    EXPECT_EQ(-1, site.recorders[2].events.words[0].channelOfBit[0]);
    ASSERT_EQ(2u, site.webhooks.size());
    EXPECT_EQ((std::vector<std::string>{"alarm-input", "reload-refused"}), site.webhooks[0].kinds);
    EXPECT_TRUE(site.webhooks[1].kinds.empty()) << "every kind";
    EXPECT_EQ(256, site.webhooks[1].queue);
    EXPECT_EQ("broker", site.mqtt.host);
    EXPECT_EQ(1883, site.mqtt.port);
    EXPECT_EQ("env-secret-41", site.mqtt.password);
    EXPECT_TRUE(site.mqtt.tls);
    EXPECT_EQ("/etc/ca.pem", site.mqtt.caFile);
    EXPECT_EQ("kestrel", site.mqtt.topicPrefix);
    EXPECT_EQ("", site.mqtt.discoveryPrefix);
}

TEST_F(SiteConfigTest, TakesPasswordsAndDefaultsAndTheCommandLineRecorderIsNamedLive)
{
    const std::string path =
        Write("good.yaml", "listen: [127.0.0.1:0, \"8600\"]\nclients:\n  user: v\n  password-file: " + m_Dir +
                               "/secret.txt\nrecorders:\n  - name: a.b_c-1\n    address: 10.0.0.1\n"
                               "    password-env: KESTREL_TEST_SITE_PW\n    preload: all\n");
    SiteConfig site;
    std::string message;
    ASSERT_TRUE(LoadSiteConfig(path, site, message)) << message;
    ASSERT_EQ(2u, site.listen.size());
    EXPECT_EQ(8600, site.listen[1].port);
    EXPECT_EQ("127.0.0.1", site.listen[1].address);
    EXPECT_EQ("file-secret-17", site.rtspPassword);
    ASSERT_EQ(1u, site.recorders.size());
    const RecorderConfig &r = site.recorders[0];
    EXPECT_EQ("env-secret-41", r.password);
    EXPECT_EQ(4, r.channels);
    EXPECT_EQ(10000, r.lingerMs);
    EXPECT_TRUE(r.Preloaded(3));

    GatewayOptions o;
    o.host = "10.1.1.1";
    o.channels = 6;
    const SiteConfig single = SiteFromOptions(o);
    ASSERT_EQ(1u, single.recorders.size());
    EXPECT_EQ("live", single.recorders[0].name);
    EXPECT_EQ(6, single.recorders[0].channels);
    EXPECT_FALSE(single.recorders[0].Preloaded(0));
}

TEST_F(SiteConfigTest, TheWebrtcSectionSaysWhatABrowserIsOffered)
{
    const std::string path = Write("webrtc.yaml", "webrtc:\n  addresses: [127.0.0.1, '::1']\n  ports: 40000-40100\n"
                                                  "  stun: stun://stun.example.net:3478\n  turn:\n"
                                                  "    - url: turns://turn.example.net:5349\n      user: kestrel\n"
                                                  "      password-env: KESTREL_TEST_SITE_PW\nrecorders: []\n");
    SiteConfig site;
    std::string message;
    ASSERT_TRUE(LoadSiteConfig(path, site, message)) << message;
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "::1"}), site.webrtc.addresses);
    EXPECT_EQ(40000, site.webrtc.minPort);
    EXPECT_EQ(40100, site.webrtc.maxPort);
    EXPECT_EQ("stun://stun.example.net:3478", site.webrtc.stun);
    ASSERT_EQ(1u, site.webrtc.turn.size());
    EXPECT_EQ((WebrtcConfig::Turn{"turns://turn.example.net:5349", "kestrel", "env-secret-41"}), site.webrtc.turn[0]);
}

TEST(GatewayState, IsOneJsonDocumentWithEveryRecorderAndChannel)
{
    // The log's state line and /api/status are one document.
    GatewayStatus status;
    status.version = "1.2";
    status.uptime = 61.25;
    status.takenAtUnixMs = 1796792400123;  // 2026-12-09T05:00:00.123Z
    status.lastReload = ReloadStatus{1796792399000, "SIGHUP", false, "site.yaml:3: unknown key"};
    RecorderStatus r;
    r.name = "hall \"A\"\\";
    r.address = "127.0.0.1:5050";
    r.state = "reconnecting";
    r.nextAttemptInMs = 2000;
    r.logins = 3;
    r.sessionLosses = 2;
    r.lastError = "line\nbreak\x01";
    ChannelStatus c;
    c.channel = 6;
    c.name = "Channel 7";
    c.state = "reconnecting";
    c.linkState = "retrying";
    c.nextAttemptInMs = 4000;
    c.frames = 250;
    c.bytes = 123456;
    c.fps = 25.04;
    c.kbitPerSecond = 196.66;
    c.clients = {{"web", 1}, {"rtsp", 2}};
    c.skips = {{"web", 4}};
    c.reconnections = 1;
    c.keyframeAgeMs = 640;
    c.preload = true;
    c.cacheFrames = 16;
    c.cacheBytes = 17000;
    c.cacheState = "holding";
    c.rtspPath = "/hall/6";
    r.channels.push_back(c);
    r.channels.push_back(ChannelStatus{});
    status.recorders.push_back(r);
    EXPECT_EQ(
        "{\"version\":\"1.2\",\"uptime\":61.25,\"time\":\"2026-12-09T05:00:00.123Z\",\"last_reload\":{"
        "\"time\":\"2026-12-09T04:59:59.000Z\",\"trigger\":\"SIGHUP\",\"result\":\"refused\","
        "\"message\":\"site.yaml:3: unknown key\"},\"recorders\":[{\"name\":"
        "\"hall \\\"A\\\"\\\\\",\"address\":\"127.0.0.1:5050\",\"state\":\"reconnecting\","
        "\"next_attempt_in_ms\":2000,\"next_attempt_at\":\"2026-12-09T05:00:02.123Z\",\"logins\":3,"
        "\"session_losses\":2,\"last_error\":\"line\\nbreak\\u0001\",\"channels\":[{\"channel\":6,\"name\":"
        "\"Channel 7\",\"state\":\"reconnecting\",\"link_state\":\"retrying\",\"next_attempt_in_ms\":4000,"
        "\"next_attempt_at\":\"2026-12-09T05:00:04.123Z\",\"frames\":250,\"bytes\":123456,\"fps\":25.04,"
        "\"kbit_per_s\":196.66,\"keyframe_age_ms\":640,\"reconnections\":1,\"clients\":{\"rtsp\":2,\"web\":1},"
        "\"web_skips\":4,\"sent_bytes\":{\"rtsp\":0,\"web\":0},\"reports\":{},\"preload\":true,\"cache_frames\":16,"
        "\"cache_bytes\":17000,\"cache_state\":\"holding\","
        "\"last_error\":\"\",\"stream\":\"\",\"snapshot\":\"\",\"rtsp\":\"/hall/6\"},{\"channel\":0,\"name\":\"\","
        "\"state\":\"idle\",\"link_state\":\"idle\",\"next_attempt_in_ms\":null,\"next_attempt_at\":null,"
        "\"frames\":0,\"bytes\":0,\"fps\":0,\"kbit_per_s\":0,\"keyframe_age_ms\":null,\"reconnections\":0,"
        "\"clients\":{\"rtsp\":0,\"web\":0},\"web_skips\":0,\"sent_bytes\":{\"rtsp\":0,\"web\":0},\"reports\":{},"
        "\"preload\":false,\"cache_frames\":0,"
        "\"cache_bytes\":0,\"cache_state\":\"no keyframe yet\",\"last_error\":\"\",\"stream\":\"\","
        "\"snapshot\":\"\",\"rtsp\":\"\"}]}]}",
        StatusJson(status));
    GatewayStatus empty;
    empty.takenAtUnixMs = -1;
    EXPECT_EQ("{\"version\":\"\",\"uptime\":0,\"time\":null,\"last_reload\":null,\"recorders\":[]}", StatusJson(empty));
}

}  // namespace
}  // namespace kn::gateway
