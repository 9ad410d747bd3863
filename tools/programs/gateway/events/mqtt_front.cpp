#include "tools/programs/gateway/events/mqtt_front.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kBackoffFirstSeconds = 1;
constexpr unsigned kBackoffLastSeconds = 30;
constexpr size_t kQueue = 4096;
constexpr std::chrono::milliseconds kQueueWait{250};
// After a connection, what the broker still holds of documents for
// recorders no longer in the site is looked for once the present ones are out.
constexpr std::chrono::seconds kSweepAfter{3};
// A reload that changes a recorder removes it and adds it again a moment
// later: a lone removal waits this long for its add, so the entities that
// stay are not dropped and made again.
constexpr std::chrono::milliseconds kRemovalSettle{500};

std::string SnapshotBase(const SiteConfig &site)
{
    if (!site.mqtt.snapshotBase.empty()) {
        return site.mqtt.snapshotBase;
    }
    if (!site.http) {
        return "";
    }
    std::string host = site.httpListen.address;
    if (host.empty() || host == "0.0.0.0") {
        char name[256] = {};
        host = ::gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    }
    return "http://" + host + ":" + std::to_string(site.httpListen.port);
}

class CMqttFront final : public IFront, public ISiteObserver {
public:
    CMqttFront(const SiteConfig &site, ISiteDirectory &directory)
        : m_Config(site.mqtt), m_Snapshots(SnapshotBase(site)), m_Directory(directory)
    {}
    ~CMqttFront() override { Stop(); }

    bool Start(std::string &message) override
    {
        static std::once_flag once;
        std::call_once(once, [] { mosquitto_lib_init(); });
        m_pMosq = mosquitto_new(m_Config.clientId.c_str(), true, this);
        if (m_pMosq == nullptr) {
            message = "mqtt: the client could not be made";
            return false;
        }
        mosquitto_int_option(m_pMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        const std::string status = m_Config.topicPrefix + "/status";
        mosquitto_will_set(m_pMosq, status.c_str(), 7, "offline", 1, true);
        if (!m_Config.user.empty()) {
            mosquitto_username_pw_set(m_pMosq, m_Config.user.c_str(),
                                      m_Config.password.empty() ? nullptr : m_Config.password.c_str());
        }
        if (m_Config.tls) {
            const int rc =
                mosquitto_tls_set(m_pMosq, m_Config.caFile.empty() ? nullptr : m_Config.caFile.c_str(),
                                  m_Config.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                message = "mqtt: TLS: " + std::string(mosquitto_strerror(rc)) +
                          (m_Config.caFile.empty() ? "" : " (ca-file " + m_Config.caFile + ")");
                return false;
            }
        }
        mosquitto_reconnect_delay_set(m_pMosq, kBackoffFirstSeconds, kBackoffLastSeconds, true);
        mosquitto_connect_callback_set(
            m_pMosq, [](mosquitto *, void *self, int rc) { static_cast<CMqttFront *>(self)->OnConnect(rc); });
        mosquitto_disconnect_callback_set(
            m_pMosq, [](mosquitto *, void *self, int rc) { static_cast<CMqttFront *>(self)->OnDisconnect(rc); });
        mosquitto_message_callback_set(m_pMosq, [](mosquitto *, void *self, const mosquitto_message *m) {
            static_cast<CMqttFront *>(self)->OnMessage(m);
        });
        m_pQueue = m_Directory.Events().Subscribe(EventFilter{}, kQueue);
        m_Directory.AddObserver(this);
        m_bObserving = true;
        // Refused now or later, the client's loop tries again with backoff.
        const int rc = mosquitto_connect_async(m_pMosq, m_Config.host.c_str(), m_Config.port, kKeepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) {
            Log("mqtt: %s:%u: %s; trying again", m_Config.host.c_str(), static_cast<unsigned>(m_Config.port),
                rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        }
        if (mosquitto_loop_start(m_pMosq) != MOSQ_ERR_SUCCESS) {
            message = "mqtt: the client's thread did not start";
            return false;
        }
        m_bLoop = true;
        m_Worker = std::thread([this] { Run(); });
        Log("mqtt: publishing to %s:%u under %s%s", m_Config.host.c_str(), static_cast<unsigned>(m_Config.port),
            m_Config.topicPrefix.c_str(),
            m_Config.discoveryPrefix.empty() ? "" : (", discovery under " + m_Config.discoveryPrefix).c_str());
        return true;
    }

    void Stop() override
    {
        if (m_bObserving) {
            m_Directory.RemoveObserver(this);
            m_bObserving = false;
        }
        if (m_Worker.joinable()) {
            m_bStop = true;
            m_pQueue->Poke();
            m_Worker.join();
        }
        if (m_pQueue) {
            m_Directory.Events().Unsubscribe(m_pQueue);
            m_pQueue.reset();
        }
        if (m_pMosq != nullptr) {
            if (m_bLoop) {
                // Said before leaving, as the will would say it.
                Publish(m_Config.topicPrefix + "/status", "offline", true, 1);
                mosquitto_disconnect(m_pMosq);
                mosquitto_loop_stop(m_pMosq, false);
                m_bLoop = false;
            }
            mosquitto_destroy(m_pMosq);
            m_pMosq = nullptr;
        }
    }

    void RecorderAdded(const RecorderEntry &recorder) override
    {
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            m_Changes.push_back(Change{true, recorder.name, recorder.channels, recorder.stateKinds, {}});
        }
        if (m_pQueue) {
            m_pQueue->Poke();
        }
    }
    void RecorderRemoved(const std::string &name, int channels) override
    {
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            m_Changes.push_back(Change{false, name, channels, {}, std::chrono::steady_clock::now()});
        }
        if (m_pQueue) {
            m_pQueue->Poke();
        }
    }

private:
    struct Change {
        bool added;
        std::string name;
        int channels;
        std::vector<std::string> kinds;
        std::chrono::steady_clock::time_point at;  // of a removal
    };
    struct Recorder {
        int channels = 0;
        std::vector<std::string> kinds;
        bool online = false;
        std::map<std::string, bool> states;  // "CH/KIND": on
    };

