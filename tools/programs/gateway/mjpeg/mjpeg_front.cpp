#include "tools/programs/gateway/mjpeg/mjpeg_front.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>

#include "tools/programs/gateway/status/gateway_log.h"
#include "tools/programs/gateway/status/gateway_status.h"
#include "tools/programs/gateway/stream/unit_buffer.h"

namespace kn::gateway {

namespace {

constexpr int kDefaultFps = 5;
constexpr const char *kBoundary = "kestrelframe";
constexpr const char *kCaps = "video/x-h264,stream-format=byte-stream,alignment=au";
// Units the decoder has not taken yet; past it the channel's stream
// restarts the encoder at the next keyframe.
constexpr guint64 kMaxQueuedBytes = 4u << 20;
// A client's pictures not yet written to its socket; past it the client
// misses pictures until it has taken them.
constexpr uint64_t kMaxClientBytes = 1u << 20;

int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Reply(SoupServerMessage *msg, guint status, const std::string &body)
{
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, body.data(), body.size());
}

std::string Choices(const std::vector<int> &values)
{
    std::string text;
    for (int v : values) {
        text += (text.empty() ? "" : ", ") + std::to_string(v);
    }
    return text;
}

// A query's number among the allowed ones (fallback when absent); false
// for anything else.
bool Pick(GHashTable *query, const char *name, const std::vector<int> &allowed, int fallback, int &value)
{
    const char *text = query != nullptr ? static_cast<const char *>(g_hash_table_lookup(query, name)) : nullptr;
    if (text == nullptr) {
        value = fallback;
        return true;
    }
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || std::find(allowed.begin(), allowed.end(), v) == allowed.end()) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

}  // namespace

// One channel and setting decoded and encoded: a reader of the channel's
// stream (appsrc ! h264parse ! avdec_h264 ! videorate ! videoscale !
// jpegenc ! appsink), its pictures carried to the main loop.
class CMjpegEncoder final : public IClientSink {
public:
    using Picture = std::function<void(std::vector<uint8_t>)>;
    using Ended = std::function<void()>;

    CMjpegEncoder(std::string name, Picture picture, Ended ended)
        : m_Name(std::move(name)), m_Picture(std::move(picture)), m_Ended(std::move(ended)), m_nCreatedNs(SteadyNs())
    {}
    ~CMjpegEncoder() override { Stop(); }

