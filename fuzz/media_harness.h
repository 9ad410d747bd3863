// Drives the library's reassembly and frame queue with fuzzer input cut into
// chunks, and holds what a consumer takes out against the reference model.
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
// not its own, or out of order.
void RunMedia(const uint8_t *data, size_t size, bool datagram);

}  // namespace kn::fuzz
