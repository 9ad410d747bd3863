#include "tools/programs/gateway/hls/hls_front.h"

#include <glib.h>
#include <libsoup/soup.h>

#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "tools/programs/gateway/hls/hls_window.h"
#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/web/fmp4_stream.h"

namespace kn::gateway {

namespace {

// A cold channel's first request waits this long for the first part (the
// recorder's login and the channel's opening included).
constexpr guint kColdWaitMs = 10000;
// A blocking request (a playlist or a part not out yet) waits at most
// three target durations, then is answered 503.
constexpr guint kBlockWaitMs = 3 * kHlsTargetDurationS * 1000;
// A channel nobody asked for in this time is closed.
constexpr auto kIdle = std::chrono::seconds(60);
constexpr guint kIdleCheckS = 5;
// What the muxer may hold that the window has not taken.
constexpr size_t kMuxOutstanding = 4u << 20;

constexpr const char *kPlaylistType = "application/vnd.apple.mpegurl";
constexpr const char *kMediaType = "video/mp4";

using Clock = std::chrono::steady_clock;
using Key = std::pair<std::string, int>;

void Reply(SoupServerMessage *msg, guint status, const char *type, const uint8_t *data, size_t size)
{
    soup_server_message_set_status(msg, status, nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-store");
    soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, reinterpret_cast<const char *>(data), size);
}

void ReplyText(SoupServerMessage *msg, guint status, const std::string &text)
{
    Reply(msg, status, "text/plain", reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// What a request asks for.
enum class Asked { Playlist, Init, Media };

// The channel's muxer as the stream counts its readers: the HLS front's
// one reader of the channel, however many clients it serves.
class CHlsReader final : public IClientSink {
public:
    explicit CHlsReader(std::shared_ptr<CFmp4Stream> mux) : m_Mux(std::move(mux)) {}
    int64_t RunningTimeNs() override { return m_Mux->RunningTimeNs(); }
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override { return m_Mux->Push(data, size, ptsNs); }
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override { return m_Mux->PushShared(unit, ptsNs); }
    void End() override { m_Mux->End(); }
    std::string Peer() const override { return "hls"; }
    const char *Front() const override { return "hls"; }

private:
    const std::shared_ptr<CFmp4Stream> m_Mux;
};

// A request held until what it asks for is out, or its bound passes.
struct Waiter {
    SoupServerMessage *msg = nullptr;  // held (a reference) until answered
    Asked asked = Asked::Playlist;
    int64_t msn = -1;
    int64_t part = -1;
    guint timeout = 0;
    bool held = false;      // paused, with a reference of its own
    bool finished = false;  // the client went away
    bool answered = false;
};

// One channel's HLS: its reader and muxer, its window and the requests it
// holds. On the main loop only.
class CHlsChannel : public std::enable_shared_from_this<CHlsChannel> {
public:
    explicit CHlsChannel(Key key) : m_Key(std::move(key)), m_LastAsked(Clock::now()) {}
    ~CHlsChannel() { Close(503, "the channel closed"); }

    bool Open(ISiteDirectory &directory, std::string &message)
    {
        std::weak_ptr<CHlsChannel> weak = weak_from_this();
        m_Mux = std::make_shared<CFmp4Stream>(
            "hls", kMuxOutstanding,
            [weak](const uint8_t *data, size_t size) {
                if (auto self = weak.lock()) {
                    self->OnBytes(data, size);
                }
            },
            [weak] {
                if (auto self = weak.lock()) {
                    self->Close(503, "the channel's stream ended");
                }
            });
        if (!m_Mux->Start(message)) {
            return false;
        }
        // The cached group at once: the first part is out as soon as the
        // channel has a keyframe.
        ReaderOptions options;
        options.start = StartPolicy::CachedGroup;
        options.startNow = true;
        m_Reader = directory.OpenReader(m_Key.first, m_Key.second, std::make_shared<CHlsReader>(m_Mux), options);
        if (m_Reader == nullptr) {
            message = "no such channel";
            return false;
        }
        return true;
    }

    // Ends the reader and the muxer; requests held are answered.
    void Close(guint status, const char *why)
    {
        m_bClosed = true;
        m_Reader.reset();
        if (m_Mux != nullptr) {
            m_Mux->Stop();
            m_Mux.reset();
        }
        for (const auto &waiter : std::exchange(m_Waiters, {})) {
            Answer(*waiter, status, why);
        }
    }

    bool Closed() const { return m_bClosed; }
    bool Idle(Clock::time_point now) const { return m_Waiters.empty() && now - m_LastAsked > kIdle; }

    void Serve(SoupServerMessage *msg, Asked asked, int64_t msn, int64_t part)
    {
        m_LastAsked = Clock::now();
        auto waiter = std::make_shared<Waiter>();
        waiter->msg = msg;
        waiter->asked = asked;
        waiter->msn = msn;
        waiter->part = part;
        if (TryAnswer(*waiter)) {
            return;
        }
        // Held: a status keeps the gateway's other handlers off it.
        waiter->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
        waiter->held = true;
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_server_message_pause(msg);
        using Fn = std::function<void()>;
        g_signal_connect_data(
            msg, "finished", G_CALLBACK(+[](gpointer, gpointer data) { (*static_cast<Fn *>(data))(); }),
            new Fn([waiter] { waiter->finished = true; }),
            [](gpointer data, GClosure *) { delete static_cast<Fn *>(data); }, static_cast<GConnectFlags>(0));
        const bool cold = asked != Asked::Media && msn < 0;
        struct Expiry {
            std::weak_ptr<CHlsChannel> channel;
            std::weak_ptr<Waiter> waiter;
        };
        waiter->timeout = g_timeout_add_full(
            G_PRIORITY_DEFAULT, cold ? kColdWaitMs : kBlockWaitMs,
            [](gpointer data) -> gboolean {
                auto *e = static_cast<Expiry *>(data);
                auto channel = e->channel.lock();
                auto waiter = e->waiter.lock();
                if (channel != nullptr && waiter != nullptr) {
                    waiter->timeout = 0;
                    channel->Expire(waiter);
                }
                return G_SOURCE_REMOVE;
            },
            new Expiry{weak_from_this(), waiter}, [](gpointer data) { delete static_cast<Expiry *>(data); });
        m_Waiters.push_back(std::move(waiter));
    }

private:
    void OnBytes(const uint8_t *data, size_t size)
    {
        if (m_Mux != nullptr) {
            m_Mux->Delivered(size);
        }
        const int64_t nowMs = g_get_real_time() / 1000;
        const bool ok = m_Cutter.Feed(
            data, size, [this](const uint8_t *init, size_t n) { m_Window.SetInit(init, n); },
            [this, nowMs](const Fmp4Fragment &fragment) { m_Window.AddFragment(fragment, nowMs); });
        if (!ok) {
            Log("%s channel %d: HLS: the muxer's output cannot be read; the channel starts again", m_Key.first.c_str(),
                m_Key.second);
            Close(503, "the channel's muxer failed");
            return;
        }
        // Every held request whose answer is out now.
        std::vector<std::shared_ptr<Waiter>> held;
        held.swap(m_Waiters);
        for (auto &waiter : held) {
            if (!waiter->finished && !TryAnswer(*waiter)) {
                m_Waiters.push_back(std::move(waiter));
            } else if (waiter->finished) {
                Answer(*waiter, 0, nullptr);
            }
        }
    }

    void Expire(const std::shared_ptr<Waiter> &waiter)
    {
        for (auto it = m_Waiters.begin(); it != m_Waiters.end(); ++it) {
            if (*it == waiter) {
                m_Waiters.erase(it);
                break;
            }
        }
        Answer(*waiter, SOUP_STATUS_SERVICE_UNAVAILABLE,
               m_Window.HasParts() ? "not out within its bound" : "no picture from the channel yet");
    }

    // Answers the request when what it asks for is out (or never will
    // be); false to hold it.
    bool TryAnswer(Waiter &waiter)
    {
        if (m_bClosed) {
            Answer(waiter, SOUP_STATUS_SERVICE_UNAVAILABLE, "the channel closed");
            return true;
        }
        HlsWait wait = HlsWait::Wait;
        const uint8_t *data = nullptr;
        size_t size = 0;
        std::string playlist;
        const char *type = kMediaType;
        switch (waiter.asked) {
        case Asked::Playlist:
            wait = m_Window.PlaylistWait(waiter.msn, waiter.part);
            if (wait == HlsWait::Ready) {
                playlist = m_Window.Playlist();
                data = reinterpret_cast<const uint8_t *>(playlist.data());
                size = playlist.size();
                type = kPlaylistType;
            }
            break;
        case Asked::Init:
            if (!m_Window.Init().empty() && m_Window.HasParts()) {
                wait = HlsWait::Ready;
                data = m_Window.Init().data();
                size = m_Window.Init().size();
            }
            break;
        case Asked::Media: wait = m_Window.MediaWait(waiter.msn, waiter.part, data, size); break;
        }
        switch (wait) {
        case HlsWait::Wait: return false;
        case HlsWait::Ready: Answer(waiter, SOUP_STATUS_OK, nullptr, type, data, size); return true;
        case HlsWait::TooFar:
            Answer(waiter, SOUP_STATUS_BAD_REQUEST, "past the live edge by more than a client may wait for");
            return true;
        case HlsWait::Gone: Answer(waiter, SOUP_STATUS_NOT_FOUND, "not in the window"); return true;
        }
        return false;
    }

    // Answers once (status 0: the client is gone, nothing is said) and
    // lets a held message go.
    static void Answer(Waiter &waiter, guint status, const char *text, const char *type = nullptr,
                       const uint8_t *data = nullptr, size_t size = 0)
    {
        if (waiter.answered) {
            return;
        }
        waiter.answered = true;
        if (waiter.timeout != 0) {
            g_source_remove(waiter.timeout);
            waiter.timeout = 0;
        }
        if (status != 0 && !waiter.finished) {
            if (type != nullptr) {
                Reply(waiter.msg, status, type, data, size);
            } else {
                ReplyText(waiter.msg, status, std::string(text) + "\n");
            }
        }
        if (waiter.held) {
            if (!waiter.finished) {
                soup_server_message_unpause(waiter.msg);
            }
            g_object_unref(waiter.msg);
        }
        waiter.msg = nullptr;
    }

    const Key m_Key;
    Clock::time_point m_LastAsked;
    std::shared_ptr<CFmp4Stream> m_Mux;
    std::unique_ptr<CStreamReader> m_Reader;
    CFragmentCutter m_Cutter;
    CHlsWindow m_Window;
    std::vector<std::shared_ptr<Waiter>> m_Waiters;
    bool m_bClosed = false;
};

// The front's paths on the gateway's HTTP listener.
class CHlsRoute final : public IHttpRoute, public ISiteObserver {
public:
    explicit CHlsRoute(ISiteDirectory &directory) : m_Directory(directory) {}

    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user) override
    {
        std::string recorder;
        int channel = -1;
        std::string file;
        if (!Split(path, recorder, channel, file)) {
            return false;
        }
        Asked asked = Asked::Media;
        int64_t msn = -1, part = -1;
        if (file == "index.m3u8") {
            asked = Asked::Playlist;
            const char *qMsn =
                query != nullptr ? static_cast<const char *>(g_hash_table_lookup(query, "_HLS_msn")) : nullptr;
            const char *qPart =
                query != nullptr ? static_cast<const char *>(g_hash_table_lookup(query, "_HLS_part")) : nullptr;
            if (!ParseBlockingQuery(qMsn, qPart, msn, part)) {
                ReplyText(msg, SOUP_STATUS_BAD_REQUEST,
                          "_HLS_msn and _HLS_part are numbers, _HLS_part with _HLS_msn\n");
                return true;
            }
        } else if (file == "init.mp4") {
            asked = Asked::Init;
        } else if (!ParseMediaName(file, msn, part)) {
            return false;
        }
        const std::string method = soup_server_message_get_method(msg);
        if (method != "GET" && method != "HEAD") {
            soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
            ReplyText(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "GET or HEAD only\n");
            return true;
        }
        if (!m_Directory.May(user, Action::View, recorder, channel)) {
            ReplyText(msg, SOUP_STATUS_FORBIDDEN, "forbidden\n");
            return true;
        }
        if (m_bStopped || m_Directory.Stream(recorder, channel) == nullptr) {
            ReplyText(msg, SOUP_STATUS_NOT_FOUND, "no such channel\n");
            return true;
        }
        const Key key{recorder, channel};
        auto it = m_Channels.find(key);
        if (it != m_Channels.end() && it->second->Closed()) {
            m_Channels.erase(it);
            it = m_Channels.end();
        }
        if (it == m_Channels.end()) {
            if (asked == Asked::Media) {
                // Segments of a channel that is not made are of no window.
                ReplyText(msg, SOUP_STATUS_NOT_FOUND, "not in the window\n");
                return true;
            }
            auto made = std::make_shared<CHlsChannel>(key);
            std::string message;
            if (!made->Open(m_Directory, message)) {
                Log("%s channel %d: HLS: %s", recorder.c_str(), channel, message.c_str());
                ReplyText(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, message + "\n");
                return true;
            }
            Log("%s channel %d: HLS: the channel's muxer started", recorder.c_str(), channel);
            it = m_Channels.emplace(key, std::move(made)).first;
        }
        it->second->Serve(msg, asked, msn, part);
        return true;
    }

    void RecorderAdded(const RecorderEntry &) override {}
    void RecorderChanged(const RecorderEntry &recorder, int) override
    {
        for (auto it = m_Channels.begin(); it != m_Channels.end();) {
            const bool gone = it->first.first == recorder.name && it->first.second >= recorder.channels;
            it = gone ? m_Channels.erase(it) : std::next(it);
        }
    }
    void RecorderRemoved(const std::string &name, int) override
    {
        for (auto it = m_Channels.begin(); it != m_Channels.end();) {
            it = it->first.first == name ? m_Channels.erase(it) : std::next(it);
        }
    }

    // Closes the channels nobody asked for in the last minute.
    void CloseIdle()
    {
        const auto now = Clock::now();
        for (auto it = m_Channels.begin(); it != m_Channels.end();) {
            if (it->second->Closed() || it->second->Idle(now)) {
                Log("%s channel %d: HLS: nobody asked for the channel in %lld s: its muxer stopped",
                    it->first.first.c_str(), it->first.second, static_cast<long long>(kIdle.count()));
                it = m_Channels.erase(it);
            } else {
                ++it;
            }
        }
    }

    void Stop()
    {
        m_bStopped = true;
        m_Channels.clear();
    }

private:
    // "/NAME/CH/FILE"; the name may hold slashes of its own.
    static bool Split(const std::string &path, std::string &recorder, int &channel, std::string &file)
    {
        const size_t last = path.rfind('/');
        if (last == std::string::npos || last == 0) {
            return false;
        }
        const size_t before = path.rfind('/', last - 1);
        if (before == std::string::npos || before == 0 || path[0] != '/') {
            return false;
        }
        const std::string number = path.substr(before + 1, last - before - 1);
        if (number.empty() || number.size() > 4 || number.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        recorder = path.substr(1, before - 1);
        channel = std::stoi(number);
        file = path.substr(last + 1);
        return true;
    }

    ISiteDirectory &m_Directory;
    std::map<Key, std::shared_ptr<CHlsChannel>> m_Channels;
    bool m_bStopped = false;
};

class CHlsFront final : public IFront {
public:
    explicit CHlsFront(ISiteDirectory &directory)
        : m_Directory(directory), m_Route(std::make_shared<CHlsRoute>(directory))
    {}
    ~CHlsFront() override { Stop(); }

    bool Start(std::string &) override
    {
        m_Directory.AddHttpRoute(m_Route);
        m_Directory.AddObserver(m_Route.get());
        m_nTimer = g_timeout_add_seconds(
            kIdleCheckS,
            [](gpointer data) -> gboolean {
                static_cast<CHlsRoute *>(data)->CloseIdle();
                return G_SOURCE_CONTINUE;
            },
            m_Route.get());
        m_bStarted = true;
        return true;
    }

    // The requests held are answered and every channel's muxer stops.
    void StopListening() override { m_Route->Stop(); }

    void Stop() override
    {
        if (!m_bStarted) {
            return;
        }
        m_bStarted = false;
        g_source_remove(m_nTimer);
        m_Directory.RemoveObserver(m_Route.get());
        m_Route->Stop();
    }

private:
    ISiteDirectory &m_Directory;
    std::shared_ptr<CHlsRoute> m_Route;
    guint m_nTimer = 0;
    bool m_bStarted = false;
};

}  // namespace

std::unique_ptr<IFront> MakeHlsFront(const SiteConfig &site, ISiteDirectory &directory)
{
    if (!site.http) {
        return nullptr;
    }
    return std::make_unique<CHlsFront>(directory);
}

}  // namespace kn::gateway
