#include "tools/programs/gateway/fronts.h"

#include "tools/programs/gateway/events/event_stream.h"
#include "tools/programs/gateway/events/mqtt_front.h"
#include "tools/programs/gateway/events/webhooks.h"
#include "tools/programs/gateway/hls/hls_front.h"
#include "tools/programs/gateway/mjpeg/mjpeg_front.h"
#include "tools/programs/gateway/onvif/onvif_front.h"
#include "tools/programs/gateway/rtsp/rtsp_front.h"
#include "tools/programs/gateway/web/http_front.h"
#include "tools/programs/gateway/webrtc/whep_front.h"

namespace kn::gateway {

namespace {

const FrontMaker kFronts[] = {
    {"rtsp", MakeRtspFront},           // RTSP, live and playback
    {"mjpeg", MakeMjpegFront},         // routes on the web front's listener, stopped before it
    {"webrtc", MakeWhepFront},         // likewise
    {"events", MakeEventStreamFront},  // likewise: GET /api/events
    {"hls", MakeHlsFront},             // likewise: /NAME/CH/index.m3u8 and its media
    {"onvif", MakeOnvifFront},         // likewise: /onvif/NAME/device_service ...
    {"web", MakeHttpFront},            // the HTTP listener, the page, video, snapshots, status
    {"webhooks", MakeWebhooksFront},   // the events posted
    {"mqtt", MakeMqttFront},           // the events and states on a broker
};

}  // namespace

std::span<const FrontMaker> Fronts() { return kFronts; }

}  // namespace kn::gateway
