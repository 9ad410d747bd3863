#include "tools/programs/gateway/web/clip_response.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <sys/socket.h>

#include <chrono>

#include "tools/common/http_reply.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

// A client that takes nothing for this long while its clip waits is given up.
constexpr auto kStallLimit = std::chrono::seconds(60);
// How often a wait for the client looks whether the job was cancelled.
constexpr auto kWaitSlice = std::chrono::milliseconds(200);

void Call(void *data) { (*static_cast<std::function<void()> *>(data))(); }
void Free(void *data) { delete static_cast<std::function<void()> *>(data); }

// Connects a signal with no arguments but the emitter, or with one guint.
void OnSignal(SoupServerMessage *msg, const char *signal, std::function<void(unsigned)> f)
{
    using Fn = std::function<void(unsigned)>;
    g_signal_connect_data(
        msg, signal, G_CALLBACK(+[](gpointer, unsigned size, gpointer data) { (*static_cast<Fn *>(data))(size); }),
        new Fn(std::move(f)), [](gpointer data, GClosure *) { delete static_cast<Fn *>(data); },
        static_cast<GConnectFlags>(0));
}

}  // namespace

CClipResponse::CClipResponse(SoupServerMessage *msg, std::string filename, std::function<void()> ended)
    : m_pMsg(SOUP_SERVER_MESSAGE(g_object_ref(msg))), m_Filename(std::move(filename)), m_Ended(std::move(ended))
{
    const char *host = soup_server_message_get_remote_host(msg);
    m_Peer = host != nullptr ? host : "?";
}

CClipResponse::~CClipResponse() { g_object_unref(m_pMsg); }

void CClipResponse::Post(std::function<void()> call)
{
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            Call(data);
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(call)), Free);
}

void CClipResponse::Start(std::shared_ptr<CArchiveGate> gate, int channel, UnixTime start, UnixTime end)
{
    std::weak_ptr<CClipResponse> weak = weak_from_this();
    // wrote-body-data carries a size; finished carries nothing (the size
    // argument is then never read).
    OnSignal(m_pMsg, "wrote-body-data", [weak](unsigned size) {
        if (auto self = weak.lock()) {
            std::lock_guard<std::mutex> lk(self->m_Mutex);
            self->m_nUntaken -= std::min<size_t>(size, self->m_nUntaken);
            self->m_Room.notify_all();
        }
    });
    g_signal_connect_data(
        m_pMsg, "finished", G_CALLBACK(+[](gpointer, gpointer data) { Call(data); }), new std::function<void()>([weak] {
            if (auto self = weak.lock()) {
                self->m_bFinished = true;
                if (!self->m_bOver) {
                    Log("clip for %s: the client went away", self->m_Peer.c_str());
                    self->Cancel();
                }
            }
        }),
        [](gpointer data, GClosure *) { Free(data); }, static_cast<GConnectFlags>(0));
    // A status keeps the WebSocket handler, which runs after this one, off
    // the message; the real answer comes with the first bytes or the end.
    soup_server_message_set_status(m_pMsg, SOUP_STATUS_OK, nullptr);
    soup_server_message_pause(m_pMsg);
    m_pJob = std::make_shared<CClipJob>(std::move(gate), channel, start, end, [weak](const uint8_t *data, size_t size) {
        auto self = weak.lock();
        return self != nullptr && self->Output(data, size);
    });
    m_pJob->Start([weak](const ClipResult &result) {
        // Held until the main loop has taken the result.
        if (auto self = weak.lock()) {
            self->Post([self, result] { self->Finish(result); });
        }
    });
}

void CClipResponse::Cancel()
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bGone = true;
        m_Room.notify_all();
    }
    if (m_pJob != nullptr) {
        m_pJob->Cancel();
    }
}

