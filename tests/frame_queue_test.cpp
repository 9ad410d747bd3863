#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "stream/frame_queue.h"

using kn::CFrameQueue;

namespace {

constexpr uint32_t kDeliverCapacity = 131072;

// Frame n's bytes: its index in the first four bytes, then a pattern that
// depends on both the index and the position, so a frame holding bytes of
// another frame, or of two frames, is recognised.
uint8_t PatternByte(uint32_t index, uint32_t at)
{
    return static_cast<uint8_t>(index * 131u + at * 7u + (at >> 8) + (index >> 8));
}

void FillFrame(std::vector<uint8_t> &bytes, uint32_t index, int32_t length)
{
    bytes.resize(static_cast<size_t>(length));
    for (int32_t at = 0; at < length; ++at) {
        bytes[at] = PatternByte(index, static_cast<uint32_t>(at));
    }
    if (length >= 4) {
        std::memcpy(bytes.data(), &index, 4);
    }
}

// Checks that bytes are exactly frame `index` of `length` bytes.
::testing::AssertionResult HoldsFrame(const uint8_t *bytes, int32_t length, uint32_t index, int32_t expectLength)
{
    if (length != expectLength) {
        return ::testing::AssertionFailure()
               << "frame " << index << ": " << length << " bytes, expected " << expectLength;
    }
    for (int32_t at = length >= 4 ? 4 : 0; at < length; ++at) {
        if (bytes[at] != PatternByte(index, static_cast<uint32_t>(at))) {
            return ::testing::AssertionFailure() << "frame " << index << ": foreign byte at " << at;
        }
    }
    return ::testing::AssertionSuccess();
}

uint32_t IndexOf(const uint8_t *bytes)
{
    uint32_t index;
    std::memcpy(&index, bytes, 4);
    return index;
}

// Stores a whole frame: a first fragment of firstLength bytes, the rest in
// appends of at most pieceLength bytes.
void Produce(CFrameQueue &queue, const std::vector<uint8_t> &bytes, uint8_t type, int32_t firstLength,
             int32_t pieceLength)
{
    const int32_t total = static_cast<int32_t>(bytes.size());
    firstLength = std::min(firstLength, total);
    ASSERT_TRUE(queue.BeginFrame(bytes.data(), type, firstLength, total));
    for (int32_t at = firstLength; at < total; at += pieceLength) {
        ASSERT_TRUE(queue.AppendFrame(bytes.data() + at, type, std::min(pieceLength, total - at)));
    }
}

void ProduceIndexed(CFrameQueue &queue, uint32_t index, int32_t length, uint8_t type = 2)
{
    std::vector<uint8_t> bytes;
    FillFrame(bytes, index, length);
    Produce(queue, bytes, type, 16, 4096);
}

class FrameQueueTest : public ::testing::Test {
protected:
    // Takes one frame; returns its index (or -1 for a 0 result).
    int64_t TakeIndex(int32_t expectLength)
    {
        uint8_t type = 0xEE;
        const int32_t got = m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity);
        if (got == 0) {
            return -1;
        }
        const uint32_t index = IndexOf(m_Buf.data());
        EXPECT_TRUE(HoldsFrame(m_Buf.data(), got, index, expectLength));
        return index;
    }

    // Frames first..end-1, each of the given length.
    void ProduceRange(uint32_t first, uint32_t end, int32_t length)
    {
        for (uint32_t i = first; i < end; ++i) {
            ProduceIndexed(*m_pQueue, i, length);
        }
    }

    // Takes frames first..end-1 in order, each of the given length, then
    // finds the queue empty.
    void ExpectFramesThenNone(uint32_t first, uint32_t end, int32_t length)
    {
        for (uint32_t i = first; i < end; ++i) {
            ASSERT_EQ(i, TakeIndex(length));
        }
        EXPECT_EQ(-1, TakeIndex(0));
    }

