// Which of an SDP offer's H.264 formats a stream can go out as, unchanged:
// packetization mode 1 and a profile the stream keeps to. No GStreamer: the
// offer is read as text.
#pragma once

#include <cstdint>
#include <string>

namespace kn::gateway {

// The payload type of the offer's first H.264 format (in the order of its
// rtpmap lines) that a stream with this SPS profile_idc and constraint
// byte can be sent as, with packetization-mode=1; -1 when none fits.
int PickH264Payload(const std::string &offer, uint8_t profile, uint8_t constraints);

}  // namespace kn::gateway
