// Flow control of downloads: a download reaches a slow host whole, because
// the receive thread waits for room in the frame queue and TCP slows the
// recorder down; a stop, a logout or a lost connection ends that wait at
// once. Live and playback streams keep giving up old frames instead.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "stream/frame_queue.h"
#include "support/eventually.h"
#include "support/frame_sink.h"
#include "support/recorder_fixture.h"

using kn::CFrameQueue;
using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::test::ExpectedFrame;
using kn::test::Pattern;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

// ---------------------------------------------------------------- the queue alone

struct QueueCase {
    const char *name;
    int frames;
    int minSize;
    int maxSize;
    int consumerPauseEveryN;  // the consumer sleeps 1 ms after every n-th frame
};

// A producer that waits for room never loses a frame, whatever the sizes and
// however slow the consumer; each delivered frame is whole and its own.
TEST(FrameQueueRoomWait, EveryFrameArrivesWholeAndInOrder)
{
    const QueueCase cases[] = {
        {"small frames, slow consumer", 3000, 1, 64, 10},
        {"frames near the region size", 40, 200000, 700000, 1},
        {"mixed sizes, bursty consumer", 2000, 1, 160016, 50},
    };
    for (const QueueCase &c : cases) {
        SCOPED_TRACE(c.name);
        auto queue = std::make_unique<CFrameQueue>();
        queue->SetWaitForRoom(true, nullptr, nullptr);
        std::mt19937 rng(7);
        std::vector<int32_t> sizes;
        for (int i = 0; i < c.frames; ++i) {
            sizes.push_back(std::uniform_int_distribution<int32_t>(c.minSize, c.maxSize)(rng));
        }
        std::thread producer([&] {
            std::vector<uint8_t> frame;
            for (int i = 0; i < c.frames; ++i) {
                frame.assign(static_cast<size_t>(sizes[i]), static_cast<uint8_t>(i));
                std::memcpy(frame.data(), &i, std::min<size_t>(sizeof(i), frame.size()));
                // First fragment of up to 9 bytes, the rest appended in two.
                const int32_t first = std::min<int32_t>(9, sizes[i]);
                ASSERT_TRUE(queue->BeginFrame(frame.data(), 2, first, sizes[i]));
                int32_t at = first;
                while (at < sizes[i]) {
                    const int32_t n = std::max<int32_t>(1, (sizes[i] - at + 1) / 2);
                    ASSERT_TRUE(queue->AppendFrame(frame.data() + at, 2, n));
                    at += n;
                }
            }
        });
        std::vector<uint8_t> out(CFrameQueue::kBufferSize);
        int got = 0;
        const uint64_t deadline = kn::platform::NowMs() + 60000;
        while (got < c.frames && kn::platform::NowMs() < deadline) {
            if (!queue->WaitForFrame(100)) {
                continue;
            }
            uint8_t type = 0;
            const int32_t n = queue->TakeFrame(out.data(), &type, static_cast<uint32_t>(out.size()));
            ASSERT_EQ(sizes[got], n) << "frame " << got;
            int index = -1;
            std::memcpy(&index, out.data(), std::min<size_t>(sizeof(index), static_cast<size_t>(n)));
            if (n >= static_cast<int32_t>(sizeof(index))) {
                ASSERT_EQ(got, index);
            }
            for (int32_t k = static_cast<int32_t>(sizeof(index)); k < n; k += 997) {
                ASSERT_EQ(static_cast<uint8_t>(got), out[static_cast<size_t>(k)]) << "frame " << got;
            }
            ++got;
            if (got % c.consumerPauseEveryN == 0) {
                kn::platform::SleepMs(1);
            }
        }
        producer.join();
        EXPECT_EQ(c.frames, got);
    }
}