    std::unique_ptr<CFrameQueue> m_pQueue = std::make_unique<CFrameQueue>();
    std::vector<uint8_t> m_Buf = std::vector<uint8_t>(kDeliverCapacity);
};

}  // namespace

TEST_F(FrameQueueTest, EmptyTakeReturnsZeroAndChangesNothing)
{
    uint8_t type = 0xAA;
    EXPECT_EQ(0, m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity));
    EXPECT_EQ(0xAA, type);
    EXPECT_FALSE(m_pQueue->WaitForFrame(0));
    ProduceIndexed(*m_pQueue, 1, 40);
    EXPECT_EQ(1, TakeIndex(40));
    EXPECT_EQ(-1, TakeIndex(0));
}

TEST_F(FrameQueueTest, OrderKeptAndTypeDelivered)
{
    uint32_t next = 0;
    uint32_t expect = 0;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 7; ++i, ++next) {
            std::vector<uint8_t> bytes;
            FillFrame(bytes, next, static_cast<int32_t>(100 + next * 37 % 5000));
            Produce(*m_pQueue, bytes, static_cast<uint8_t>(next % 4), static_cast<int32_t>(next % 17), 1 + next % 900);
        }
        for (int i = 0; i < 5; ++i, ++expect) {
            uint8_t type = 0xEE;
            const int32_t got = m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity);
            ASSERT_TRUE(HoldsFrame(m_Buf.data(), got, expect, static_cast<int32_t>(100 + expect * 37 % 5000)));
            EXPECT_EQ(IndexOf(m_Buf.data()), expect);
            EXPECT_EQ(expect % 4, type);
        }
    }
    while (expect < next) {
        ASSERT_EQ(expect, TakeIndex(static_cast<int32_t>(100 + expect * 37 % 5000)));
        ++expect;
    }
    EXPECT_EQ(-1, TakeIndex(0));
}

TEST_F(FrameQueueTest, OneHundredNineteenWaitingFramesAreKept)
{
    ProduceRange(0, 119, 10);
    ExpectFramesThenNone(0, 119, 10);
}

TEST_F(FrameQueueTest, HundredTwentiethUncollectedFrameEmptiesQueue)
{
    ProduceRange(0, 120, 10);
    EXPECT_FALSE(m_pQueue->WaitForFrame(0));
    EXPECT_EQ(-1, TakeIndex(0));
    ProduceIndexed(*m_pQueue, 120, 10);
    ProduceIndexed(*m_pQueue, 121, 10);
    EXPECT_EQ(120, TakeIndex(10));
    EXPECT_EQ(121, TakeIndex(10));
    EXPECT_EQ(-1, TakeIndex(0));
}

TEST_F(FrameQueueTest, FrameOverCapacityIsConsumedAndDropped)
{
    ProduceIndexed(*m_pQueue, 0, 131073);
    ProduceIndexed(*m_pQueue, 1, 131072);
    ProduceIndexed(*m_pQueue, 2, 100);
    uint8_t type = 0xEE;
    EXPECT_EQ(0, m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity));
    EXPECT_EQ(2, type);
    EXPECT_EQ(1, TakeIndex(131072));
    EXPECT_EQ(2, TakeIndex(100));
    EXPECT_EQ(-1, TakeIndex(0));

    // A null destination consumes the frame like a capacity of 0.
    ProduceIndexed(*m_pQueue, 3, 50);
    ProduceIndexed(*m_pQueue, 4, 50);
    EXPECT_EQ(0, m_pQueue->TakeFrame(nullptr, nullptr, kDeliverCapacity));
    EXPECT_EQ(4, TakeIndex(50));
}

