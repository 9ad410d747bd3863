// A channel's shared access unit as a GstBuffer that holds the unit instead
// of a copy of its bytes: the unit stays alive until the pipeline lets the
// buffer go.
#pragma once

#include <cstdint>

#include "tools/programs/gateway/stream/stream_unit.h"

typedef struct _GstBuffer GstBuffer;

namespace kn::gateway {

GstBuffer *UnitBuffer(const SharedUnit &unit, int64_t ptsNs);
// With a decoding time of its own.
GstBuffer *UnitBuffer(const SharedUnit &unit, int64_t ptsNs, int64_t dtsNs);

}  // namespace kn::gateway
