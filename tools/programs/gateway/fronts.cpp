#include "tools/programs/gateway/fronts.h"

#include "tools/programs/gateway/mjpeg/mjpeg_front.h"
#include "tools/programs/gateway/rtsp/rtsp_front.h"
#include "tools/programs/gateway/web/http_front.h"
#include "tools/programs/gateway/webrtc/whep_front.h"

namespace kn::gateway {

namespace {

const FrontMaker kFronts[] = {
    {"rtsp", MakeRtspFront},
    {"mjpeg", MakeMjpegFront},  // routes on the web front's listener, stopped before it
    {"webrtc", MakeWhepFront},
    {"web", MakeHttpFront},
};

}  // namespace

std::span<const FrontMaker> Fronts() { return kFronts; }

}  // namespace kn::gateway
