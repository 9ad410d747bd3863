// The fixed 64-byte block that describes the media to the host's decoder.
#pragma once

#include <cstdint>

namespace kn {

constexpr unsigned kDecoderHeaderSize = 64;

// Same address for the life of the library; never changed.
const uint8_t *DecoderHeader();

}  // namespace kn
