// The webhooks front: each URL of the site file's webhooks: gets every
// event of the kinds it wants as one JSON POST (the event's object, as the
// event stream writes it), from a thread and a queue of its own, so a
// receiver that is slow, hangs or fails holds back nothing else. A POST
// that fails (no answer within 5 s, a transport error, 5xx, 408, 429) is
// tried again after 1, 2 and 4 s, then given up; other answers end it.
// What overflows a URL's queue (its size in the site file, 256 by default)
// is dropped and counted in the log.
#pragma once

#include <memory>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

std::unique_ptr<IFront> MakeWebhooksFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway
