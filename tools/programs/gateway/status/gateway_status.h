// The gateway's one status model: the recorders, their channels with state
// and statistics, and the readers of each channel. Written as one JSON
// document (/api/status, and the log's state line on SIGUSR1) and in the
// Prometheus text format (/metrics). The site directory gives it to the
// fronts.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <string>
#include <vector>

namespace kn::gateway {

// What the receivers of one front's clients report of their links (RTCP
// receiver reports): the mean round trip and jitter and the worst loss
// over the clients that reported; -1 before any report.
struct LinkReports {
    int clients = 0;  // clients that reported
    double roundTripMs = -1;
    double jitterMs = -1;
    double fractionLost = -1;  // 0-1, of the last report's interval
};

struct ChannelStatus {
    int channel = 0;
    std::string name;  // shown on the page
    // "idle" (no client, stream closed), "playing" (frames flow),
    // "reconnecting" (clients wait for the stream to open or come back),
    // "lost" (clients wait and the recorder itself is lost).
    std::string state = "idle";
    // The link's own word: "idle", "opening", "playing", "retrying"
    // (refused or lost; next attempt below), "waiting" (for the recorder's
    // session).
    std::string linkState = "idle";
    int64_t nextAttemptInMs = -1;  // -1: none planned
    uint64_t frames = 0;           // received from the recorder since the start
    uint64_t bytes = 0;            // their H.264 bytes
    double fps = 0;                // over the last second or so
    double kbitPerSecond = 0;
    int64_t keyframeAgeMs = -1;  // -1: no keyframe yet
    // The stream's readers by front ("rtsp", "web", ...), and the times a
    // front's reader skipped to the next keyframe; snapshots are neither.
    std::map<std::string, int> clients;
    std::map<std::string, uint64_t> skips;
    // The H.264 bytes each front's clients took since the start (before
    // their container or packets), and what the receivers report.
    std::map<std::string, uint64_t> sentBytes;
    std::map<std::string, LinkReports> reports;
    uint64_t reconnections = 0;  // stream reopened after a loss
    bool preload = false;
    // The keyframe cache: the frames and bytes of the group it holds, and
    // "holding", or why it holds nothing.
    uint64_t cacheFrames = 0;
    uint64_t cacheBytes = 0;
    std::string cacheState = "no keyframe yet";
    std::string lastError;    // the last trouble, "" when none
    std::string streamUrl;    // path of the fMP4 stream
    std::string snapshotUrl;  // path of the JPEG snapshot
    std::string rtspPath;     // path on the RTSP server

    int Clients(const std::string &front) const
    {
        const auto it = clients.find(front);
        return it != clients.end() ? it->second : 0;
    }
};

struct RecorderStatus {
    std::string name;
    std::string address;  // HOST:PORT of the recorder
    // "logging in", "logged in", "reconnecting" (lost; next attempt below),
    // "stopped".
    std::string state = "logging in";
    int64_t nextAttemptInMs = -1;
    uint64_t logins = 0;
    uint64_t sessionLosses = 0;
    std::string lastError;
    std::vector<ChannelStatus> channels;
};

// The last reload of the site file (atUnixMs -1: none since the start).
struct ReloadStatus {
    int64_t atUnixMs = -1;
    std::string trigger;  // "SIGHUP", "the file changed"
    bool applied = false;
    std::string message;  // why it was refused ("" when applied)
};

struct GatewayStatus {
    std::string version;
    double uptime = 0;          // seconds
    int64_t takenAtUnixMs = 0;  // wall clock, for the next attempts' times
    ReloadStatus lastReload;
    std::vector<RecorderStatus> recorders;
    std::vector<std::string> warnings;                            // of the configuration (plain listeners)
    std::vector<std::pair<std::string, uint64_t>> loginRefusals;  // by listener: logins refused by the hold-back
};

// A channel's state for the page (see ChannelStatus::state) from the
// link's words for the recorder and the channel.
const char *ChannelState(const std::string &recorderState, const std::string &linkState);

// Whether the ONVIF front serves a device per recorder (and per channel):
// the status then names each device's service path. Set by that front as
// it starts, any thread.
void SetOnvifListing(bool recorders, bool channels);

// The JSON document of /api/status: one line, no line end.
std::string StatusJson(const GatewayStatus &status);
// The Prometheus text exposition of /metrics.
std::string StatusMetrics(const GatewayStatus &status);
// "/NAME/CH.EXT" → NAME, CH and EXT; false for anything else (NAME is one
// path segment, CH a channel number 0-255).
bool ParseChannelPath(const std::string &path, std::string &name, int &channel, std::string &extension);

}  // namespace kn::gateway
