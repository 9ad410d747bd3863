// kestrel built without GStreamer's RTSP server library: the gateway
// command explains why it is missing.
#include <cstdio>

#include "tools/programs/gateway/gateway.h"

namespace kn::gateway {

int RunGateway(int, char **)
{
    std::fputs("kestrel: this kestrel was built without GStreamer's RTSP server library, so it has no gateway.\n"
               "Install libgstrtspserver-1.0-dev and configure again.\n",
               stderr);
    return 1;
}

}  // namespace kn::gateway
