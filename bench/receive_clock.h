// When the library last received bytes. The benchmark binary replaces recv()
// with a wrapper that stamps the steady clock each time a receive on one of
// the library's threads returns data, so that a data callback can tell how
// long the frame took from its last byte reaching the library to the host.
// Meaningful only while one stream receives and frames are far apart.
#pragma once

#include <cstdint>

namespace kn::bench {

// Stamping reads the clock on every receive, which costs the receive thread
// real time on some machines: it is on only while latency is measured.
void StampLibraryReceives(bool on);

// Steady-clock nanoseconds of the last library receive that returned bytes
// while stamping was on; 0 before the first.
uint64_t LastLibraryReceiveNs();

}  // namespace kn::bench