// The keep-waiting check ends a wait for room: once it says no (and the
// producer is woken), the frame is placed by dropping old frames, at once.
TEST(FrameQueueRoomWait, ACheckThatSaysNoEndsTheWaitAtOnce)
{
    auto queue = std::make_unique<CFrameQueue>();
    static std::atomic<bool> keepWaiting{true};
    keepWaiting = true;
    queue->SetWaitForRoom(
        true, [](void *) { return keepWaiting.load(); }, nullptr);
    const std::vector<uint8_t> frame(100000, 1);
    // Seven frames of 100000 bytes fill the 768000-byte region; the eighth waits.
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(queue->BeginFrame(frame.data(), 1, 100000, 100000));
    }
    std::atomic<uint64_t> placedAt{0};
    std::thread producer([&] {
        queue->BeginFrame(frame.data(), 1, 100000, 100000);
        placedAt = kn::platform::NowMs();
    });
    kn::platform::SleepMs(150);
    EXPECT_EQ(0u, placedAt.load()) << "the producer did not wait for room";
    const uint64_t saidNo = kn::platform::NowMs();
    keepWaiting = false;
    queue->WakeProducer();
    producer.join();
    EXPECT_LT(placedAt.load() - saidNo, 30u);
    // The oldest frames made room for the new one.
    std::vector<uint8_t> out(200000);
    int waiting = 0;
    while (queue->TakeFrame(out.data(), nullptr, static_cast<uint32_t>(out.size())) > 0) {
        ++waiting;
    }
    EXPECT_LT(waiting, 8);
}

// ---------------------------------------------------------------- streams

