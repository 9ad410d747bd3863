#include "tools/common/backoff.h"

#include <algorithm>

namespace kn::common {

int64_t CBackoff::Next()
{
    const int64_t delay = std::min(m_nNextMs, m_nCeilingMs);
    m_nNextMs = std::min(m_nNextMs * 2, std::max<int64_t>(m_nCeilingMs, kFirstMs));
    return delay;
}

}  // namespace kn::common
