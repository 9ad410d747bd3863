#include "tools/programs/gateway/fronts.h"

#include "tools/programs/gateway/events/event_stream.h"
#include "tools/programs/gateway/events/mqtt_front.h"
#include "tools/programs/gateway/events/webhooks.h"
#include "tools/programs/gateway/rtsp/rtsp_front.h"
#include "tools/programs/gateway/web/http_front.h"

namespace kn::gateway {

namespace {

const FrontMaker kFronts[] = {
    {"rtsp", MakeRtspFront},         {"web", MakeHttpFront},  {"events", MakeEventStreamFront},
    {"webhooks", MakeWebhooksFront}, {"mqtt", MakeMqttFront},
};

}  // namespace

std::span<const FrontMaker> Fronts() { return kFronts; }

}  // namespace kn::gateway
