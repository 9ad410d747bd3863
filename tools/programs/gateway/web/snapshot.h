// Snapshots: the latest picture of a channel as a JPEG, decoded from a group
// of pictures (a keyframe with its parameter sets and the frames after it)
// with GStreamer's H.264 decoder and encoded with its JPEG encoder, on a
// thread of GLib's pool so the main loop never waits for a decoder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/programs/gateway/stream/channel_hub.h"

namespace kn::gateway {

// Decodes the access units (the first one a keyframe) and encodes the last
// picture as a JPEG, width wide (0: the picture's own size; the height
// keeps the picture's shape). Blocking, bounded by a few seconds; false
// with a message.
bool EncodeSnapshot(const std::vector<std::vector<uint8_t>> &units, int width, std::vector<uint8_t> &jpeg,
                    std::string &message);

// Collects a group from a channel's hub: added as a client, it takes the
// first unit the hub hands it (a keyframe with its parameter sets) and
// reports it once.
class CSnapshotGrab final : public IClientSink {
public:
    using Done = std::function<void(std::vector<std::vector<uint8_t>> units)>;
    explicit CSnapshotGrab(Done done) : m_Done(std::move(done)) {}

    int64_t RunningTimeNs() override { return 0; }
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override;
    void End() override {}
    std::string Peer() const override { return "snapshot"; }

private:
    std::mutex m_Mutex;
    Done m_Done;  // cleared once called
};

// Runs EncodeSnapshot on GLib's thread pool and calls done on the main
// loop with the JPEG (empty on failure) and a message.
void EncodeSnapshotAsync(std::vector<std::vector<uint8_t>> units, int width,
                         std::function<void(std::vector<uint8_t> jpeg, std::string message)> done);

}  // namespace kn::gateway
