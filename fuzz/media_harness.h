// Drives the library's receive side (control replies and media apart, the
// reassembly, the frame queue) with fuzzer input cut into chunks, and holds
// the replies it hands over and what a consumer takes out against the
// reference model. The bytes may begin with a control reply followed by
// media, as a recorder's opening exchange does, cut anywhere.
//
// Input: byte 0 = n (the number of chunk sizes, 0-15), then n sizes of two
// bytes each (little-endian, taken modulo 4096, 0 read as 1) used in turn,
// then the bytes received. Every chunk is handed over in a heap block of its
// exact size, so a read past what was received is caught by the sanitizer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kn::fuzz {

// Aborts (so the fuzzer reports a crash) when a delivered frame is not whole,
// not its own, or out of order, or the replies differ from the reference's.
void RunMedia(const uint8_t *data, size_t size, bool datagram);

}  // namespace kn::fuzz
