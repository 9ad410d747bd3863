// The event path's outputs against real peers on loopback: the webhooks
// against small local receivers (one that answers, one that answers 500,
// one that hangs), MQTT against Debian's mosquitto broker with mosquitto_sub
// reading what it retains, the discovery documents checked against Home
// Assistant's documented schema for binary sensors and images.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/child_process.h"
#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/events/mqtt_front.h"
#include "tools/programs/gateway/events/webhooks.h"

namespace kn::gateway {
namespace {

using namespace std::chrono_literals;
using test::CChildProcess;

// The directory as the outputs see it: the bus and the recorders.
class CTestDirectory final : public ISiteDirectory {
public:
    void AddObserver(ISiteObserver *o) override
    {
        m_Observers.insert(o);
        for (const RecorderEntry &r : m_Recorders) {
            o->RecorderAdded(r);
        }
    }
    void RemoveObserver(ISiteObserver *o) override { m_Observers.erase(o); }
    std::unique_ptr<CStreamReader> OpenReader(const std::string &, int, std::shared_ptr<IClientSink>,
                                              const ReaderOptions &) override
    {
        return nullptr;
    }
    std::shared_ptr<CChannelHub> Stream(const std::string &, int) const override { return nullptr; }
    std::shared_ptr<CArchiveGate> Archive(const std::string &) const override { return nullptr; }
    bool May(const std::string &, Action, const std::string &, int) const override { return true; }
    const CAccess &Access() const override { return m_Access; }
    GatewayStatus Status() const override { return {}; }
    void AddHttpRoute(std::shared_ptr<IHttpRoute>) override {}
    std::vector<std::shared_ptr<IHttpRoute>> HttpRoutes() const override { return {}; }
    CEventBus &Events() override { return m_Bus; }

    void Add(const RecorderEntry &r)
    {
        m_Recorders.push_back(r);
        for (ISiteObserver *o : m_Observers) {
            o->RecorderAdded(r);
        }
    }
    void Remove(const std::string &name, int channels)
    {
        std::erase_if(m_Recorders, [&](const RecorderEntry &r) { return r.name == name; });
        for (ISiteObserver *o : m_Observers) {
            o->RecorderRemoved(name, channels);
        }
    }

