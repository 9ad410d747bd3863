#include "tools/programs/gateway/events/event_stream.h"

#include <libsoup/soup.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "tools/programs/gateway/events/event_bus.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

constexpr guint kKeepOpenSeconds = 15;
constexpr size_t kClientQueue = 1024;           // events not yet written to a client
constexpr uint64_t kUnsentLimit = 1024 * 1024;  // text written but not yet sent

void Reply(SoupServerMessage *msg, guint status, const std::string &text)
{
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, text.data(), text.size());
}

// One client's stream, on the main loop; woken from the publishers'
// threads through an idle source.
struct Client : std::enable_shared_from_this<Client> {
    SoupServerMessage *msg = nullptr;  // a reference of its own
    ISiteDirectory *directory = nullptr;
    std::string user;
    std::shared_ptr<CEventQueue> queue;
    std::atomic<bool> scheduled{false};
    bool finished = false;
    guint keepOpen = 0;
    uint64_t written = 0, sent = 0;

    ~Client()
    {
        if (msg != nullptr) {
            g_object_unref(msg);
        }
    }

    void Write(const std::string &text)
    {
        soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_COPY, text.data(),
                                 text.size());
        soup_server_message_unpause(msg);
        written += text.size();
    }

    // Writes what the queue holds that the user may see.
    void Flush()
    {
        scheduled = false;
        if (finished) {
            return;
        }
        std::string text;
        for (const Event &e : queue->Take()) {
            if (directory->May(user, Action::Status, e.recorder, e.channel)) {
                text += "id: " + std::to_string(e.id) + "\ndata: " + e.ToJson() + "\n\n";
            }
        }
        if (text.empty()) {
            return;
        }
        if (written - sent > kUnsentLimit) {
            Log("event stream: a client reads too slowly: ended (it may come back with its Last-Event-ID)");
            soup_message_body_complete(soup_server_message_get_response_body(msg));
            soup_server_message_unpause(msg);
            finished = true;
            return;
        }
        Write(text);
    }

    // From any thread: the queue has events.
    void Wake()
    {
        if (scheduled.exchange(true)) {
            return;
        }
        auto *weak = new std::weak_ptr<Client>(weak_from_this());
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            +[](gpointer data) -> gboolean {
                if (const auto c = static_cast<std::weak_ptr<Client> *>(data)->lock()) {
                    c->Flush();
                }
                return G_SOURCE_REMOVE;
            },
            weak, [](gpointer data) { delete static_cast<std::weak_ptr<Client> *>(data); });
    }
};

