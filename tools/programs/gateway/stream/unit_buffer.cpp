#include "tools/programs/gateway/stream/unit_buffer.h"

#include <gst/gst.h>

namespace kn::gateway {

namespace {

void ReleaseUnit(gpointer data) { delete static_cast<SharedUnit *>(data); }

}  // namespace

GstBuffer *UnitBuffer(const SharedUnit &unit, int64_t ptsNs) { return UnitBuffer(unit, ptsNs, ptsNs); }

GstBuffer *UnitBuffer(const SharedUnit &unit, int64_t ptsNs, int64_t dtsNs)
{
    auto *held = new SharedUnit(unit);
    // The memory is read-only: a pipeline that would write to it copies it.
    GstBuffer *buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t *>(unit->bytes.data()),
                                                    unit->bytes.size(), 0, unit->bytes.size(), held, ReleaseUnit);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(ptsNs);
    GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(dtsNs);
    return buffer;
}

}  // namespace kn::gateway