    void OnConnect(int rc)
    {
        if (rc != 0) {
            Log("mqtt: %s:%u refused the connection: %s", m_Config.host.c_str(), static_cast<unsigned>(m_Config.port),
                mosquitto_connack_string(rc));
            return;
        }
        Log("mqtt: connected to %s:%u", m_Config.host.c_str(), static_cast<unsigned>(m_Config.port));
        m_bConnected = true;
        m_bFresh = true;
        m_pQueue->Poke();
    }

    void OnDisconnect(int rc)
    {
        m_bConnected = false;
        if (rc != 0 && !m_bStop) {
            Log("mqtt: the connection to %s:%u was lost; reconnecting", m_Config.host.c_str(),
                static_cast<unsigned>(m_Config.port));
        }
    }

    // A document the broker holds under the gateway's node: one no longer
    // published is removed.
    void OnMessage(const mosquitto_message *m)
    {
        if (m == nullptr || m->topic == nullptr || m->payloadlen == 0) {
            return;
        }
        std::lock_guard<std::mutex> lk(m_Mutex);
        if (m_Documents.count(m->topic) == 0) {
            mosquitto_publish(m_pMosq, nullptr, m->topic, 0, nullptr, 1, true);
        }
    }

    bool Publish(const std::string &topic, const std::string &payload, bool retain, int qos = 1)
    {
        return mosquitto_publish(m_pMosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                                 retain) == MOSQ_ERR_SUCCESS;
    }

    std::string RecorderTopic(const std::string &name) const { return m_Config.topicPrefix + "/" + name; }

    void PublishRecorder(const std::string &name, const Recorder &r)
    {
        Publish(RecorderTopic(name) + "/availability", r.online ? "online" : "offline", true);
        for (int ch = 0; ch < r.channels; ++ch) {
            if (!m_Snapshots.empty()) {
                Publish(RecorderTopic(name) + "/" + std::to_string(ch) + "/snapshot-url",
                        m_Snapshots + "/" + name + "/" + std::to_string(ch) + ".jpg", true);
            }
            if (!m_Config.discoveryPrefix.empty()) {
                for (const DiscoveryDocument &d : ChannelDiscovery(m_Config, m_Snapshots, name, ch, r.kinds)) {
                    Publish(d.topic, d.json, true);
                }
            }
        }
        for (const auto &[key, on] : r.states) {
            Publish(RecorderTopic(name) + "/" + key, on ? "ON" : "OFF", true);
        }
    }

    // Every retained topic of a recorder.
    std::set<std::string> Topics(const std::string &name, const Recorder &r) const
    {
        std::set<std::string> topics{RecorderTopic(name) + "/availability"};
        for (int ch = 0; ch < r.channels; ++ch) {
            topics.insert(RecorderTopic(name) + "/" + std::to_string(ch) + "/snapshot-url");
            for (const std::string &kind : r.kinds) {
                topics.insert(RecorderTopic(name) + "/" + std::to_string(ch) + "/" + kind);
            }
            if (!m_Config.discoveryPrefix.empty()) {
                for (const DiscoveryDocument &d : ChannelDiscovery(m_Config, m_Snapshots, name, ch, r.kinds)) {
                    topics.insert(d.topic);
                }
            }
        }
        return topics;
    }

    // Empty retained messages on what the recorder had and has no more (all
    // when it left): the broker forgets them, Home Assistant removes the
    // entities.
    void ClearRecorder(const std::string &name, const Recorder &before, const Recorder *now)
    {
        const std::set<std::string> keep = now != nullptr ? Topics(name, *now) : std::set<std::string>{};
        for (const std::string &topic : Topics(name, before)) {
            if (keep.count(topic) == 0) {
                Publish(topic, "", true);
            }
        }
    }

