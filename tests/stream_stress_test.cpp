// Several sessions on several recorders, streams opened, reused, controlled
// and stopped from several host threads at once while media flows. Runs
// under ThreadSanitizer as well; bounded to a few seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "api/exports.h"
#include "platform/thread.h"
#include "tests/support/eventually.h"
#include "tests/support/recorder_fixture.h"

using kn::emu::Bytes;
using kn::emu::ChannelKind;

namespace {

constexpr int kRecorders = 3;
constexpr int kHostThreads = 4;
constexpr uint64_t kRunMs = 2500;

std::atomic<int> g_frames{0};
std::atomic<int> g_lost{0};

void KR_CALL CountFrames(void *, uint32_t type, const unsigned char *data, int32_t len, uint32_t)
{
    if (type == 255) {
        ++g_lost;
    } else if (data != nullptr && len > 0) {
        ++g_frames;
    }
}

class HandlePool {
public:
    void Add(void *h)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Handles.push_back(h);
    }
    // Any handle, perhaps already stopped by another thread.
    void *Pick(std::mt19937 &rng, bool remove)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Handles.empty()) {
            return nullptr;
        }
        const size_t i = rng() % m_Handles.size();
        void *h = m_Handles[i];
        if (remove) {
            m_Handles.erase(m_Handles.begin() + static_cast<long>(i));
        }
        return h;
    }

private:
    std::mutex m_Mutex;
    std::vector<void *> m_Handles;
};

TEST(StreamStress, ManySessionsAndHostThreadsOpenReuseAndStopWhileMediaFlows)
{
    ASSERT_EQ(1, KR_4100_Init());
    // Release 1.0.0.1 refuses reply time-outs below 1000 ms.
    ASSERT_EQ(1, KR_4100_SetConnectTime(kn::kRelease1001 ? 1000 : 500));
    std::vector<std::unique_ptr<kn::emu::CRecorderEmulator>> recorders;
    std::vector<void *> sessions;
    for (int i = 0; i < kRecorders; ++i) {
        recorders.push_back(std::make_unique<kn::emu::CRecorderEmulator>());
        ASSERT_TRUE(recorders.back()->Start());
        kn::test::AcceptLogins(*recorders.back());
        int32_t result = 0;
        void *session = KR_4100_Login("127.0.0.1", recorders.back()->Port(), "admin", "pw", &result);
        ASSERT_NE(nullptr, session);
        sessions.push_back(session);
    }

    std::atomic<bool> run{true};
    // Media on every open live and playback connection, round and round.
    std::thread pump([&] {
        const Bytes frame = kn::emu::BuildFrame(2, Bytes(1500, 0x5A));
        kn::emu::MediaOptions split;
        split.pieces = {700, 333};
        while (run) {
            for (auto &rec : recorders) {
                for (const auto &c : rec->Connections()) {
                    if (c.open && (c.kind == ChannelKind::Live || c.kind == ChannelKind::Playback)) {
                        rec->SendMedia(c.index, frame, split);
                    }
                }
            }
            kn::platform::SleepMs(2);
        }
    });

    HandlePool pool;
    const DvrTime start{2022, 3, 4, 5, 6, 7};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back([&, t] {
            std::mt19937 rng(static_cast<uint32_t>(t * 7919 + 1));
            const uint64_t deadline = kn::platform::NowMs() + kRunMs;
            while (kn::platform::NowMs() < deadline) {
                void *session = sessions[rng() % sessions.size()];
                switch (rng() % 9) {
                case 0:
                case 1:
                case 2:
                    // Few channels, so threads often reuse each other's streams.
                    if (void *h = KR_4100_RealPlay(session, static_cast<int32_t>(rng() % 3),
                                                   static_cast<int32_t>(rng() % 2), CountFrames, rng())) {
                        pool.Add(h);
                    }
                    break;
                case 3:
                    if (void *h = KR_4100_PlayBack(session, 1, &start, CountFrames, 0)) {
                        pool.Add(h);
                    }
                    break;
                case 4:
                case 5: KR_4100_StopRealPlay(pool.Pick(rng, true)); break;
                case 6: KR_4100_PlayBackCtrl(pool.Pick(rng, false), 0x4033); break;
                case 7:
                    if (void *talk = KR_4100_Talk(session)) {
                        const uint8_t audio[64] = {};
                        KR_4100_AudioSend(talk, audio, sizeof(audio));
                    }
                    break;
                case 8: KR_4100_StopPlayBack(pool.Pick(rng, true)); break;
                }
            }
        });
    }
    for (auto &h : hosts) {
        h.join();
    }
    EXPECT_TRUE(kn::test::Eventually([] { return g_frames.load() > 0; }, 5000));
    run = false;
    pump.join();
    EXPECT_EQ(1, KR_4100_Cleanup());
    for (auto &rec : recorders) {
        rec->Stop();
    }
}

}  // namespace