TEST_F(FrameQueueTest, WrapsToStartOnlyWhenFrameDoesNotFit)
{
    // 300000 + 300000 + 168000 fill the region exactly: nothing is lost.
    ProduceIndexed(*m_pQueue, 0, 300000);
    ProduceIndexed(*m_pQueue, 1, 300000);
    ProduceIndexed(*m_pQueue, 2, 168000);
    // The region is full: the next frame starts at offset 0 and needs the
    // bytes of frame 0, which is dropped; frames 1 and 2 stay intact.
    ProduceIndexed(*m_pQueue, 3, 1000);
    uint8_t type;
    EXPECT_EQ(0, m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity));  // frame 1: too big to deliver
    EXPECT_EQ(0, m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity));  // frame 2: too big to deliver
    EXPECT_EQ(3, TakeIndex(1000));
    EXPECT_EQ(-1, TakeIndex(0));
}

TEST_F(FrameQueueTest, FrameOneByteTooLongForTheEndStartsAtZero)
{
    ProduceRange(0, 6, 100000);
    ProduceIndexed(*m_pQueue, 6, 131072);  // ends at 731072: 36928 left
    ASSERT_EQ(0, TakeIndex(100000));
    ProduceIndexed(*m_pQueue, 7, 36928);  // fits the end exactly
    ProduceIndexed(*m_pQueue, 8, 36929);  // does not fit: offset 0, where frame 0 was
    for (uint32_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(i, TakeIndex(100000));
    }
    EXPECT_EQ(6, TakeIndex(131072));
    EXPECT_EQ(7, TakeIndex(36928));
    EXPECT_EQ(8, TakeIndex(36929));
}

TEST_F(FrameQueueTest, AppendWithOtherTypeStoresNothing)
{
    std::vector<uint8_t> bytes;
    FillFrame(bytes, 9, 100);
    ASSERT_TRUE(m_pQueue->BeginFrame(bytes.data(), 2, 16, 100));
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data() + 16, 1, 84));
    EXPECT_FALSE(m_pQueue->WaitForFrame(0));
    EXPECT_TRUE(m_pQueue->AppendFrame(bytes.data() + 16, 2, 40));
    // More than the frame still misses: accepted but stored nowhere.
    EXPECT_TRUE(m_pQueue->AppendFrame(bytes.data() + 56, 2, 45));
    EXPECT_FALSE(m_pQueue->WaitForFrame(0));
    EXPECT_TRUE(m_pQueue->AppendFrame(bytes.data() + 56, 2, 44));
    EXPECT_EQ(9, TakeIndex(100));
}

TEST_F(FrameQueueTest, AppendWithoutPartialFrameIsRefused)
{
    std::vector<uint8_t> bytes;
    FillFrame(bytes, 3, 64);
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data(), 0, 10));
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data(), 0, 0));
    ProduceIndexed(*m_pQueue, 3, 64, 0);
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data(), 0, 0));
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data(), 0, 1));
    EXPECT_EQ(3, TakeIndex(64));
    EXPECT_EQ(-1, TakeIndex(0));
}

TEST_F(FrameQueueTest, BeginWhilePartialAbandonsPartialFrame)
{
    std::vector<uint8_t> first;
    FillFrame(first, 1, 100);
    ASSERT_TRUE(m_pQueue->BeginFrame(first.data(), 1, 8, 100));
    ASSERT_TRUE(m_pQueue->AppendFrame(first.data() + 8, 1, 50));
    ProduceIndexed(*m_pQueue, 2, 80, 1);
    // The rest of the abandoned frame goes nowhere.
    EXPECT_FALSE(m_pQueue->AppendFrame(first.data() + 58, 1, 42));
    EXPECT_EQ(2, TakeIndex(80));
    EXPECT_EQ(-1, TakeIndex(0));
}

TEST_F(FrameQueueTest, RefusedBeginStillAbandonsPartialFrame)
{
    std::vector<uint8_t> bytes;
    FillFrame(bytes, 1, 100);
    ASSERT_TRUE(m_pQueue->BeginFrame(bytes.data(), 1, 8, 100));
    EXPECT_FALSE(m_pQueue->BeginFrame(bytes.data(), 1, 20, 10));     // fragment beyond total
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data() + 8, 1, 92));    // nothing partial now
    EXPECT_FALSE(m_pQueue->BeginFrame(bytes.data(), 1, -1, 10));     // negative fragment
    EXPECT_FALSE(m_pQueue->BeginFrame(bytes.data(), 1, 0, 0));       // empty frame
    EXPECT_FALSE(m_pQueue->BeginFrame(bytes.data(), 1, 8, 768001));  // never fits
    EXPECT_FALSE(m_pQueue->BeginFrame(nullptr, 1, 8, 100));          // no source
    EXPECT_FALSE(m_pQueue->AppendFrame(nullptr, 1, 8));
    EXPECT_FALSE(m_pQueue->WaitForFrame(0));
    ProduceIndexed(*m_pQueue, 5, 30);
    EXPECT_EQ(5, TakeIndex(30));
}

TEST_F(FrameQueueTest, ResetEmptiesQueueAndPartialFrame)
{
    ProduceIndexed(*m_pQueue, 1, 30);
    std::vector<uint8_t> bytes;
    FillFrame(bytes, 2, 30);
    ASSERT_TRUE(m_pQueue->BeginFrame(bytes.data(), 1, 10, 30));
    m_pQueue->Reset();
    EXPECT_FALSE(m_pQueue->AppendFrame(bytes.data() + 10, 1, 20));
    EXPECT_EQ(-1, TakeIndex(0));
    ProduceIndexed(*m_pQueue, 3, 30);
    EXPECT_EQ(3, TakeIndex(30));
}

// A frame that starts again at offset 0 must not be delivered in place of, or
// mixed into, frames still waiting there: those are dropped instead.
TEST_F(FrameQueueTest, WrappedFrameNeverOverwritesWaitingFrames)
{
    ProduceRange(0, 10, 100000);
    // Frames 7, 8 and 9 took the places of 0, 1 and 2.
    ExpectFramesThenNone(3, 10, 100000);
}

TEST_F(FrameQueueTest, SlowConsumerGetsOnlyWholeFramesInOrder)
{
    std::mt19937 rng(20240611);
    std::vector<int32_t> lengths(5000);
    for (int32_t &length : lengths) {
        length = rng() % 8 == 0 ? static_cast<int32_t>(60000 + rng() % 71073) : static_cast<int32_t>(4 + rng() % 20000);
    }
    std::vector<uint8_t> bytes;
    int64_t lastIndex = -1;
    int delivered = 0;
    for (uint32_t index = 0; index < lengths.size(); ++index) {
        FillFrame(bytes, index, lengths[index]);
        Produce(*m_pQueue, bytes, static_cast<uint8_t>(index % 4), static_cast<int32_t>(rng() % 17),
                static_cast<int32_t>(1 + rng() % 4096));
        if (rng() % 5 != 0) {
            continue;
        }
        uint8_t type;
        const int32_t got = m_pQueue->TakeFrame(m_Buf.data(), &type, kDeliverCapacity);
        if (got > 0) {
            const uint32_t taken = IndexOf(m_Buf.data());
            ASSERT_LT(taken, lengths.size());
            ASSERT_GT(static_cast<int64_t>(taken), lastIndex);
            ASSERT_EQ(taken % 4, type);
            ASSERT_TRUE(HoldsFrame(m_Buf.data(), got, taken, lengths[taken]));
            lastIndex = taken;
            ++delivered;
        }
    }
    EXPECT_GT(delivered, 100);
}

namespace {

// Polls until the consumer sleeps in WaitForFrame; bounded.
bool WaitUntilConsumerSleeps(const CFrameQueue &queue)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!queue.ConsumerWaiting()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

constexpr uint32_t kLongWaitMs = 20000;

}  // namespace

