// Whether a channel's H.264 shows its pictures in another order than it
// sends them (B-frames): a browser's WebRTC receiver decodes and shows each
// frame as it comes, so such a stream is not sent over WebRTC. Read with
// GStreamer's H.264 parser from the channel's cached group: its SPS says
// that no picture can be reordered (the Baseline profile, picture order
// count type 2, or a bitstream restriction of 0 reordered frames), or that
// some may be (more than 0); where it says neither, the group's slices do
// (a B slice).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kn::gateway {

// Why the group's stream reorders its pictures; "" when it does not, or
// when the group holds no SPS to tell.
std::string PictureReordering(const std::vector<std::vector<uint8_t>> &group);

}  // namespace kn::gateway
