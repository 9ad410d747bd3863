#include "tools/programs/gateway/stream/stream_unit.h"

namespace kn::gateway {

std::shared_ptr<StreamUnit> CUnitPool::Take()
{
    // Units come back roughly in the order they went out, so the search
    // starts after the last one taken and usually ends at once.
    for (size_t i = 0; i < m_Units.size(); ++i) {
        const size_t at = (m_nNext + i) % m_Units.size();
        // Only this pool can hand a unit out again, so a count of one
        // cannot grow behind the test's back.
        if (m_Units[at].use_count() == 1) {
            m_nNext = (at + 1) % m_Units.size();
            m_Units[at]->bytes.clear();
            m_Units[at]->keyframe = false;
            m_Units[at]->arrivalNs = 0;
            return m_Units[at];
        }
    }
    auto unit = std::make_shared<StreamUnit>();
    if (m_Units.size() < kMaxPooled) {
        m_Units.push_back(unit);
        m_nNext = 0;
    }
    return unit;
}

}  // namespace kn::gateway
