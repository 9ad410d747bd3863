// The gateway's whole HTTP answers (libsoup 3), written one way: a status,
// a body copied from the caller, and no caching, since every answer the
// gateway writes whole (status, errors, listings, the page's data) says how
// things are now. Header only: libsoup belongs to the web side, which alone
// includes this file.
#pragma once

#include <libsoup/soup.h>

#include <string>

namespace kn::common {

// Sets msg's status, its body (copied) and its type; on the main context,
// before the message is answered.
inline void Reply(SoupServerMessage *msg, guint status, const char *type, const std::string &body)
{
    soup_server_message_set_status(msg, status, nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-store");
    soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

}  // namespace kn::common
