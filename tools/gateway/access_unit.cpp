#include "tools/gateway/access_unit.h"

namespace kn::gateway {

namespace {

constexpr int32_t kVideoPrefix = 16;  // the library's prefix of a type 2/3 frame
constexpr size_t kWrapper = 4;       // the recorder's wrapper in front of the unit
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

bool StartsWithStartCode(const uint8_t *p, size_t n)
{
    return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
           (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

void AppendNal(std::vector<uint8_t> &out, const std::vector<uint8_t> &nal)
{
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

namespace detail {

size_t FindStartCode(const uint8_t *data, size_t size, size_t from)
{
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i + 2] > 1) {
            i += 2;  // no start code can end in the next two bytes
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        }
    }
    return size;
}

}  // namespace detail

ByteSpan AccessUnitOfFrame(uint32_t type, const uint8_t *data, int32_t len)
{
    if ((type != 2 && type != 3) || data == nullptr || len <= kVideoPrefix) {
        return {};
    }
    const uint8_t *p = data + kVideoPrefix;
    size_t n = static_cast<size_t>(len - kVideoPrefix);
    if (n >= kWrapper && p[0] == 'K' && p[1] == 'V') {
        p += kWrapper;
        n -= kWrapper;
    }
    if (!StartsWithStartCode(p, n)) {
        return {};
    }
    return {p, n};
}

UnitSummary Summarise(ByteSpan au)
{
    UnitSummary s;
    ForEachNal(au, [&s](int type, const uint8_t *, size_t) {
        s.idr = s.idr || type == kNalIdr;
        s.sps = s.sps || type == kNalSps;
        s.pps = s.pps || type == kNalPps;
    });
    return s;
}

void CParameterSets::Learn(ByteSpan au)
{
    ForEachNal(au, [this](int type, const uint8_t *nal, size_t size) {
        if (type == kNalSps) {
            m_Sps.assign(nal, nal + size);
        } else if (type == kNalPps) {
            m_Pps.assign(nal, nal + size);
        }
    });
}

void CParameterSets::Complete(ByteSpan au, std::vector<uint8_t> &out) const
{
    out.clear();
    const UnitSummary s = Summarise(au);
    if (s.idr && Known()) {
        if (!s.sps) {
            AppendNal(out, m_Sps);
        }
        if (!s.pps) {
            AppendNal(out, m_Pps);
        }
    }
    out.insert(out.end(), au.data, au.data + au.size);
}

}  // namespace kn::gateway
