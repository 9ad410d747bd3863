#include "tools/programs/gateway/events/webhooks.h"

#include <libsoup/soup.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr guint kAnswerSeconds = 5;  // a receiver that takes longer has failed this attempt
constexpr int kAttempts = 4;         // the first and three more, 1, 2 and 4 s apart
constexpr std::chrono::milliseconds kQueueWait{500};
constexpr std::chrono::seconds kDropLogEvery{10};

class CWebhook {
public:
    CWebhook(const WebhookConfig &config, CEventBus &bus) : m_Config(config), m_Bus(bus) {}
    ~CWebhook() { Stop(); }

    bool Start(std::string &message)
    {
        GUri *uri = g_uri_parse(m_Config.url.c_str(), G_URI_FLAGS_NONE, nullptr);
        if (uri == nullptr || g_uri_get_host(uri) == nullptr || *g_uri_get_host(uri) == '\0') {
            if (uri != nullptr) {
                g_uri_unref(uri);
            }
            message = "webhook " + m_Config.url + ": not a URL the gateway can post to";
            return false;
        }
        g_uri_unref(uri);
        m_pCancel = g_cancellable_new();
        m_pQueue = m_Bus.Subscribe(EventFilter{"", m_Config.kinds}, static_cast<size_t>(m_Config.queue));
        m_Thread = std::thread([this] { Run(); });
        return true;
    }

    void Stop()
    {
        if (!m_Thread.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lk(m_Mutex);
            m_bStop = true;
        }
        m_Cond.notify_all();
        g_cancellable_cancel(m_pCancel);
        m_pQueue->Poke();
        m_Thread.join();
        m_Bus.Unsubscribe(m_pQueue);
        g_clear_object(&m_pCancel);
    }

private:
    void Run()
    {
        // The session belongs to this thread's own context.
        GMainContext *context = g_main_context_new();
        g_main_context_push_thread_default(context);
        SoupSession *session = soup_session_new_with_options("timeout", kAnswerSeconds, "idle-timeout", 60,
                                                             "user-agent", "kestrel-gateway", nullptr);
        uint64_t dropped = 0;
        auto loggedAt = std::chrono::steady_clock::now() - kDropLogEvery;
        while (true) {
            const bool stopping = Stopping();
            Event e;
            if (!stopping && m_pQueue->Wait(e, kQueueWait)) {
                Post(session, e);
            }
            // What was dropped, at most every 10 s, and at the end.
            const uint64_t d = m_pQueue->Dropped();
            const auto now = std::chrono::steady_clock::now();
            if (d != dropped && (stopping || now - loggedAt >= kDropLogEvery)) {
                Log("webhook %s: %llu event(s) dropped so far: its queue (%d) was full", m_Config.url.c_str(),
                    static_cast<unsigned long long>(d), m_Config.queue);
                dropped = d;
                loggedAt = now;
            }
            if (stopping) {
                break;
            }
        }
        g_object_unref(session);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    bool Stopping()
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_bStop;
    }

    void Post(SoupSession *session, const Event &e)
    {
        const std::string body = e.ToJson();
        std::string why;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            if (attempt > 0) {
                std::unique_lock<std::mutex> lk(m_Mutex);
                if (m_Cond.wait_for(lk, std::chrono::seconds(1 << (attempt - 1)), [this] { return m_bStop; })) {
                    return;
                }
            }
            SoupMessage *msg = soup_message_new("POST", m_Config.url.c_str());
            if (msg == nullptr) {
                return;
            }
            GBytes *bytes = g_bytes_new(body.data(), body.size());
            soup_message_set_request_body_from_bytes(msg, "application/json", bytes);
            g_bytes_unref(bytes);
            GError *error = nullptr;
            GBytes *answer = soup_session_send_and_read(session, msg, m_pCancel, &error);
            const guint status = soup_message_get_status(msg);
            g_object_unref(msg);
            if (answer != nullptr) {
                g_bytes_unref(answer);
            }
            if (error != nullptr) {
                why = error->message;
                const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
                g_error_free(error);
                if (cancelled) {
                    return;
                }
                continue;
            }
            if (status >= 200 && status < 300) {
                return;
            }
            why = "answered " + std::to_string(status);
            if (status < 500 && status != 408 && status != 429) {
                break;  // the receiver will not take it
            }
        }
        Log("webhook %s: event %llu (%s) not delivered: %s", m_Config.url.c_str(),
            static_cast<unsigned long long>(e.id), e.kind.c_str(), why.c_str());
    }

    const WebhookConfig m_Config;
    CEventBus &m_Bus;
    std::shared_ptr<CEventQueue> m_pQueue;
    GCancellable *m_pCancel = nullptr;
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    bool m_bStop = false;
    std::thread m_Thread;
};

class CWebhooksFront final : public IFront {
public:
    CWebhooksFront(const std::vector<WebhookConfig> &hooks, CEventBus &bus)
    {
        for (const WebhookConfig &h : hooks) {
            m_Hooks.push_back(std::make_unique<CWebhook>(h, bus));
        }
    }
    bool Start(std::string &message) override
    {
        for (const auto &h : m_Hooks) {
            if (!h->Start(message)) {
                return false;
            }
        }
        Log("webhooks: posting events to %zu URL(s)", m_Hooks.size());
        return true;
    }
    void Stop() override
    {
        for (const auto &h : m_Hooks) {
            h->Stop();
        }
    }

private:
    std::vector<std::unique_ptr<CWebhook>> m_Hooks;
};

}  // namespace

std::unique_ptr<IFront> MakeWebhooksFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (site.webhooks.empty()) {
        return nullptr;
    }
    return std::make_unique<CWebhooksFront>(site.webhooks, directory.Events());
}

}  // namespace kn::gateway