bool CClipResponse::Output(const uint8_t *data, size_t size)
{
    std::unique_lock<std::mutex> lk(m_Mutex);
    if (m_bGone) {
        return false;
    }
    m_Pending.insert(m_Pending.end(), data, data + size);
    m_nUntaken += size;
    if (!m_bScheduled) {
        m_bScheduled = true;
        std::weak_ptr<CClipResponse> weak = weak_from_this();
        Post([weak] {
            if (auto self = weak.lock()) {
                self->Flush();
            }
        });
    }
    // The muxer, and with it the download, waits for the client, as long
    // as the client takes something and the job goes on.
    size_t untaken = m_nUntaken;
    auto progressAt = std::chrono::steady_clock::now();
    while (m_nUntaken > kMaxUntaken && !m_bGone && !m_pJob->Cancelled()) {
        m_Room.wait_for(lk, kWaitSlice);
        if (m_nUntaken < untaken) {
            progressAt = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - progressAt > kStallLimit) {
            Log("clip for %s: the client took nothing for %lld s: given up", m_Peer.c_str(),
                static_cast<long long>(kStallLimit.count()));
            m_bGone = true;
        }
        untaken = m_nUntaken;
    }
    return !m_bGone && !m_pJob->Cancelled();
}

void CClipResponse::Flush()
{
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_bScheduled = false;
        m_Taking.swap(m_Pending);
    }
    if (m_bOver || m_Taking.empty()) {
        m_Taking.clear();
        return;
    }
    if (!m_bHeadersSent) {
        m_bHeadersSent = true;
        SoupMessageHeaders *headers = soup_server_message_get_response_headers(m_pMsg);
        soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
        soup_message_headers_set_content_type(headers, "video/mp4", nullptr);
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
        soup_message_headers_replace(headers, "Content-Disposition",
                                     ("inline; filename=\"" + m_Filename + "\"").c_str());
        soup_message_body_set_accumulate(soup_server_message_get_response_body(m_pMsg), FALSE);
        soup_server_message_set_status(m_pMsg, SOUP_STATUS_OK, nullptr);
    }
    soup_message_body_append(soup_server_message_get_response_body(m_pMsg), SOUP_MEMORY_COPY, m_Taking.data(),
                             m_Taking.size());
    m_nSent += m_Taking.size();
    m_Taking.clear();
    soup_server_message_unpause(m_pMsg);
}

void CClipResponse::Abort()
{
    // Reset, not ended: the socket is shut down under libsoup, which then
    // gives the connection up, and closes with a reset (linger 0).
    GSocket *socket = soup_server_message_get_socket(m_pMsg);
    if (socket == nullptr) {
        return;
    }
    const struct linger hard {
        1, 0
    };
    setsockopt(g_socket_get_fd(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    g_socket_shutdown(socket, TRUE, TRUE, nullptr);
}

void CClipResponse::Finish(const ClipResult &result)
{
    Flush();
    if (m_bOver) {
        return;
    }
    m_bOver = true;
    bool gone;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        gone = m_bGone;
    }
    const auto reply = [this](guint status, const std::string &text) {
        common::Reply(m_pMsg, status, "text/plain", text + "\n");
        soup_server_message_unpause(m_pMsg);
    };
    if (result.outcome == ClipOutcome::Done) {
        Log("clip %s for %s: %ld frames, %llu bytes", m_Filename.c_str(), m_Peer.c_str(), result.frames,
            static_cast<unsigned long long>(m_nSent));
        soup_message_body_complete(soup_server_message_get_response_body(m_pMsg));
        soup_server_message_unpause(m_pMsg);
    } else if (m_bFinished) {
        // The client went away: nobody to answer.
    } else if (gone || result.outcome == ClipOutcome::Cancelled) {
        // The gateway stops, or the client stopped taking anything.
        if (!m_bHeadersSent) {
            reply(SOUP_STATUS_SERVICE_UNAVAILABLE, "cancelled");
        } else {
            Abort();
        }
    } else if (!m_bHeadersSent) {
        Log("clip %s for %s: %s", m_Filename.c_str(), m_Peer.c_str(), result.message.c_str());
        reply(result.outcome == ClipOutcome::NothingRecorded ? SOUP_STATUS_NOT_FOUND : SOUP_STATUS_BAD_GATEWAY,
              result.message);
    } else {
        // Too late for a status: the connection ends without the chunked
        // body's end, so the client knows the file is not whole.
        Log("clip %s for %s: %s after %llu bytes: connection closed", m_Filename.c_str(), m_Peer.c_str(),
            result.message.c_str(), static_cast<unsigned long long>(m_nSent));
        Abort();
    }
    m_pJob.reset();
    if (m_Ended) {
        auto ended = std::move(m_Ended);
        ended();
    }
}

}  // namespace kn::gateway
