#include "core/handle_pool.h"

namespace kn {

void *CHandlePool::Take(uint32_t &index)
{
    platform::CLockGuard lock(m_Mutex);
    if (m_nReturnedCount > kReuseAfter) {
        index = m_Returned[m_nReturnedHead];
        m_nReturnedHead = (m_nReturnedHead + 1) % m_Returned.size();
        --m_nReturnedCount;
        return CellAt(index);
    }
    if (m_nMade % kChunkCells == 0) {
        m_Chunks.push_back(std::make_unique<Cell[]>(kChunkCells));
    }
    index = m_nMade++;
    return CellAt(index);
}

void CHandlePool::Give(uint32_t index) noexcept
{
    platform::CLockGuard lock(m_Mutex);
    Queue(index);
}

void CHandlePool::Queue(uint32_t index)
{
    // No more cells can come back than were made: the ring grows to the
    // cells the chunks hold, once per chunk at the most.
    if (m_nReturnedCount == m_Returned.size()) {
        std::vector<uint32_t> grown(m_Chunks.size() * kChunkCells);
        for (size_t i = 0; i < m_nReturnedCount; ++i) {
            grown[i] = m_Returned[(m_nReturnedHead + i) % m_Returned.size()];
        }
        m_Returned.swap(grown);
        m_nReturnedHead = 0;
    }
    m_Returned[(m_nReturnedHead + m_nReturnedCount) % m_Returned.size()] = index;
    ++m_nReturnedCount;
}

size_t CHandlePool::CellsMade() const
{
    platform::CLockGuard lock(m_Mutex);
    return m_nMade;
}

size_t CHandlePool::BytesHeld() const
{
    platform::CLockGuard lock(m_Mutex);
    return m_Chunks.size() * kChunkCells * sizeof(Cell) + m_Chunks.capacity() * sizeof(m_Chunks[0]) +
           m_Returned.capacity() * sizeof(uint32_t);
}

// Never destroyed: objects that outlive the end of main (a thread past its
// stop grace, a session the host never logged out) still give their cells back.
CHandlePool &SessionHandles()
{
    static CHandlePool *const pool = new CHandlePool;
    return *pool;
}

CHandlePool &StreamHandles()
{
    static CHandlePool *const pool = new CHandlePool;
    return *pool;
}

}  // namespace kn