TEST(FrameQueueThread, WaitForFrameReturnsWhenProducerCompletesFrame)
{
    auto queue = std::make_unique<CFrameQueue>();
    std::atomic<bool> result{false};
    std::atomic<int64_t> waitedMs{-1};
    std::thread consumer([&] {
        const auto start = std::chrono::steady_clock::now();
        result = queue->WaitForFrame(kLongWaitMs);
        waitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    });
    ASSERT_TRUE(WaitUntilConsumerSleeps(*queue));
    // A partial frame does not wake the consumer; its completion does.
    std::vector<uint8_t> bytes;
    FillFrame(bytes, 4, 64);
    ASSERT_TRUE(queue->BeginFrame(bytes.data(), 1, 8, 64));
    EXPECT_TRUE(queue->ConsumerWaiting());
    ASSERT_TRUE(queue->AppendFrame(bytes.data() + 8, 1, 56));
    consumer.join();
    EXPECT_TRUE(result);
    // Woken by the frame, not released by the time-out.
    EXPECT_LT(waitedMs, static_cast<int64_t>(kLongWaitMs / 2));
    EXPECT_FALSE(queue->ConsumerWaiting());
}

TEST(FrameQueueThread, WakeReleasesWaiter)
{
    auto queue = std::make_unique<CFrameQueue>();
    std::atomic<bool> result{true};
    std::atomic<int64_t> waitedMs{-1};
    std::thread consumer([&] {
        const auto start = std::chrono::steady_clock::now();
        result = queue->WaitForFrame(kLongWaitMs);
        waitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    });
    ASSERT_TRUE(WaitUntilConsumerSleeps(*queue));
    queue->Wake();
    consumer.join();
    EXPECT_FALSE(result);
    EXPECT_LT(waitedMs, static_cast<int64_t>(kLongWaitMs / 2));
}

TEST(FrameQueueThread, WakeBeforeWaitIsNotLost)
{
    auto queue = std::make_unique<CFrameQueue>();
    queue->Wake();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue->WaitForFrame(kLongWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongWaitMs / 2));
    // Used up by that wait.
    EXPECT_FALSE(queue->WaitForFrame(1));
}

TEST(FrameQueueThread, BatchedWakeComesAtTheBatchOrAtFlush)
{
    auto queue = std::make_unique<CFrameQueue>();
    queue->SetWakeBatch(3);
    std::atomic<int> woken{0};
    std::thread consumer([&] {
        std::vector<uint8_t> buf(kDeliverCapacity);
        for (int round = 0; round < 2; ++round) {
            if (!queue->WaitForFrame(kLongWaitMs)) {
                return;
            }
            while (queue->TakeFrame(buf.data(), nullptr, kDeliverCapacity) > 0) {
            }
            ++woken;
        }
    });
    ASSERT_TRUE(WaitUntilConsumerSleeps(*queue));
    queue->Flush();  // nothing waits: the consumer sleeps on
    ProduceIndexed(*queue, 0, 100);
    ProduceIndexed(*queue, 1, 100);
    EXPECT_TRUE(queue->ConsumerWaiting());  // two frames, short of the batch
    queue->Flush();
    ASSERT_TRUE(WaitUntilConsumerSleeps(*queue));
    EXPECT_EQ(1, woken.load());
    // The third frame of a batch wakes it without a flush.
    ProduceIndexed(*queue, 2, 100);
    ProduceIndexed(*queue, 3, 100);
    EXPECT_TRUE(queue->ConsumerWaiting());
    ProduceIndexed(*queue, 4, 100);
    consumer.join();
    EXPECT_EQ(2, woken.load());
}

TEST(FrameQueue, WaitForFrameTimesOutOnEmptyQueue)
{
    auto queue = std::make_unique<CFrameQueue>();
    EXPECT_FALSE(queue->WaitForFrame(20));
    EXPECT_FALSE(queue->ConsumerWaiting());
    ProduceIndexed(*queue, 0, 20);
    EXPECT_TRUE(queue->WaitForFrame(kLongWaitMs));
}

