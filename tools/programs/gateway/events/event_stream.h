// The event stream front: GET /api/events on the gateway's HTTP listener, as
// Server-Sent Events (text/event-stream). Each event is one "id:" line and
// one "data:" line holding its JSON object. The query filters:
// recorder=NAME, kind=KIND[,KIND...] (repeatable). A client that comes back
// with Last-Event-ID (or last-event-id= in the query) first gets what the
// bus's window still holds after that id. A comment line goes out every
// 15 s so that proxies keep the stream open. A client that reads too slowly
// (its unsent text beyond a bound) is ended; it comes back with its
// Last-Event-ID.
#pragma once

#include <memory>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

std::unique_ptr<IFront> MakeEventStreamFront(const SiteConfig &site, ISiteDirectory &directory);

}  // namespace kn::gateway
