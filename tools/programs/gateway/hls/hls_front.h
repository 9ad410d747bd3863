// The HLS front: every channel of the site as an HLS media playlist of
// fragmented MP4 (CMAF) segments with low-latency parts, on the gateway's
// HTTP listener:
//   /NAME/CH/index.m3u8      the playlist (blocking reload: _HLS_msn, _HLS_part)
//   /NAME/CH/init.mp4        the init segment
//   /NAME/CH/N.m4s           segment N (one group of pictures)
//   /NAME/CH/N.P.m4s         part P of segment N
// A channel has one muxer however many clients ask for it (a CFmp4Stream,
// a reader of the channel's stream), made by the first request and ended a
// minute after the last; its segments live in a bounded window in memory
// (CHlsWindow), never on disk.
#pragma once

#include <memory>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

// Null when the site serves no HTTP (http: off).
std::unique_ptr<IFront> MakeHlsFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway
