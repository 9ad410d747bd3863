#include "tools/programs/gateway/fronts.h"

#include "tools/programs/gateway/hls/hls_front.h"
#include "tools/programs/gateway/mjpeg/mjpeg_front.h"
#include "tools/programs/gateway/rtsp/rtsp_front.h"
#include "tools/programs/gateway/web/http_front.h"

namespace kn::gateway {

namespace {

const FrontMaker kFronts[] = {
    {"rtsp", MakeRtspFront},
    {"mjpeg", MakeMjpegFront},  // a route on the web front's listener, stopped before it
    {"hls", MakeHlsFront},      // a route on the web front's listener, stopped before it
    {"web", MakeHttpFront},
};

}  // namespace

std::span<const FrontMaker> Fronts() { return kFronts; }

}  // namespace kn::gateway
