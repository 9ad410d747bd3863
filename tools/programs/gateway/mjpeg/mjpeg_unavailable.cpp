// Without libsoup 3 the gateway has no HTTP listener, so no MJPEG front.
#include "tools/programs/gateway/mjpeg/mjpeg_front.h"

namespace kn::gateway {

std::unique_ptr<IFront> MakeMjpegFront(const SiteConfig &, ISiteDirectory &) { return nullptr; }

}  // namespace kn::gateway
