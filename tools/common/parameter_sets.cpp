#include "tools/common/parameter_sets.h"

namespace kn::common {

namespace {

constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

void AppendNal(std::vector<uint8_t> &out, const std::vector<uint8_t> &nal)
{
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

UnitSummary CParameterSets::Learn(ByteSpan au)
{
    UnitSummary s;
    ForEachNal(au, [this, &s](int type, const uint8_t *nal, size_t size) {
        s.idr = s.idr || type == kNalIdr;
        if (type == kNalSps) {
            s.sps = true;
            m_Sps.assign(nal, nal + size);
        } else if (type == kNalPps) {
            s.pps = true;
            m_Pps.assign(nal, nal + size);
        }
    });
    return s;
}

void CParameterSets::Complete(ByteSpan au, const UnitSummary &s, std::vector<uint8_t> &out) const
{
    out.clear();
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

}  // namespace kn::common
