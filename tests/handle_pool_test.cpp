// The handle rule in process, past its bound and with no sockets: a cell
// given back is not handed out again until kReuseAfter others have been
// given back after it, live cells are never handed out twice, and what the
// pool holds stays bounded however many objects come and go.
#include "core/handle_pool.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <vector>

namespace kn {
namespace {

TEST(HandlePool, AGivenBackCellWaitsForItsTurnAndMemoryStaysBounded)
{
    CHandlePool pool;
    constexpr size_t kRule = CHandlePool::kReuseAfter;
    std::set<void *> live;
    std::deque<void *> retired;  // the last kRule given back, oldest first
    std::set<void *> recent;     // the same, for look-ups
    std::vector<std::pair<void *, uint32_t>> held;
    size_t bytesAtBound = 0;
    uint32_t state = 12345;
    // Up to 40 objects alive at once, each ending after a while: about two
    // and a half times the bound of them come and go.
    for (size_t step = 0; step < 5 * kRule; ++step) {
        state = state * 1103515245u + 12345u;
        const bool take = held.size() < 2 || (held.size() < 40 && (state >> 16) % 2 == 0);
        if (take) {
            uint32_t index = 0;
            void *cell = pool.Take(index);
            ASSERT_NE(cell, nullptr);
            ASSERT_EQ(live.count(cell), 0u) << "a live cell handed out again at step " << step;
            ASSERT_EQ(recent.count(cell), 0u) << "a cell handed out again within the bound at step " << step;
            live.insert(cell);
            held.emplace_back(cell, index);
        } else {
            const size_t which = (state >> 8) % held.size();
            const auto [cell, index] = held[which];
            held.erase(held.begin() + static_cast<long>(which));
            live.erase(cell);
            pool.Give(index);
            retired.push_back(cell);
            recent.insert(cell);
            if (retired.size() > kRule) {
                recent.erase(retired.front());
                retired.pop_front();
            }
        }
        if (step == 3 * kRule) {  // well past the bound: cells are being reused
            bytesAtBound = pool.BytesHeld();
        }
    }
    // Cells are reused once the bound is passed: no more are made than were
    // ever alive together plus the bound (and a chunk's rounding).
    EXPECT_LE(pool.CellsMade(), kRule + 40 + 4096);
    EXPECT_EQ(pool.BytesHeld(), bytesAtBound);
    EXPECT_LT(pool.BytesHeld(), size_t{1} << 20);
}

TEST(HandlePool, TheFirstCellComesBackAfterExactlyTheBound)
{
    CHandlePool pool;
    uint32_t first = 0;
    void *a = pool.Take(first);
    pool.Give(first);
    for (size_t i = 0; i < CHandlePool::kReuseAfter; ++i) {
        uint32_t index = 0;
        ASSERT_NE(pool.Take(index), a);
        pool.Give(index);
    }
    uint32_t index = 0;
    EXPECT_EQ(pool.Take(index), a);  // 65536 given back after it: its turn
    EXPECT_EQ(index, first);
}

TEST(HandlePool, SessionAndStreamHandlesNeverCoincide)
{
    uint32_t s = 0;
    uint32_t t = 0;
    void *session = SessionHandles().Take(s);
    void *stream = StreamHandles().Take(t);
    EXPECT_NE(session, stream);
    SessionHandles().Give(s);
    StreamHandles().Give(t);
}

}  // namespace
}  // namespace kn
