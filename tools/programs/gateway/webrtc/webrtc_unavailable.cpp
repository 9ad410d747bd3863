// Without libsoup 3 or GStreamer's WebRTC library there is no WebRTC front.
#include "tools/programs/gateway/webrtc/whep_front.h"

namespace kn::gateway {

std::unique_ptr<IFront> MakeWhepFront(const SiteConfig &, ISiteDirectory &) { return nullptr; }

}  // namespace kn::gateway
