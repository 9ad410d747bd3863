// CGatewayState: a snapshot of the gateway's state that a machine can read:
// every recorder (logged in, lost, reconnecting with the next attempt's
// time) and every channel (its stream's state, frames, frame rate, bit
// rate, clients, reconnections, age of the last keyframe). Taken by the
// site from its recorders at any moment and written as one JSON document;
// the web front serves it as it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kn::gateway {

struct ChannelSnapshot {
    int channel = 0;
    // "idle" (no client, stream closed), "opening", "playing", "retrying"
    // (refused or lost; next attempt below), "waiting" (for the recorder's
    // session).
    std::string state = "idle";
    int64_t nextAttemptInMs = -1;  // -1: none planned
    uint64_t frames = 0;
    uint64_t bytes = 0;
    double fps = 0;  // over the last second or so
    double kbitPerSecond = 0;
    int clients = 0;
    uint64_t reconnections = 0;
    int64_t keyframeAgeMs = -1;  // -1: no keyframe yet
    bool preload = false;
    // The keyframe cache: the frames and bytes of the group it holds, and
    // "holding", or why it holds nothing.
    uint64_t cacheFrames = 0;
    uint64_t cacheBytes = 0;
    std::string cacheState = "no keyframe yet";
    std::string lastError;  // the last trouble, "" when none
};

struct RecorderSnapshot {
    std::string name;
    std::string address;
    uint16_t port = 0;
    // "logging in", "logged in", "reconnecting" (lost; next attempt below),
    // "stopped".
    std::string state = "logging in";
    int64_t nextAttemptInMs = -1;
    uint64_t logins = 0;
    uint64_t sessionLosses = 0;
    std::string lastError;
    std::vector<ChannelSnapshot> channels;
};

class CGatewayState {
public:
    std::vector<RecorderSnapshot> recorders;
    int64_t takenAtUnixMs = 0;  // wall clock, for the next attempts' times

    // One JSON document (UTF-8, no trailing newline).
    std::string ToJson() const;
};

// A JSON string literal with its quotes.
std::string JsonString(const std::string &text);

}  // namespace kn::gateway
