// Built without libxml2 (or libsoup or GStreamer's codec parsers): no ONVIF
// devices; a site file that asks for them is told what is missing.
#include "tools/programs/gateway/onvif/onvif_front.h"

#include "tools/programs/gateway/status/gateway_log.h"

namespace kn::gateway {

std::unique_ptr<IFront> MakeOnvifFront(const SiteConfig &, ISiteDirectory &) { return nullptr; }

}  // namespace kn::gateway