    bool Start(int fps, int width, std::string &message)
    {
        const std::string scale =
            width > 0 ? " ! videoscale ! video/x-raw,width=" + std::to_string(width) + ",pixel-aspect-ratio=1/1" : "";
        const std::string launch = "appsrc name=src is-live=false format=time do-timestamp=false ! h264parse ! "
                                   "avdec_h264 ! videorate drop-only=true max-rate=" +
                                   std::to_string(fps) + " ! videoconvert" + scale +
                                   " ! jpegenc quality=80 ! appsink name=out sync=false max-buffers=4 drop=true";
        GError *error = nullptr;
        m_pPipeline = gst_parse_launch(launch.c_str(), &error);
        if (m_pPipeline == nullptr) {
            message = std::string("cannot make the MJPEG pipeline: ") + (error != nullptr ? error->message : "?");
            g_clear_error(&error);
            return false;
        }
        g_clear_error(&error);
        m_pAppSrc = gst_bin_get_by_name(GST_BIN(m_pPipeline), "src");
        GstCaps *caps = gst_caps_from_string(kCaps);
        g_object_set(m_pAppSrc, "caps", caps, "block", FALSE, "max-bytes", kMaxQueuedBytes, nullptr);
        gst_caps_unref(caps);
        GstElement *sink = gst_bin_get_by_name(GST_BIN(m_pPipeline), "out");
        g_object_set(sink, "emit-signals", TRUE, nullptr);
        g_signal_connect(sink, "new-sample", G_CALLBACK(OnNewSample), this);
        gst_object_unref(sink);
        GstBus *bus = gst_element_get_bus(m_pPipeline);
        gst_bus_add_watch(bus, OnBusMessage, this);
        gst_object_unref(bus);
        if (gst_element_set_state(m_pPipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            message = "the MJPEG pipeline did not start";
            return false;
        }
        return true;
    }

    // Called once the encoder is no reader of the stream any more.
    void Stop()
    {
        if (m_bStopped.exchange(true) || m_pPipeline == nullptr) {
            return;
        }
        gst_element_set_state(m_pPipeline, GST_STATE_NULL);
        GstBus *bus = gst_element_get_bus(m_pPipeline);
        gst_bus_remove_watch(bus);
        gst_object_unref(bus);
        gst_object_unref(m_pAppSrc);
        gst_object_unref(m_pPipeline);
        m_pAppSrc = nullptr;
        m_pPipeline = nullptr;
    }

    int64_t RunningTimeNs() override { return SteadyNs() - m_nCreatedNs; }
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override
    {
        if (m_bStopped.load() || m_pAppSrc == nullptr) {
            return false;
        }
        GstBuffer *buffer = gst_buffer_new_memdup(data, size);
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(ptsNs);
        GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(ptsNs);
        return gst_app_src_push_buffer(GST_APP_SRC(m_pAppSrc), buffer) == GST_FLOW_OK;
    }
    bool PushShared(const SharedUnit &unit, int64_t ptsNs) override
    {
        return !m_bStopped.load() && m_pAppSrc != nullptr &&
               gst_app_src_push_buffer(GST_APP_SRC(m_pAppSrc), UnitBuffer(unit, ptsNs)) == GST_FLOW_OK;
    }
    void End() override { m_Ended(); }
    std::string Peer() const override { return m_Name; }

private:
    static GstFlowReturn OnNewSample(GstElement *sink, gpointer data)
    {
        auto *self = static_cast<CMjpegEncoder *>(data);
        GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
        if (sample == nullptr) {
            return GST_FLOW_OK;
        }
        GstMapInfo map;
        if (GstBuffer *buffer = gst_sample_get_buffer(sample);
            buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            self->m_Picture(std::vector<uint8_t>(map.data, map.data + map.size));
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }

    static gboolean OnBusMessage(GstBus *, GstMessage *message, gpointer data)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            auto *self = static_cast<CMjpegEncoder *>(data);
            GError *error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            Log("%s: the MJPEG pipeline failed: %s", self->m_Name.c_str(), error != nullptr ? error->message : "?");
            g_clear_error(&error);
            self->m_Ended();
        }
        return G_SOURCE_CONTINUE;
    }

    const std::string m_Name;
    const Picture m_Picture;
    const Ended m_Ended;
    const int64_t m_nCreatedNs;
    GstElement *m_pPipeline = nullptr;
    GstElement *m_pAppSrc = nullptr;
    std::atomic<bool> m_bStopped{false};
};

struct CMjpegFront::Client {
    SoupServerMessage *msg;  // held
    uint64_t queued = 0;     // bytes appended and not yet written
    uint64_t missed = 0;     // pictures it was too slow for
};

struct CMjpegFront::Channel {
    std::shared_ptr<CMjpegEncoder> encoder;
    std::unique_ptr<CStreamReader> reader;
    std::vector<std::unique_ptr<Client>> clients;
};

class CMjpegFront::CRoute final : public IHttpRoute {
public:
    explicit CRoute(CMjpegFront *front) : m_pFront(front) {}
    bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user) override
    {
        return m_pFront != nullptr && m_pFront->Serve(msg, path, query, user);
    }
    CMjpegFront *m_pFront;
};

namespace {

// Runs f on the main loop while the front lives.
void OnMainLoop(std::weak_ptr<bool> alive, std::function<void()> f)
{
    auto *call = new std::function<void()>([alive = std::move(alive), f = std::move(f)] {
        if (alive.lock() != nullptr) {
            f();
        }
    });
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()> *>(data))();
            return G_SOURCE_REMOVE;
        },
        call, [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
}

}  // namespace

CMjpegFront::CMjpegFront(ISiteDirectory &directory) : m_Directory(directory), m_pRoute(std::make_shared<CRoute>(this))
{}