    void Documents()
    {
        std::set<std::string> topics;
        for (const auto &[name, r] : m_Recorders) {
            for (int ch = 0; ch < r.channels; ++ch) {
                for (const DiscoveryDocument &d : ChannelDiscovery(m_Config, m_Snapshots, name, ch, r.kinds)) {
                    topics.insert(d.topic);
                }
            }
        }
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Documents = std::move(topics);
    }

    void Run()
    {
        std::chrono::steady_clock::time_point sweepAt{};
        bool sweepDue = false;
        std::vector<Change> held;
        while (!m_bStop) {
            std::vector<Change> changes = std::move(held);
            held.clear();
            {
                std::lock_guard<std::mutex> lk(m_Mutex);
                changes.insert(changes.end(), std::make_move_iterator(m_Changes.begin()),
                               std::make_move_iterator(m_Changes.end()));
                m_Changes.clear();
            }
            changes = Settled(std::move(changes), held);
            // The documents that stay are known before any is published:
            // the sweep (below) must not take a new one for a stale one.
            std::vector<std::pair<std::string, Recorder>> gone;
            for (Change &c : changes) {
                if (const auto it = m_Recorders.find(c.name); it != m_Recorders.end()) {
                    gone.emplace_back(c.name, std::move(it->second));
                    m_Recorders.erase(it);
                }
                if (c.added) {
                    m_Recorders[c.name] = Recorder{c.channels, c.kinds, false, {}};
                }
            }
            if (!changes.empty()) {
                Documents();
            }
            for (const auto &[name, r] : gone) {
                const auto now = m_Recorders.find(name);
                ClearRecorder(name, r, now != m_Recorders.end() ? &now->second : nullptr);
            }
            for (const Change &c : changes) {
                if (c.added) {
                    PublishRecorder(c.name, m_Recorders[c.name]);
                }
            }
            if (m_bFresh.exchange(false)) {
                Publish(m_Config.topicPrefix + "/status", "online", true);
                for (const auto &[name, r] : m_Recorders) {
                    PublishRecorder(name, r);
                }
                sweepAt = std::chrono::steady_clock::now() + kSweepAfter;
                sweepDue = !m_Config.discoveryPrefix.empty();
            }
            if (sweepDue && m_bConnected && std::chrono::steady_clock::now() >= sweepAt) {
                sweepDue = false;
                const std::string node = DiscoveryNode(m_Config);
                for (const char *component : {"binary_sensor", "image"}) {
                    const std::string filter = m_Config.discoveryPrefix + "/" + component + "/" + node + "/+/config";
                    mosquitto_subscribe(m_pMosq, nullptr, filter.c_str(), 1);
                }
            }
            Event e;
            if (m_pQueue->Wait(e, kQueueWait)) {
                Take(e);
            }
        }
    }

    // The changes to act on now; a recorder whose last change is a removal
    // younger than the settle is held back whole, in order.
    static std::vector<Change> Settled(std::vector<Change> changes, std::vector<Change> &held)
    {
        const auto now = std::chrono::steady_clock::now();
        std::set<std::string> waiting;
        std::set<std::string> seen;
        for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
            if (seen.insert(it->name).second && !it->added && now < it->at + kRemovalSettle) {
                waiting.insert(it->name);
            }
        }
        std::vector<Change> ready;
        for (Change &c : changes) {
            (waiting.count(c.name) != 0 ? held : ready).push_back(std::move(c));
        }
        return ready;
    }

    void Take(const Event &e)
    {
        Publish(m_Config.topicPrefix + "/events", e.ToJson(), false, 0);
        const auto it = m_Recorders.find(e.recorder);
        if (it == m_Recorders.end()) {
            return;
        }
        Recorder &r = it->second;
        switch (e.type) {
        case EventKind::RecorderLoggedIn:
        case EventKind::RecorderBack:
        case EventKind::RecorderLost:
            r.online = e.type != EventKind::RecorderLost;
            Publish(RecorderTopic(e.recorder) + "/availability", r.online ? "online" : "offline", true);
            break;
        case EventKind::State: {
            const std::string key = std::to_string(e.channel) + "/" + e.kind;
            r.states[key] = e.active;
            Publish(RecorderTopic(e.recorder) + "/" + key, e.active ? "ON" : "OFF", true);
            break;
        }
        default: break;
        }
    }

    const MqttConfig m_Config;
    const std::string m_Snapshots;
    ISiteDirectory &m_Directory;
    mosquitto *m_pMosq = nullptr;
    bool m_bLoop = false;
    bool m_bObserving = false;
    std::shared_ptr<CEventQueue> m_pQueue;
    std::thread m_Worker;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bFresh{false};  // connected since the worker last published everything
    std::mutex m_Mutex;                 // m_Changes, m_Documents
    std::vector<Change> m_Changes;
    std::set<std::string> m_Documents;
    std::map<std::string, Recorder> m_Recorders;  // the worker's
};

}  // namespace

std::unique_ptr<IFront> MakeMqttFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (site.mqtt.host.empty()) {
        return nullptr;
    }
    return std::make_unique<CMqttFront>(site, directory);
}

}  // namespace kn::gateway
