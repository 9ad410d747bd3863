// kestrel built without a library the gateway needs (GStreamer's RTSP
// server library, or nlohmann-json): the gateway command explains which.
#include <cstdio>

#include "tools/programs/gateway/gateway.h"

#ifndef KN_GATEWAY_MISSING
#  define KN_GATEWAY_MISSING "GStreamer's RTSP server library"
#  define KN_GATEWAY_PACKAGE "libgstrtspserver-1.0-dev"
#endif

namespace kn::gateway {

int RunGateway(int, char **)
{
    std::fputs("kestrel: this kestrel was built without " KN_GATEWAY_MISSING ", so it has no gateway.\n"
               "Install " KN_GATEWAY_PACKAGE " and configure again.\n",
               stderr);
    return 1;
}

}  // namespace kn::gateway
