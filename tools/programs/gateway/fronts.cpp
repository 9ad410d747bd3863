#include "tools/programs/gateway/fronts.h"

#include "tools/programs/gateway/hls/hls_front.h"
#include "tools/programs/gateway/rtsp/rtsp_front.h"
#include "tools/programs/gateway/web/http_front.h"

namespace kn::gateway {

namespace {

const FrontMaker kFronts[] = {
    {"rtsp", MakeRtspFront},
    {"web", MakeHttpFront},
    {"hls", MakeHlsFront},
};

}  // namespace

std::span<const FrontMaker> Fronts() { return kFronts; }

}  // namespace kn::gateway