// Producer and consumer run flat out on their own threads, with frames large
// enough to wrap the region many times: whatever is lost, every delivered
// frame is whole, its own, and later than the one before.
TEST(FrameQueueRace, ProducerAndConsumerKeepFramesWhole)
{
    auto queue = std::make_unique<CFrameQueue>();
    std::mt19937 rng(77);
    constexpr uint32_t kFrames = 6000;
    std::vector<int32_t> lengths(kFrames);
    for (int32_t &length : lengths) {
        length = rng() % 10 == 0 ? static_cast<int32_t>(50000 + rng() % 81073) : static_cast<int32_t>(4 + rng() % 3000);
    }
    std::atomic<bool> done{false};

    std::thread producer([&] {
        std::mt19937 prng(78);
        std::vector<uint8_t> bytes;
        for (uint32_t index = 0; index < kFrames; ++index) {
            FillFrame(bytes, index, lengths[index]);
            Produce(*queue, bytes, static_cast<uint8_t>(index % 4), static_cast<int32_t>(prng() % 17),
                    static_cast<int32_t>(1 + prng() % 4096));
        }
        done = true;
        queue->Wake();
    });

    std::vector<uint8_t> buf(kDeliverCapacity);
    int64_t lastIndex = -1;
    uint32_t delivered = 0;
    bool intact = true;
    for (;;) {
        if (!queue->WaitForFrame(100)) {
            if (done && !queue->WaitForFrame(0)) {
                break;
            }
            continue;
        }
        uint8_t type;
        const int32_t got = queue->TakeFrame(buf.data(), &type, kDeliverCapacity);
        if (got == 0) {
            continue;
        }
        const uint32_t index = IndexOf(buf.data());
        if (index >= kFrames || static_cast<int64_t>(index) <= lastIndex || index % 4 != type ||
            !HoldsFrame(buf.data(), got, index, lengths[index])) {
            ADD_FAILURE() << "bad frame, index " << index << " after " << lastIndex << ", " << got << " bytes";
            intact = false;
            break;
        }
        lastIndex = index;
        // Fall behind now and then, so that the producer wraps the region over
        // frames still waiting (timing only shapes the load; nothing relies on it).
        if (++delivered % 40 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    producer.join();
    EXPECT_TRUE(intact);
    EXPECT_GT(delivered, 0u);
}

// Every frame is more than half the region, so that each new one starts at
// offset 0, on the bytes the consumer may be copying out at that moment. Two
// prepared frames alternate, so both sides run flat out; a delivered frame
// holding bytes of the other is caught by its pattern.
TEST(FrameQueueRace, ProducerNeverWritesOverTheFrameBeingCopied)
{
    auto queue = std::make_unique<CFrameQueue>();
    constexpr uint32_t kFrames = 2000;
    const int32_t lengths[2] = {CFrameQueue::kBufferSize / 2 + 1000, CFrameQueue::kBufferSize / 2 + 50000};
    std::vector<uint8_t> frames[2];
    FillFrame(frames[0], 0, lengths[0]);
    FillFrame(frames[1], 1, lengths[1]);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uint32_t n = 0; n < kFrames; ++n) {
            Produce(*queue, frames[n % 2], 2, 16, 4096);
        }
        done = true;
        queue->Wake();
    });
    std::vector<uint8_t> buf(CFrameQueue::kBufferSize);
    uint32_t delivered = 0;
    while (!done || queue->WaitForFrame(0)) {
        const int32_t got = queue->TakeFrame(buf.data(), nullptr, static_cast<uint32_t>(buf.size()));
        if (got == 0) {
            continue;
        }
        const uint32_t index = IndexOf(buf.data());
        if (index > 1 || !HoldsFrame(buf.data(), got, index, lengths[index])) {
            ADD_FAILURE() << "torn frame: index " << index << ", " << got << " bytes";
            break;
        }
        ++delivered;
    }
    producer.join();
    EXPECT_GT(delivered, 0u);
}
