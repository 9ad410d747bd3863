// Without libsoup there is no HTTP listener to serve HLS on.
#include "tools/programs/gateway/hls/hls_front.h"

namespace kn::gateway {

std::unique_ptr<IFront> MakeHlsFront(const SiteConfig &, ISiteDirectory &) { return nullptr; }

}  // namespace kn::gateway
