// The reply code table: which reply code answers a request code that the
// parameter pass-through may send. 0 means the request is not permitted.
#pragma once

#include <cstdint>

namespace kn::net {

// Looked up with the whole 32-bit request code (values outside 33-232 map to 0).
uint8_t ReplyCodeFor(int32_t requestCode);

// Number of permitted request codes in this build's table.
int ReplyTableSize();

}  // namespace kn::net