class CEventStreamRoute final : public IHttpRoute {
public:
    explicit CEventStreamRoute(ISiteDirectory &directory) : m_Directory(directory) {}
    ~CEventStreamRoute() override { EndAll(); }

    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user) override
    {
        if (path != "/api/events") {
            return false;
        }
        const std::string method = soup_server_message_get_method(msg);
        if (method != "GET" && method != "HEAD") {
            soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
            Reply(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "GET or HEAD\n");
            return true;
        }
        if (!m_Directory.May(user, Action::Status, "", -1)) {
            Reply(msg, SOUP_STATUS_FORBIDDEN, "not allowed to see the events\n");
            return true;
        }
        EventFilter filter;
        std::string problem;
        std::optional<uint64_t> after;
        const char *last = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Last-Event-ID");
        if (query != nullptr) {
            if (const char *r = static_cast<const char *>(g_hash_table_lookup(query, "recorder"))) {
                filter.recorder = r;
            }
            if (const char *k = static_cast<const char *>(g_hash_table_lookup(query, "kind"))) {
                // soup gives a repeated key's values joined with commas.
                std::string all = k;
                for (size_t at = 0; at <= all.size();) {
                    const size_t end = std::min(all.find(',', at), all.size());
                    if (end > at) {
                        filter.kinds.push_back(all.substr(at, end - at));
                    }
                    at = end + 1;
                }
            }
            if (last == nullptr) {
                last = static_cast<const char *>(g_hash_table_lookup(query, "last-event-id"));
            }
        }
        if (last != nullptr && *last != '\0') {
            char *end = nullptr;
            after = std::strtoull(last, &end, 10);
            if (*end != '\0' || *last == '-') {
                Reply(msg, SOUP_STATUS_BAD_REQUEST, "Last-Event-ID is an event's id (a whole number)\n");
                return true;
            }
        }
        SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
        soup_message_headers_set_content_type(headers, "text/event-stream", nullptr);
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
        soup_message_headers_replace(headers, "X-Accel-Buffering", "no");
        if (method == "HEAD") {
            soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
            return true;
        }
        soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
        soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);

        auto client = std::make_shared<Client>();
        client->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
        client->directory = &m_Directory;
        client->user = user;
        std::weak_ptr<Client> weak = client;
        client->queue = m_Directory.Events().Subscribe(
            filter, kClientQueue,
            [weak] {
                if (const auto c = weak.lock()) {
                    c->Wake();
                }
            },
            after);
        m_Clients.push_back(client);
        // The first line says how soon to come back; the replay follows.
        client->Write("retry: 2000\n\n");
        client->Wake();
        client->keepOpen = g_timeout_add_seconds_full(
            G_PRIORITY_DEFAULT, kKeepOpenSeconds,
            +[](gpointer data) -> gboolean {
                if (const auto c = static_cast<std::weak_ptr<Client> *>(data)->lock(); c && !c->finished) {
                    c->Write(": keep-alive\n\n");
                }
                return G_SOURCE_CONTINUE;
            },
            new std::weak_ptr<Client>(weak), [](gpointer data) { delete static_cast<std::weak_ptr<Client> *>(data); });
        auto *self = this;
        struct Hook {
            CEventStreamRoute *route;
            std::weak_ptr<Client> client;
        };
        g_signal_connect_data(
            msg, "wrote-body-data", G_CALLBACK(+[](SoupServerMessage *, guint size, gpointer data) {
                if (const auto c = static_cast<Hook *>(data)->client.lock()) {
                    c->sent += size;
                }
            }),
            new Hook{self, weak}, [](gpointer data, GClosure *) { delete static_cast<Hook *>(data); },
            static_cast<GConnectFlags>(0));
        g_signal_connect_data(
            msg, "finished", G_CALLBACK(+[](SoupServerMessage *, gpointer data) {
                auto *hook = static_cast<Hook *>(data);
                if (const auto c = hook->client.lock()) {
                    hook->route->End(c);
                }
            }),
            new Hook{self, weak}, [](gpointer data, GClosure *) { delete static_cast<Hook *>(data); },
            static_cast<GConnectFlags>(0));
        return true;
    }

    // Ends every client's stream (the gateway is stopping).
    void EndAll()
    {
        const auto clients = m_Clients;
        for (const auto &c : clients) {
            if (!c->finished) {
                c->finished = true;
                soup_message_body_complete(soup_server_message_get_response_body(c->msg));
                soup_server_message_unpause(c->msg);
            }
            End(c);
        }
    }

private:
    void End(const std::shared_ptr<Client> &c)
    {
        c->finished = true;
        if (c->keepOpen != 0) {
            g_source_remove(c->keepOpen);
            c->keepOpen = 0;
        }
        m_Directory.Events().Unsubscribe(c->queue);
        std::erase(m_Clients, c);
    }

    ISiteDirectory &m_Directory;
    std::vector<std::shared_ptr<Client>> m_Clients;  // the main loop's
};

class CEventStreamFront final : public IFront {
public:
    explicit CEventStreamFront(ISiteDirectory &directory)
        : m_Directory(directory), m_pRoute(std::make_shared<CEventStreamRoute>(directory))
    {}
    bool Start(std::string &) override
    {
        m_Directory.AddHttpRoute(m_pRoute);
        return true;
    }
    void Stop() override { m_pRoute->EndAll(); }

private:
    ISiteDirectory &m_Directory;
    std::shared_ptr<CEventStreamRoute> m_pRoute;
};

}  // namespace

std::unique_ptr<IFront> MakeEventStreamFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (!site.http) {
        return nullptr;  // no HTTP listener to serve on
    }
    return std::make_unique<CEventStreamFront>(directory);
}

}  // namespace kn::gateway
