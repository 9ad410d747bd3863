// A session that is closing accepts no new stream: an opening that races a
// logout or a cleanup on another host thread either ends before the close
// (and the close stops its stream) or returns null with its connection
// closed. Nothing outlives the session. And every connection of a session
// object starts with a clean receive state: a packet cut short at the end of
// one connection never joins the first reply of the next.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "support/eventually.h"
#include "support/frame_sink.h"
#include "support/recorder_fixture.h"

using kn::emu::Bytes;
using kn::emu::ChannelKind;
using kn::test::Sink;
using kn::test::SinkCallback;

namespace {

class SessionCloseRace : public kn::test::RecorderTest {
protected:
    // True once every media connection the emulator has seen is closed.
    bool AllMediaClosed()
    {
        for (const kn::emu::ConnectionInfo &c : m_Emu.Connections()) {
            if (c.open && c.kind != ChannelKind::Command && c.kind != ChannelKind::Unknown) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(SessionCloseRace, AnOpeningThatLosesToLogoutOrCleanupLeavesNothingBehind)
{
    const DvrTime start{2024, 6, 7, 8, 9, 10};
    const struct {
        const char *name;
        std::function<void *(void *)> open;
    } openings[] = {
        {"real-time", [](void *s) { return KR_4100_RealPlay(s, 2, 1, SinkCallback, 1); }},
        {"playback", [&](void *s) { return KR_4100_PlayBack(s, 2, &start, SinkCallback, 1); }},
        {"download", [&](void *s) { return KR_4100_DownLoad(s, 2, &start, &start, SinkCallback, 1); }},
        {"talk", [](void *s) { return KR_4100_Talk(s); }},
    };
    std::mt19937 rng(3);
    for (const auto &o : openings) {
        for (int round = 0; round < 6; ++round) {
            SCOPED_TRACE(std::string(o.name) + (round % 2 ? " against cleanup" : " against logout"));
            if (round % 2 == 1) {
                ASSERT_EQ(1, KR_4100_Init());
            }
            void *session = Login();
            ASSERT_NE(nullptr, session);
            std::atomic<bool> go{false};
            std::vector<void *> handles;
            std::thread opener([&] {
                while (!go.load()) {
                }
                for (int i = 0; i < 3; ++i) {
                    handles.push_back(o.open(session));
                }
            });
            const uint32_t delay = std::uniform_int_distribution<uint32_t>(0, 12)(rng);
            go = true;
            kn::platform::SleepMs(delay);
            if (round % 2 == 0) {
                EXPECT_EQ(1, KR_4100_Logout(session));
            } else {
                EXPECT_EQ(1, KR_4100_Cleanup());
            }
            opener.join();
            // Whatever an opening returned is gone with its session: no
            // connection stays open, and a stop finds nothing to stop.
            EXPECT_TRUE(m_Emu.WaitFor([&] { return AllMediaClosed(); }, std::chrono::milliseconds(3000)))
                << "a stream outlived its session (delay " << delay << " ms)";
            for (void *h : handles) {
                if (h != nullptr) {
                    EXPECT_EQ(0, KR_4100_StopRealPlay(h));
                }
            }
        }
    }
}

// A recorder that ends a connection in the middle of a long reply: its last
// receive filled the buffer and stopped inside the packet. The next login of
// the same session object must read its login reply as it is.
TEST_F(SessionCloseRace, ACutPacketDoesNotCrossIntoTheNextConnection)
{
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const kn::emu::Id4 id{0x21, 0x22, 0x23, static_cast<uint8_t>(round)};
        m_Emu.SetSessionId(id);
        void *session = Login();
        ASSERT_NE(nullptr, session);
        const int conn = CommandConnection(2 * round);  // each round logs in twice
        ASSERT_GE(conn, 0);
        // A reply that declares 8000 payload bytes but brings 4085: exactly
        // one full receive of 4096 bytes.
        Bytes cut = {'S', 'D', 'V', 'R', id[0], id[1], id[2], id[3], 0x41, 0x1F, 42};
        cut.resize(4096, 0x77);
        ASSERT_TRUE(m_Emu.SendRaw(conn, cut));
        kn::platform::SleepMs(round % 2 ? 0 : 50);  // the receive thread busy, or idle again
        // Logging in again to the same recorder reuses the session object.
        int32_t result = 0;
        void *again = KR_4100_Login("127.0.0.1", m_Emu.Port(), "admin", "secret", &result);
        ASSERT_EQ(session, again) << "the login reply was joined to the cut packet";
        EXPECT_EQ(kn::test::kLoginAccepted, result);
        ASSERT_EQ(1, KR_4100_Logout(session));
    }
}

}  // namespace