    CEventBus m_Bus;

private:
    CAccess m_Access;
    std::vector<RecorderEntry> m_Recorders;
    std::set<ISiteObserver *> m_Observers;
};

int Listener(uint16_t &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// A webhook receiver: takes each POST's body, and answers 204, 500, or
// never.
class CReceiver {
public:
    enum class Mode { Answer, Fail, Hang };
    explicit CReceiver(Mode mode) : m_Mode(mode), m_Fd(Listener(m_wPort))
    {
        m_Thread = std::thread([this] { Run(); });
    }
    ~CReceiver()
    {
        m_bStop = true;
        m_Thread.join();
        for (std::thread &t : m_Connections) {
            t.join();
        }
        for (const int c : m_Held) {
            ::close(c);
        }
        ::close(m_Fd);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_wPort) + "/hook"; }
    // Waits (bounded) until count bodies came; all of them.
    std::vector<std::string> Bodies(size_t count, std::chrono::milliseconds within)
    {
        std::unique_lock<std::mutex> lk(m_Mutex);
        m_Cond.wait_for(lk, within, [&] { return m_Bodies.size() >= count; });
        return m_Bodies;
    }

private:
    void Run()
    {
        while (!m_bStop) {
            pollfd p{m_Fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const int c = ::accept(m_Fd, nullptr, nullptr);
            if (c >= 0) {
                m_Connections.emplace_back([this, c] { Serve(c); });
            }
        }
    }
    // One connection, its requests one after the other (keep-alive).
    void Serve(int c)
    {
        std::string in;
        char buf[4096];
        while (!m_bStop) {
            const size_t head = in.find("\r\n\r\n");
            if (head != std::string::npos) {
                const size_t at = in.find("Content-Length: ");
                const size_t length = at < head ? std::stoul(in.substr(at + 16)) : 0;
                if (in.size() >= head + 4 + length) {
                    {
                        std::lock_guard<std::mutex> lk(m_Mutex);
                        m_Bodies.push_back(in.substr(head + 4, length));
                    }
                    m_Cond.notify_all();
                    in.erase(0, head + 4 + length);
                    if (m_Mode == Mode::Hang) {
                        std::lock_guard<std::mutex> lk(m_Mutex);
                        m_Held.push_back(c);  // never answered, closed at the end
                        return;
                    }
                    const std::string answer = m_Mode == Mode::Answer
                                                   ? "HTTP/1.1 204 No Content\r\n\r\n"
                                                   : "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n";
                    if (::send(c, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
                        break;
                    }
                    continue;
                }
            }
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            in.append(buf, static_cast<size_t>(n));
        }
        ::close(c);
    }

    const Mode m_Mode;
    uint16_t m_wPort = 0;
    const int m_Fd;
    std::atomic<bool> m_bStop{false};
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::vector<std::string> m_Bodies;
    std::vector<int> m_Held;
    std::vector<std::thread> m_Connections;  // the accepting thread's
    std::thread m_Thread;
};

TEST(EventOutputs, EachWebhookGetsItsKindsAndNeitherAFailingNorAHangingReceiverHoldsBackAnother)
{
    CReceiver good(CReceiver::Mode::Answer), failing(CReceiver::Mode::Fail), hanging(CReceiver::Mode::Hang);
    CTestDirectory directory;
    SiteConfig site;
    site.webhooks = {WebhookConfig{good.Url(), {"motion", "recorder-lost"}, 256},
                     WebhookConfig{failing.Url(), {"reload-refused"}, 256}, WebhookConfig{hanging.Url(), {}, 4}};
    const auto front = MakeWebhooksFront(site, directory);
    ASSERT_NE(nullptr, front);
    std::string message;
    ASSERT_TRUE(front->Start(message)) << message;
    testing::internal::CaptureStderr();
    std::vector<std::string> wanted;
    directory.m_Bus.Publish(GatewayEvent(EventKind::ReloadRefused, "", -1, "site.yaml:4: no"));
    for (int i = 0; i < 30; ++i) {
        Event e;
        if (i % 3 == 0) {
            e = GatewayEvent(EventKind::RecorderLost, "hall", -1, "gone");
        } else {
            e.type = EventKind::State;
            e.kind = i % 3 == 1 ? "motion" : "video-loss";
            e.recorder = "hall";
            e.channel = i % 8;
            e.active = true;
        }
        const uint64_t id = directory.m_Bus.Publish(e);
        if (e.kind != "video-loss") {
            e.id = id;
            wanted.push_back(std::to_string(id));
        }
    }
    // Every event of its kinds, in order, each one JSON object.
    const auto bodies = good.Bodies(wanted.size(), 10s);
    ASSERT_EQ(wanted.size(), bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) {
        const auto j = nlohmann::json::parse(bodies[i], nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << bodies[i];
        EXPECT_EQ(wanted[i], std::to_string(j.value("id", 0))) << bodies[i];
        EXPECT_EQ("hall", j.value("recorder", ""));
    }
    EXPECT_LE(hanging.Bodies(1, 2s).size(), 2u) << "the hanging receiver is still on its first event";
    // The failing receiver: the event and three more tries, 1, 2 and 4 s
    // apart, then nothing more.
    const auto tries = failing.Bodies(4, 12s);
    ASSERT_EQ(4u, tries.size());
    EXPECT_EQ(tries[0], tries[3]);
    EXPECT_NE(std::string::npos, tries[0].find("\"kind\":\"reload-refused\""));
    EXPECT_EQ(4u, failing.Bodies(5, 1500ms).size());
    front->Stop();  // with a POST hanging: cancelled, not waited out
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("event 1 (reload-refused) not delivered: answered 500")) << log;
    // The hanging one queued four (and had taken the first, or not yet).
    EXPECT_TRUE(std::regex_search(log, std::regex(hanging.Url() + ": 2[67] event\\(s\\) dropped so far"))) << log;
}

// Debian's broker on a free loopback port, and its clients.
class CBroker {
public:
    bool Start(const std::string &dir, uint16_t port = 0)
    {
        if (port == 0) {
            const int fd = Listener(port);
            ::close(fd);
        }
        m_wPort = port;
        m_Dir = dir;
        std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
        if (!m_Process.Start(KN_MOSQUITTO_BIN, {"-c", dir + "/mosquitto.conf"}, dir + "/mosquitto.out",
                             dir + "/mosquitto.log")) {
            return false;
        }
        // Ready once it takes a connection.
        for (int i = 0; i < 200; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            ::close(fd);
            if (up) {
                return true;
            }
            std::this_thread::sleep_for(25ms);
        }
        return false;
    }
    void Stop() { m_Process.Kill(); }
    uint16_t Port() const { return m_wPort; }

    // What the broker retains under the filters: topic -> payload.
    std::map<std::string, std::string> Retained(const std::vector<std::string> &filters)
    {
        std::vector<std::string> args{"-h", "127.0.0.1", "-p", std::to_string(m_wPort), "--retained-only",
                                      "-W", "2",         "-v"};
        for (const std::string &f : filters) {
            args.insert(args.end(), {"-t", f});
        }
        CChildProcess sub;
        const std::string out = m_Dir + "/sub.out";
        std::map<std::string, std::string> retained;
        if (!sub.Start(KN_MOSQUITTO_SUB_BIN, args, out, m_Dir + "/sub.err")) {
            return retained;
        }
        sub.Wait(5s);  // it ends when nothing more comes for 2 s
        std::istringstream lines(test::ReadText(out));
        for (std::string line; std::getline(lines, line);) {
            const size_t space = line.find(' ');
            retained[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
        }
        return retained;
    }
    void Publish(const std::string &topic, const std::string &payload)
    {
        CChildProcess pub;
        pub.Start(KN_MOSQUITTO_PUB_BIN,
                  {"-h", "127.0.0.1", "-p", std::to_string(m_wPort), "-r", "-q", "1", "-t", topic, "-m", payload},
                  m_Dir + "/pub.out", m_Dir + "/pub.err");
        pub.Wait(5s);
    }

private:
    CChildProcess m_Process;
    uint16_t m_wPort = 0;
    std::string m_Dir;
};

// Home Assistant's MQTT discovery schema, the parts that apply: a binary
// sensor needs its state_topic, an image its url_topic (or image_topic, not
// both); both take name, unique_id, availability (a list of topics) with
// availability_mode all, any or latest, a device with identifiers; a
// binary sensor's device_class is one of the documented classes.
void CheckDiscovery(const std::string &topic, const std::string &payload)
{
    static const std::set<std::string> kClasses{"battery",
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
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    ASSERT_TRUE(j.is_object()) << topic << " " << payload;
    const bool image = topic.find("/image/") != std::string::npos;
    EXPECT_TRUE(j["name"].is_string()) << payload;
    EXPECT_TRUE(j["unique_id"].is_string()) << payload;
    ASSERT_TRUE(j["availability"].is_array()) << payload;
    for (const auto &a : j["availability"]) {
        EXPECT_TRUE(a["topic"].is_string()) << payload;
    }
    EXPECT_TRUE(j["availability_mode"] == "all" || j["availability_mode"] == "any" ||
                j["availability_mode"] == "latest");
    EXPECT_TRUE(j["device"]["identifiers"].is_array()) << payload;
    if (image) {
        EXPECT_TRUE(j["url_topic"].is_string()) << payload;
        EXPECT_FALSE(j.contains("image_topic")) << "url_topic and image_topic exclude each other";
    } else {
        EXPECT_TRUE(j["state_topic"].is_string()) << payload;
        EXPECT_EQ("ON", j.value("payload_on", "ON"));
        if (j.contains("device_class")) {
            EXPECT_EQ(1u, kClasses.count(j["device_class"])) << payload;
        }
    }
}

TEST(EventOutputs, MqttRetainsStatesAndDiscoveryRemovesWhatLeftAndPublishesAgainAfterTheBrokerCameBack)
{
    char pattern[] = "/tmp/kestrel-mqtt-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const std::string dir = pattern;
    CBroker broker;
    ASSERT_TRUE(broker.Start(dir)) << test::ReadText(dir + "/mosquitto.log");
    // A document of a recorder that left the site while the gateway was down.
    broker.Publish("homeassistant/binary_sensor/kestrel-gateway/old_0_motion/config", "{\"state_topic\":\"x\"}");

    CTestDirectory directory;
    directory.Add(RecorderEntry{"hall", 2, nullptr, {"motion", "word2"}});
    SiteConfig site;
    site.httpListen = ListenAddress{"127.0.0.1", 8560};
    site.mqtt.host = "127.0.0.1";
    site.mqtt.port = broker.Port();
    auto front = MakeMqttFront(site, directory);
    ASSERT_NE(nullptr, front);
    std::string message;
    ASSERT_TRUE(front->Start(message)) << message;
    directory.m_Bus.Publish(GatewayEvent(EventKind::RecorderLoggedIn, "hall"));
    Event motion;
    motion.type = EventKind::State;
    motion.kind = "motion";
    motion.recorder = "hall";
    motion.channel = 1;
    motion.active = true;
    directory.m_Bus.Publish(motion);

    std::map<std::string, std::string> r;
    for (int i = 0; i < 10 && (r["kestrel/hall/1/motion"] != "ON" ||
                               r.count("homeassistant/binary_sensor/kestrel-gateway/old_0_motion/config") > 0);
         ++i) {
        r = broker.Retained({"kestrel/#", "homeassistant/#"});
    }
    EXPECT_EQ("online", r["kestrel/status"]);
    EXPECT_EQ("online", r["kestrel/hall/availability"]);
    EXPECT_EQ("ON", r["kestrel/hall/1/motion"]);
    EXPECT_EQ("http://127.0.0.1:8560/hall/0.jpg", r["kestrel/hall/0/snapshot-url"]);
    EXPECT_EQ(0u, r.count("homeassistant/binary_sensor/kestrel-gateway/old_0_motion/config")) << "swept";
    int documents = 0;
    for (const auto &[topic, payload] : r) {
        if (topic.rfind("homeassistant/", 0) == 0) {
            ++documents;
            CheckDiscovery(topic, payload);
        }
    }
    EXPECT_EQ(6, documents) << "2 channels x (2 binary sensors + 1 image)";

    // The broker goes away; meanwhile the state ends; it comes back empty.
    broker.Stop();
    motion.active = false;
    directory.m_Bus.Publish(motion);
    ASSERT_TRUE(broker.Start(dir, broker.Port()));
    r.clear();
    // What the gateway publishes again after a connection comes in many
    // messages: a reading may fall between them.
    for (int i = 0; i < 10 && (r["kestrel/hall/1/motion"] != "OFF" ||
                               r.count("homeassistant/image/kestrel-gateway/hall_1_snapshot/config") == 0);
         ++i) {
        r = broker.Retained({"kestrel/#", "homeassistant/#"});
    }
    EXPECT_EQ("OFF", r["kestrel/hall/1/motion"]);
    EXPECT_EQ("online", r["kestrel/status"]);
    EXPECT_EQ(1u, r.count("homeassistant/image/kestrel-gateway/hall_1_snapshot/config"));

    // Back changed, with one channel: what channel 1 had goes, channel 0's stays.
    directory.Remove("hall", 2);
    directory.Add(RecorderEntry{"hall", 1, nullptr, {"motion", "word2"}});
    for (int i = 0; i < 10 && r.count("kestrel/hall/1/motion") > 0; ++i) {
        r = broker.Retained({"kestrel/#", "homeassistant/#"});
    }
    EXPECT_EQ(0u, r.count("kestrel/hall/1/motion"));
    EXPECT_EQ(0u, r.count("homeassistant/image/kestrel-gateway/hall_1_snapshot/config"));
    EXPECT_EQ(1u, r.count("homeassistant/image/kestrel-gateway/hall_0_snapshot/config"));
    EXPECT_EQ(1u, r.count("homeassistant/binary_sensor/kestrel-gateway/hall_0_word2/config"));

    // The recorder leaves the site: its documents and states go.
    directory.Remove("hall", 1);
    for (int i = 0; i < 10 && !r.empty() && r.count("kestrel/status") < r.size(); ++i) {
        r = broker.Retained({"kestrel/#", "homeassistant/#"});
    }
    EXPECT_EQ(1u, r.size()) << "only the gateway's status is left";
    front->Stop();
    r = broker.Retained({"kestrel/status"});
    EXPECT_EQ("offline", r["kestrel/status"]);
    broker.Stop();
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
}  // namespace kn::gateway
