// The values the host knows sessions and streams by.
//
// A handle is the address of a small cell that names one object for the
// object's whole life. The object itself (a stream is about a megabyte) is
// never what the address points at, so the heap may give an object's memory
// to the next one while the old handle stays dead: a cell that names a
// destroyed object is handed out again only after kReuseAfter other cells
// of its pool have been given back. A host that stops or logs out twice
// therefore never reaches a later object with the stale value.
//
// A pool keeps every cell it has made: as many as were ever alive at once,
// plus the kReuseAfter last given back (a pointer-sized cell and a 32-bit
// place in the queue each). Nothing is made or freed while media flows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/mutex.h"

namespace kn {

class CHandlePool {
public:
    static constexpr size_t kReuseAfter = 65536;

    CHandlePool() = default;
    CHandlePool(const CHandlePool &) = delete;
    CHandlePool &operator=(const CHandlePool &) = delete;

    // A cell no live object holds and none of the last kReuseAfter given
    // back, and its number in the pool; never null.
    void *Take(uint32_t &index);
    // Gives back the cell of that number, which Take handed out.
    void Give(uint32_t index) noexcept;

    // Cells made so far, and the bytes the pool holds for them (cells and
    // the queue of cells given back).
    size_t CellsMade() const;
    size_t BytesHeld() const;

private:
    using Cell = uintptr_t;  // pointer-sized and aligned, like any object address
    static constexpr size_t kChunkCells = 4096;

    Cell *CellAt(uint32_t index) const { return &m_Chunks[index / kChunkCells][index % kChunkCells]; }
    void Queue(uint32_t index);

    mutable platform::CMutex m_Mutex;
    std::vector<std::unique_ptr<Cell[]>> m_Chunks;
    uint32_t m_nMade = 0;
    // The cells given back, oldest first: a ring of cell numbers.
    std::vector<uint32_t> m_Returned;
    size_t m_nReturnedHead = 0;
    size_t m_nReturnedCount = 0;
};

// The pools of the two kinds of handle: a session's and a stream's handles
// never coincide. They live as long as the process.
CHandlePool &SessionHandles();
CHandlePool &StreamHandles();

// A cell held by an object for its life: taken when the object is built,
// given back when it is destroyed.
class CHandle {
public:
    explicit CHandle(CHandlePool &pool) : m_Pool(pool), m_pCell(pool.Take(m_nIndex)) {}
    ~CHandle() { m_Pool.Give(m_nIndex); }
    CHandle(const CHandle &) = delete;
    CHandle &operator=(const CHandle &) = delete;

    void *Value() const { return m_pCell; }

private:
    CHandlePool &m_Pool;
    uint32_t m_nIndex = 0;
    void *const m_pCell;
};

}  // namespace kn