CMjpegFront::~CMjpegFront()
{
    Stop();
    m_pRoute->m_pFront = nullptr;
    *m_Alive = false;
    // Responses still under way when the gateway stops.
    while (!m_Channels.empty()) {
        for (const auto &client : m_Channels.begin()->second->clients) {
            g_object_unref(client->msg);
        }
        m_Channels.begin()->second->clients.clear();
        StopChannel(m_Channels.begin()->first);
    }
}

std::unique_ptr<IFront> MakeMjpegFront(const SiteConfig &site, ISiteDirectory &directory)
{
    return site.http ? std::make_unique<CMjpegFront>(directory) : nullptr;
}

const std::vector<int> &CMjpegFront::Rates()
{
    static const std::vector<int> kRates{1, 2, 5, 10, 25};
    return kRates;
}

const std::vector<int> &CMjpegFront::Widths()
{
    static const std::vector<int> kWidths{320, 480, 640, 800, 1280, 1920};
    return kWidths;
}

bool CMjpegFront::Start(std::string &)
{
    m_Directory.AddHttpRoute(m_pRoute);
    return true;
}

void CMjpegFront::Stop()
{
    std::vector<Key> keys;
    for (const auto &kv : m_Channels) {
        keys.push_back(kv.first);
    }
    for (const Key &key : keys) {
        EndKey(key);
    }
}

bool CMjpegFront::Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user)
{
    std::string name, extension;
    int channel = 0;
    if (!ParseChannelPath(path, name, channel, extension) || extension != "mjpeg") {
        return false;
    }
    const std::string method = soup_server_message_get_method(msg);
    if (method != "GET" && method != "HEAD") {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
        Reply(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "GET or HEAD only\n");
        return true;
    }
    if (!m_Directory.May(user, Action::View, name, channel)) {
        Reply(msg, SOUP_STATUS_FORBIDDEN, "not allowed to view\n");
        return true;
    }
    if (m_Directory.Stream(name, channel) == nullptr) {
        Reply(msg, SOUP_STATUS_NOT_FOUND, "no such recorder or channel\n");
        return true;
    }
    int fps = 0, width = 0;
    if (!Pick(query, "fps", Rates(), kDefaultFps, fps)) {
        Reply(msg, SOUP_STATUS_BAD_REQUEST, "fps takes one of " + Choices(Rates()) + "\n");
        return true;
    }
    if (!Pick(query, "width", Widths(), 0, width)) {
        Reply(msg, SOUP_STATUS_BAD_REQUEST, "width takes one of " + Choices(Widths()) + " pixels\n");
        return true;
    }
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
    const std::string type = std::string("multipart/x-mixed-replace;boundary=") + kBoundary;
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    if (method == "HEAD") {
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_message_headers_replace(headers, "Content-Type", type.c_str());
        return true;
    }
    const Key key{name, channel, fps, width};
    std::unique_ptr<Channel> &ch = m_Channels[key];
    if (ch == nullptr) {
        ch = std::make_unique<Channel>();
        const std::string label = name + " channel " + std::to_string(channel) + " (" + std::to_string(fps) +
                                  " fps, width " + (width > 0 ? std::to_string(width) : "as recorded") + ")";
        std::weak_ptr<bool> alive = m_Alive;
        ch->encoder = std::make_shared<CMjpegEncoder>(
            label,
            [this, alive, key](std::vector<uint8_t> jpeg) {
                OnMainLoop(alive, [this, key, jpeg = std::move(jpeg)] { Deliver(key, jpeg); });
            },
            [this, alive, key] { OnMainLoop(alive, [this, key] { EndKey(key); }); });
        std::string message;
        if (!ch->encoder->Start(fps, width, message)) {
            Log("%s: MJPEG refused: %s", label.c_str(), message.c_str());
            m_Channels.erase(key);
            Reply(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, message + "\n");
            return true;
        }
        ch->reader = m_Directory.OpenReader(name, channel, ch->encoder, ReaderOptions{StartPolicy::CachedGroup, true});
        if (ch->reader == nullptr) {
            ch->encoder->Stop();
            m_Channels.erase(key);
            Reply(msg, SOUP_STATUS_NOT_FOUND, "no such recorder or channel\n");
            return true;
        }
        Log("%s: MJPEG encoder started", label.c_str());
    }
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_replace(headers, "Content-Type", type.c_str());
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    auto client = std::make_unique<Client>();
    client->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
    Client *c = client.get();
    ch->clients.push_back(std::move(client));
    std::weak_ptr<bool> alive = m_Alive;
    struct Hook {
        CMjpegFront *front;
        std::weak_ptr<bool> alive;
        Key key;
        Client *client;
    };
    auto *hook = new Hook{this, alive, key, c};
    g_signal_connect_data(msg, "wrote-body-data", G_CALLBACK(+[](SoupServerMessage *, guint size, gpointer data) {
                              auto *h = static_cast<Hook *>(data);
                              if (h->alive.lock() != nullptr) {
                                  h->client->queued -= std::min<uint64_t>(h->client->queued, size);
                              }
                          }),
                          hook, nullptr, static_cast<GConnectFlags>(0));
    g_signal_connect_data(
        msg, "finished", G_CALLBACK(+[](SoupServerMessage *, gpointer data) {
            auto *h = static_cast<Hook *>(data);
            if (h->alive.lock() != nullptr) {
                h->front->Leave(h->key, h->client);
            }
        }),
        hook, [](gpointer data, GClosure *) { delete static_cast<Hook *>(data); }, static_cast<GConnectFlags>(0));
    soup_server_message_pause(msg);
    return true;
}