// 400 type-2 frames of 8000 payload bytes: 3.2 MB, four times the queue.
Bytes FrameStream(int frames, size_t size, std::vector<Bytes> *expected)
{
    Bytes stream;
    for (int i = 0; i < frames; ++i) {
        Bytes payload = Pattern(size, static_cast<uint8_t>(i));
        payload[2] = payload[3] = 0;
        const Bytes frame = kn::emu::BuildFrame(2, payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
        if (expected != nullptr) {
            expected->push_back(ExpectedFrame(2, payload, static_cast<uint32_t>(i)));
        }
    }
    return stream;
}

const DvrTime kStart{2024, 5, 6, 7, 8, 9};
const DvrTime kEnd{2024, 5, 6, 8, 0, 0};

class DownloadFlow : public kn::test::RecorderTest {
protected:
    void SetUp() override
    {
        RecorderTest::SetUp();
        kn::test::ClearSinks();
        m_hSession = Login();
        ASSERT_NE(nullptr, m_hSession);
    }

    void *m_hSession = nullptr;
};

// The host pauses in its callback while the recorder sends as fast as TCP
// takes it: a download still delivers every frame, byte for byte, while a
// playback gives up old frames (for watching, the newest frame matters most).
TEST_F(DownloadFlow, ASlowHostGetsEveryDownloadFrameWhilePlaybackDrops)
{
    constexpr int kFrames = 400;
    std::vector<Bytes> expected;
    const Bytes stream = FrameStream(kFrames, 8000, &expected);
    const auto slowHost = [](const kn::test::DeliveredFrame &) { kn::platform::SleepMs(2); };

    // Download: served by the emulator right after its acknowledgement.
    m_Emu.SetDownloadStream(stream);
    Sink(1).SetAction(slowHost);
    void *download = KR_4100_DownLoad(m_hSession, 2, &kStart, &kEnd, SinkCallback, 1);
    ASSERT_NE(nullptr, download);
    ASSERT_TRUE(kn::test::Eventually([] { return Sink(1).Count() >= kFrames; }, 30000))
        << "delivered " << Sink(1).Count() << " of " << kFrames;
    const int conn = m_Emu.FindConnection(ChannelKind::Download);
    ASSERT_TRUE(m_Emu.Connection(conn)->serveDone);
    const auto frames = Sink(1).MediaFrames();
    ASSERT_EQ(expected.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(expected[i], frames[i].bytes) << "frame " << i;
    }
    std::printf("download, slow host: %d frames sent, %zu delivered\n", kFrames, frames.size());
    EXPECT_EQ(1, KR_4100_StopDownLoad(download));

    // Playback with the same host and the same bytes: old frames go.
    Sink(2).SetAction(slowHost);
    void *playback = KR_4100_PlayBack(m_hSession, 2, &kStart, SinkCallback, 2);
    ASSERT_NE(nullptr, playback);
    const int pconn = m_Emu.FindConnection(ChannelKind::Playback);
    ASSERT_TRUE(m_Emu.SendMedia(pconn, stream));
    int last = -1;
    ASSERT_TRUE(kn::test::Eventually([&] {
        const int now = Sink(2).Count();
        const bool quiet = now == last && now > 0;
        last = now;
        kn::platform::SleepMs(100);
        return quiet;
    }));
    const auto played = Sink(2).MediaFrames();
    EXPECT_LT(played.size(), expected.size());
    // Whatever arrived is whole and in order (the counter in the prefix).
    uint32_t previous = 0;
    for (size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(8016u, played[i].bytes.size());
        uint32_t counter = 0;
        std::memcpy(&counter, played[i].bytes.data() + 8, 4);
        ASSERT_EQ(expected[counter], played[i].bytes);
        if (i > 0) {
            ASSERT_GT(counter, previous);
        }
        previous = counter;
    }
    std::printf("playback, slow host: %d frames sent, %zu delivered\n", kFrames, played.size());
    EXPECT_EQ(1, KR_4100_StopPlayBack(playback));
}

// A download waiting for room (the host is slow, the recorder has far more
// to send) is ended at once by a stop, a logout or a cleanup. A reset ends
// it only once the host has taken every frame the connection held before
// it: those are delivered, whole and in order, and then the loss.
TEST_F(DownloadFlow, StopLogoutAndLossEndTheWaitForRoom)
{
    enum class End { Stop, Logout, Cleanup, Reset };
    const struct {
        const char *name;
        End end;
    } cases[] = {{"stop", End::Stop}, {"logout", End::Logout}, {"cleanup", End::Cleanup}, {"reset", End::Reset}};
    const Bytes stream = FrameStream(2000, 8000, nullptr);  // 16 MB: always more to come
    m_Emu.SetDownloadStream(stream);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kn::test::ClearSinks();
        if (m_hSession == nullptr) {
            ASSERT_EQ(1, KR_4100_Init());
            m_hSession = Login();
            ASSERT_NE(nullptr, m_hSession);
        }
        Sink(3).SetAction([](const kn::test::DeliveredFrame &) { kn::platform::SleepMs(20); });
        const int downloadsBefore = static_cast<int>(m_Emu.PacketsWithCode(ChannelKind::Download, 81).size());
        void *download = KR_4100_DownLoad(m_hSession, 1, &kStart, &kEnd, SinkCallback, 3);
        ASSERT_NE(nullptr, download);
        const int conn = m_Emu.WaitForConnection(ChannelKind::Download, kn::test::kWait, downloadsBefore);
        ASSERT_GE(conn, 0);
        // The queue is full and the recorder is held back by TCP.
        ASSERT_TRUE(kn::test::Eventually([&] { return Sink(3).Count() >= 3; }));
        kn::platform::SleepMs(100);
        ASSERT_FALSE(m_Emu.Connection(conn)->serveDone);

        const uint64_t began = kn::platform::NowMs();
        switch (c.end) {
        case End::Stop: EXPECT_EQ(1, KR_4100_StopDownLoad(download)); break;
        case End::Logout:
            EXPECT_EQ(1, KR_4100_Logout(m_hSession));
            m_hSession = nullptr;
            break;
        case End::Cleanup:
            EXPECT_EQ(1, KR_4100_Cleanup());
            m_hSession = nullptr;
            break;
        case End::Reset: {
            ASSERT_TRUE(m_Emu.CloseConnection(conn, true));
            Sink(3).SetAction(nullptr);  // the host catches up
            ASSERT_TRUE(kn::test::Eventually([] { return Sink(3).Lost() == 1; }))
                << Sink(3).Count() << " frames delivered, no loss";
            const auto frames = Sink(3).Frames();
            EXPECT_EQ(255u, frames.back().type);
            for (size_t i = 0; i + 1 < frames.size(); ++i) {
                uint32_t counter = 0;
                ASSERT_EQ(8016u, frames[i].bytes.size()) << "frame " << i;
                std::memcpy(&counter, frames[i].bytes.data() + 8, 4);
                ASSERT_EQ(i, counter) << "frame " << i;
            }
            std::printf("download reset while waiting for room: %zu frames, then the loss\n", frames.size() - 1);
            break;
        }
        }
        const uint64_t took = kn::platform::NowMs() - began;
        if (c.end != End::Reset) {
            EXPECT_LT(took, 1000u);
        }
        std::printf("download waiting for room, ended by %s in %llu ms\n", c.name,
                    static_cast<unsigned long long>(took));
        if (c.end == End::Reset) {
            EXPECT_EQ(1, KR_4100_StopDownLoad(download));
        }
        Sink(3).SetAction(nullptr);
    }
}

}  // namespace
