#include "tools/programs/gateway/web/archive_front.h"

#include <glib.h>
#include <libsoup/soup.h>

#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "tools/common/http_reply.h"
#include "tools/programs/gateway/archive/archive_gate.h"
#include "tools/programs/gateway/archive/archive_search.h"
#include "tools/programs/gateway/web/clip_response.h"
#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

namespace {

using common::Reply;

void BadRequest(SoupServerMessage *msg, const std::string &why)
{
    Reply(msg, SOUP_STATUS_BAD_REQUEST, "text/plain", why + "\n");
}

const char *Param(GHashTable *query, const char *name)
{
    return query != nullptr ? static_cast<const char *>(g_hash_table_lookup(query, name)) : nullptr;
}

// A whole number lo..hi; false when absent or anything else.
bool NumberParam(GHashTable *query, const char *name, long lo, long hi, long &value)
{
    const char *text = Param(query, name);
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char *end = nullptr;
    value = std::strtol(text, &end, 10);
    return *end == '\0' && value >= lo && value <= hi;
}

bool TimeParam(SoupServerMessage *msg, GHashTable *query, const char *name, UnixTime &time)
{
    const char *text = Param(query, name);
    if (text == nullptr || !ParseArchiveTime(text, time)) {
        BadRequest(msg, std::string(name) + " takes a date and time in ISO 8601, such as 2026-12-09T08:00:00 "
                                            "(local time) or 2026-12-09T08:00:00+01:00");
        return false;
    }
    return true;
}

// Runs work on a thread of its own and then done on the main loop.
void RunAside(std::function<void()> work, std::function<void()> done)
{
    std::thread([work = std::move(work), done = std::move(done)]() mutable {
        work();
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()> *>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(done)),
            [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
    }).detach();
}

// "20261209-080000", local time, for file names.
std::string Compact(UnixTime time)
{
    GDateTime *t = g_date_time_new_from_unix_local(time);
    gchar *text = t != nullptr ? g_date_time_format(t, "%Y%m%d-%H%M%S") : nullptr;
    std::string result = text != nullptr ? text : "";
    g_free(text);
    if (t != nullptr) {
        g_date_time_unref(t);
    }
    return result;
}

}  // namespace

CArchiveFront::~CArchiveFront()
{
    Stop();
    *m_Alive = false;
}

void CArchiveFront::Stop()
{
    for (const auto &[raw, clip] : m_Clips) {
        clip->Cancel();
    }
}

std::shared_ptr<CArchiveGate> CArchiveFront::FindGate(SoupServerMessage *msg, const std::string &name, int channel)
{
    std::shared_ptr<CArchiveGate> gate = m_Directory.Archive(name);
    if (gate == nullptr || channel >= gate->Channels()) {
        Reply(msg, SOUP_STATUS_NOT_FOUND, "text/plain", "no such recorder or channel\n");
        return nullptr;
    }
    return gate;
}

bool CArchiveFront::Route(SoupServerMessage *msg, const std::string &path, GHashTable *query)
{
    if (path == "/api/recordings") {
        ServeSearch(msg, query);
        return true;
    }
    std::string name, extension;
    int channel = 0;
    if (Param(query, "start") != nullptr && ParseChannelPath(path, name, channel, extension) && extension == "mp4") {
        ServeClip(msg, name, channel, query);
        return true;
    }
    return false;
}