void CMjpegFront::Deliver(const Key &key, const std::vector<uint8_t> &jpeg)
{
    const auto it = m_Channels.find(key);
    if (it == m_Channels.end()) {
        return;
    }
    const std::string head = std::string("--") + kBoundary +
                             "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
                             "\r\n\r\n";
    for (const auto &client : it->second->clients) {
        if (client->queued > kMaxClientBytes) {
            ++client->missed;
            continue;
        }
        SoupMessageBody *body = soup_server_message_get_response_body(client->msg);
        soup_message_body_append(body, SOUP_MEMORY_COPY, head.data(), head.size());
        soup_message_body_append(body, SOUP_MEMORY_COPY, jpeg.data(), jpeg.size());
        soup_message_body_append(body, SOUP_MEMORY_STATIC, "\r\n", 2);
        client->queued += head.size() + jpeg.size() + 2;
        soup_server_message_unpause(client->msg);
    }
}

void CMjpegFront::Leave(const Key &key, Client *client)
{
    const auto it = m_Channels.find(key);
    if (it == m_Channels.end()) {
        return;
    }
    auto &clients = it->second->clients;
    const auto c = std::find_if(clients.begin(), clients.end(), [client](const auto &k) { return k.get() == client; });
    if (c == clients.end()) {
        return;
    }
    g_object_unref((*c)->msg);
    clients.erase(c);
    if (clients.empty()) {
        StopChannel(key);
    }
}

void CMjpegFront::EndKey(const Key &key)
{
    const auto it = m_Channels.find(key);
    if (it == m_Channels.end()) {
        return;
    }
    // Each response ends; its "finished" then leaves (and the last one
    // stops the encoder).
    std::vector<SoupServerMessage *> ending;
    for (const auto &client : it->second->clients) {
        ending.push_back(SOUP_SERVER_MESSAGE(g_object_ref(client->msg)));
    }
    for (SoupServerMessage *msg : ending) {
        soup_message_body_complete(soup_server_message_get_response_body(msg));
        soup_server_message_unpause(msg);
        g_object_unref(msg);
    }
    if (m_Channels.count(key) != 0 && m_Channels[key]->clients.empty()) {
        StopChannel(key);
    }
}

void CMjpegFront::StopChannel(const Key &key)
{
    const auto it = m_Channels.find(key);
    if (it == m_Channels.end()) {
        return;
    }
    std::unique_ptr<Channel> ch = std::move(it->second);
    m_Channels.erase(it);
    ch->reader.reset();  // no more units come
    ch->encoder->Stop();
    Log("%s: MJPEG encoder stopped (no client)", ch->encoder->Peer().c_str());
}

}  // namespace kn::gateway
