// ISiteDirectory: all that a front (RTSP, the web side, and any front
// added later) sees of the gateway's core. A front is made with the site's
// configuration and this directory, and through it alone:
// - observes the recorders as they come and go (a reload adds, removes or
//   changes them), with their channels and archive;
// - opens a reader on a channel's stream, with a start policy and a bound;
// - reaches a recorder's archive;
// - asks the one access decision;
// - reads the one status model;
// - adds its HTTP routes to the gateway's HTTP listener, when it serves
//   over HTTP without a listener of its own;
// - subscribes to the gateway's events (the event bus).
// Every operation is called on the main loop's thread unless it says
// otherwise; observers are told on that thread too.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tools/programs/gateway/access/access.h"
#include "tools/programs/gateway/status/gateway_status.h"
#include "tools/programs/gateway/stream/channel_hub.h"

typedef struct _GHashTable GHashTable;
typedef struct _SoupServerMessage SoupServerMessage;

namespace kn::gateway {

class CArchiveGate;
class CEventBus;

// A recorder as the fronts see it.
struct RecorderEntry {
    std::string name;
    int channels = 0;                       // channels 0 .. channels-1
    std::shared_ptr<CArchiveGate> archive;  // never null while the recorder is in the site
    std::vector<std::string> stateKinds;    // what its messages' words mean (the site file's events:)
};

// Told of the recorders as they come and go.
class ISiteObserver {
public:
    virtual ~ISiteObserver() = default;
    // A recorder joined the site (or came back changed after a reload).
    virtual void RecorderAdded(const RecorderEntry &recorder) = 0;
    // A recorder left the site (removed, or about to come back restarted);
    // its readers are ended by its streams.
    virtual void RecorderRemoved(const std::string &name, int channels) = 0;
    // A reload changed a recorder's channels (from channelsBefore) or what
    // its messages mean, without restarting it: the channels kept play on.
    // By default taken as the recorder removed and added again; a front
    // whose clients would be cut by that follows the change itself.
    virtual void RecorderChanged(const RecorderEntry &recorder, int channelsBefore)
    {
        RecorderRemoved(recorder.name, channelsBefore);
        RecorderAdded(recorder);
    }
};

// How a reader joins a channel's stream.
struct ReaderOptions {
    StartPolicy start = StartPolicy::CachedGroup;
    // The reader's stream already runs (a web client, a snapshot): it is
    // sent the cached group at once. Otherwise (an RTSP client, whose
    // pipeline is still being made) it starts with the next frame or when
    // its sink asks (CStreamReader::StartNow).
    bool startNow = false;
};

// One reader of one channel's stream: it gets the channel's units through
// its sink until it is destroyed (or the stream ends it). Destroying it is
// leaving the stream.
class CStreamReader {
public:
    CStreamReader(std::weak_ptr<CChannelHub> hub, std::shared_ptr<IClientSink> sink);
    ~CStreamReader();
    CStreamReader(const CStreamReader &) = delete;
    CStreamReader &operator=(const CStreamReader &) = delete;

    // The reader's stream has begun: it is sent the cached group now.
    void StartNow();
    // The channel's stream it reads (null once the recorder left).
    std::shared_ptr<CChannelHub> Stream() const { return m_Hub.lock(); }

private:
    std::weak_ptr<CChannelHub> m_Hub;
    std::shared_ptr<IClientSink> m_Sink;
};

// An HTTP route of a front that serves on the gateway's HTTP listener.
class IHttpRoute {
public:
    virtual ~IHttpRoute() = default;
    // Offered every request after authentication (user: whom its
    // credentials name, "" when none were asked for); true when the
    // request is this route's, answered now or later (a paused message).
    virtual bool Serve(SoupServerMessage *msg, const std::string &path, GHashTable *query, const std::string &user) = 0;
};

class ISiteDirectory {
public:
    virtual ~ISiteDirectory() = default;

    // Adds an observer and tells it at once of every recorder present;
    // RemoveObserver before the observer goes.
    virtual void AddObserver(ISiteObserver *observer) = 0;
    virtual void RemoveObserver(ISiteObserver *observer) = 0;

    // Opens a reader on a recorder's channel; null when there is no such
    // channel. May be called on any thread.
    virtual std::unique_ptr<CStreamReader> OpenReader(const std::string &recorder, int channel,
                                                      std::shared_ptr<IClientSink> sink,
                                                      const ReaderOptions &options) = 0;
    // A recorder's channel stream, for what reads its state or its cached
    // group without joining it (a snapshot); null when there is none.
    virtual std::shared_ptr<CChannelHub> Stream(const std::string &recorder, int channel) const = 0;
    // A recorder's archive; null when there is no such recorder.
    virtual std::shared_ptr<CArchiveGate> Archive(const std::string &recorder) const = 0;

    // The access decision (see CAccess).
    virtual bool May(const std::string &user, Action action, const std::string &recorder, int channel) const = 0;
    // Who a front's client is, the hold-back of failed logins and the
    // audit trail: the one CAccess every front asks.
    virtual const CAccess &Access() const = 0;

    // The gateway's state now: the one status model.
    virtual GatewayStatus Status() const = 0;

    // Routes on the gateway's HTTP listener, offered each request before
    // the web front's own paths, in the order they were added.
    virtual void AddHttpRoute(std::shared_ptr<IHttpRoute> route) = 0;
    virtual std::vector<std::shared_ptr<IHttpRoute>> HttpRoutes() const = 0;

    // The gateway's events: a front subscribes there (from any thread) and
    // takes them from its own bounded queue.
    virtual CEventBus &Events() = 0;
};

}  // namespace kn::gateway