void CArchiveFront::ServeSearch(SoupServerMessage *msg, GHashTable *query)
{
    const char *recorder = Param(query, "recorder");
    long channel = 0, kind = 0;
    if (recorder == nullptr || !NumberParam(query, "channel", 0, 255, channel)) {
        BadRequest(msg, "recorder=NAME and channel=CH are needed");
        return;
    }
    if (Param(query, "kind") != nullptr && !NumberParam(query, "kind", 0, 255, kind)) {
        BadRequest(msg, "kind takes 0-255");
        return;
    }
    UnixTime from = 0, to = 0;
    if (!TimeParam(msg, query, "from", from) || !TimeParam(msg, query, "to", to)) {
        return;
    }
    if (to < from) {
        BadRequest(msg, "to is before from");
        return;
    }
    if ((to - from) / 86400 >= kMaxSearchDays) {
        BadRequest(msg, "a search covers at most " + std::to_string(kMaxSearchDays) + " days");
        return;
    }
    std::shared_ptr<CArchiveGate> gate = FindGate(msg, recorder, static_cast<int>(channel));
    if (gate == nullptr) {
        return;
    }
    struct Pending {
        SoupServerMessage *msg;
        bool finished = false;  // the client went away
        guint status = SOUP_STATUS_OK;
        std::string body;
    };
    auto pending = std::make_shared<Pending>();
    pending->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
    g_signal_connect_data(msg, "finished",
                          G_CALLBACK(+[](gpointer, gpointer data) { static_cast<Pending *>(data)->finished = true; }),
                          pending.get(), nullptr, static_cast<GConnectFlags>(0));
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_pause(msg);
    const std::string name = recorder;
    RunAside(
        [pending, gate, name, channel, kind, from, to] {
            std::vector<ArchiveRecording> found;
            std::string message;
            const CArchiveGate::SearchOutcome outcome =
                gate->Search(static_cast<int>(channel), static_cast<int>(kind), from, to, found, message);
            if (outcome == CArchiveGate::SearchOutcome::NotLoggedIn) {
                pending->status = SOUP_STATUS_SERVICE_UNAVAILABLE;
                pending->body = "the recorder is not logged in\n";
            } else if (outcome != CArchiveGate::SearchOutcome::Found) {
                pending->status = SOUP_STATUS_GATEWAY_TIMEOUT;
                pending->body = message + "\n";
            } else {
                pending->body =
                    RecordingsJson(name, static_cast<int>(channel), static_cast<int>(kind), from, to, found);
            }
        },
        [pending] {
            g_signal_handlers_disconnect_matched(pending->msg, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                                 pending.get());
            if (!pending->finished) {
                Reply(pending->msg, pending->status,
                      pending->status == SOUP_STATUS_OK ? "application/json" : "text/plain", pending->body);
                soup_server_message_unpause(pending->msg);
            }
            g_object_unref(pending->msg);
        });
}

void CArchiveFront::ServeClip(SoupServerMessage *msg, const std::string &name, int channel, GHashTable *query)
{
    UnixTime start = 0, end = 0;
    if (!TimeParam(msg, query, "start", start) || !TimeParam(msg, query, "end", end)) {
        return;
    }
    if (end <= start || end - start > kMaxClipSeconds) {
        BadRequest(msg, "end must come after start, by at most " + std::to_string(kMaxClipSeconds) + " s");
        return;
    }
    std::shared_ptr<CArchiveGate> gate = FindGate(msg, name, channel);
    if (gate == nullptr) {
        return;
    }
    const std::string filename =
        name + "-" + std::to_string(channel) + "-" + Compact(start) + "-" + Compact(end).substr(9) + ".mp4";
    if (soup_server_message_get_method(msg) == std::string("HEAD")) {
        Reply(msg, SOUP_STATUS_OK, "video/mp4", "");
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Content-Disposition",
                                     ("inline; filename=\"" + filename + "\"").c_str());
        return;
    }
    std::weak_ptr<bool> alive = m_Alive;
    auto self = std::make_shared<CClipResponse *>(nullptr);  // set below
    auto clip = std::make_shared<CClipResponse>(msg, filename, [this, alive, self] {
        if (alive.lock() != nullptr) {
            m_Clips.erase(*self);
        }
    });
    *self = clip.get();
    m_Clips[clip.get()] = clip;
    Log("%s channel %d: clip %s for %s", name.c_str(), channel, filename.c_str(),
        soup_server_message_get_remote_host(msg) != nullptr ? soup_server_message_get_remote_host(msg) : "?");
    clip->Start(std::move(gate), channel, start, end);
}

}  // namespace kn::gateway
