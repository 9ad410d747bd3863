// What the gateway tells about itself over HTTP: the recorders, their
// channels with state and statistics, and the clients of each channel, as
// one JSON document (/api/status) and in the Prometheus text format
// (/metrics). The web front asks an IStatusSource for it, so the gateway's
// state can come from wherever it is kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kn::gateway {

class CArchiveGate;
class CChannelHub;

struct ChannelStatus {
    int channel = 0;
    std::string name;  // shown on the page
    // "idle" (no client, stream closed), "playing" (frames flow),
    // "reconnecting" (clients wait for the stream to open or come back),
    // "lost" (clients wait and the recorder itself is lost).
    std::string state = "idle";
    std::string linkState;         // the link's own word (CGatewayState)
    int64_t nextAttemptInMs = -1;  // -1: none planned
    uint64_t frames = 0;           // received from the recorder since the start
    uint64_t bytes = 0;            // their H.264 bytes
    double fps = 0;                // over the last second or so
    double kbitPerSecond = 0;
    int64_t keyframeAgeMs = -1;  // -1: no keyframe yet
    int rtspClients = 0;
    int webClients = 0;          // live fMP4 responses and WebSockets
    uint64_t reconnections = 0;  // stream reopened after a loss
    uint64_t webSkips = 0;       // a web client's frames dropped to the next keyframe
    bool preload = false;
    std::string lastError;
    std::string streamUrl;    // path of the fMP4 stream
    std::string snapshotUrl;  // path of the JPEG snapshot
    std::string rtspPath;     // path on the RTSP server
};

struct RecorderStatus {
    std::string name;
    std::string address;  // HOST:PORT of the recorder
    std::string state;    // "logging in", "logged in", "reconnecting", "stopped"
    int64_t nextAttemptInMs = -1;
    std::string lastError;
    std::vector<ChannelStatus> channels;
};

struct GatewayStatus {
    std::string version;
    double uptime = 0;  // seconds
    std::vector<RecorderStatus> recorders;
};

class IStatusSource {
public:
    virtual ~IStatusSource() = default;
    // The state now (called on the main loop).
    virtual GatewayStatus Status() = 0;
    // The hub of a recorder's channel, or null when there is none.
    virtual std::shared_ptr<CChannelHub> Hub(const std::string &recorder, int channel) = 0;
    // A recorder's archive, or null when there is no such recorder.
    virtual std::shared_ptr<CArchiveGate> Archive(const std::string &) { return nullptr; }
};

// A channel's state for the page (see ChannelStatus::state) from the
// link's words for the recorder and the channel.
const char *ChannelState(const std::string &recorderState, const std::string &linkState);

// The JSON document of /api/status.
std::string StatusJson(const GatewayStatus &status);
// The Prometheus text exposition of /metrics.
std::string StatusMetrics(const GatewayStatus &status);
// "/NAME/CH.EXT" → NAME, CH and EXT; false for anything else (NAME is one
// path segment, CH a channel number 0-255).
bool ParseChannelPath(const std::string &path, std::string &name, int &channel, std::string &extension);

}  // namespace kn::gateway
