// A test fixture with a recorder emulator on loopback and the library
// started; every test process has its own library state.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "api/exports.h"
#include "core/release.h"
#include "tools/testing/emulator/recorder_emulator.h"

namespace kn::test {

// A login reply that this release accepts: release 1.0.0.1 reads its result
// from payload byte 9 ("!" logs in), 1.0.0.13 from byte 0. For emulators that
// a test starts besides the fixture's own.
inline void AcceptLogins(emu::CRecorderEmulator &emu)
{
    if (kRelease1001) {
        emu.SetLoginPayload({1, 0, 0, 0, 0, 0, 0, 0, 0, '!'});
    }
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Emu.Start());
        AcceptLogins(m_Emu);
        ASSERT_EQ(1, KR_4100_Init());
    }
    void TearDown() override
    {
        KR_4100_Cleanup();
        m_Emu.Stop();
    }

    static void AcceptLogins(emu::CRecorderEmulator &emu) { test::AcceptLogins(emu); }

    void *Login(const char *user = "admin", const char *password = "secret", int32_t *result = nullptr)
    {
        int32_t ignored = 0;
        return KR_4100_Login("127.0.0.1", m_Emu.Port(), user, password, result ? result : &ignored);
    }

    // Index of the command channel once the emulator has seen it.
    int CommandConnection(int nth = 0)
    {
        return m_Emu.WaitForConnection(emu::ChannelKind::Command, std::chrono::milliseconds(5000), nth);
    }

    emu::CRecorderEmulator m_Emu;
};

// The fixture logged in to its recorder: m_hSession is the session handle,
// m_hCmd the emulator's index of the session's command channel. BeforeLogin
// runs after the library is started and before the login.
class LoggedInTest : public RecorderTest {
protected:
    void SetUp() override
    {
        RecorderTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        BeforeLogin();
        if (HasFatalFailure()) {
            return;
        }
        m_hSession = Login();
        ASSERT_NE(nullptr, m_hSession);
        m_hCmd = CommandConnection();
        ASSERT_GE(m_hCmd, 0);
    }
    virtual void BeforeLogin() {}

    void *m_hSession = nullptr;
    int m_hCmd = -1;
};

inline constexpr std::chrono::milliseconds kWait{10000};
// A reply time-out for requests meant to time out: the shortest this release
// accepts (1.0.0.1 refuses anything below 1000 ms), kept short to keep tests quick.
inline constexpr uint32_t kShortReplyTimeoutMs = kRelease1001 ? 1000 : 200;
// The login result the fixture's recorder yields in this release.
inline constexpr int32_t kLoginAccepted = kRelease1001 ? 4 : 1;

}  // namespace kn::test
