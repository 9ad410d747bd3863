// The Win32 backend's promises, checked against the system itself: event
// objects, thread messages taken with GetMessage, the registry store, socket
// waits that a stop wakes at once, and the blocking mode they leave behind.
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/settings_file.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/thread_message.h"
#include "platform/wait_word.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#undef PostThreadMessage

namespace kn::platform {
namespace {

constexpr uint32_t kLongMs = 10000;
// What "at once" means here: far below any time-out in play, far above a
// scheduling hiccup of a loaded two-core machine.
constexpr uint64_t kPromptMs = 500;

// ---- events ---------------------------------------------------------------

TEST(Win32Event, AutoResetsAndWakesOneWaiter)
{
    CEvent event;
    ASSERT_TRUE(event.Valid());
    EXPECT_EQ(WaitForSingleObject(event.NativeHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    event.Set();
    event.Set();  // two Sets before a take: one wake
    EXPECT_TRUE(event.TryTake());
    EXPECT_FALSE(event.TryTake());
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(Win32Event, WaitEitherPrefersFirstAndLeavesSecondSet)
{
    struct Case {
        bool first, second;
        int expected;
        bool secondStillSet;
    };
    const Case cases[] = {
        {true, true, 0, true},
        {false, true, 1, false},
        {true, false, 0, false},
        {false, false, -1, false},
    };
    for (const Case &c : cases) {
        CEvent first, second;
        if (c.first) {
            first.Set();
        }
        if (c.second) {
            second.Set();
        }
        EXPECT_EQ(WaitEither(first, second, 20), c.expected) << c.first << c.second;
        EXPECT_EQ(second.TryTake(), c.secondStillSet) << c.first << c.second;
        EXPECT_FALSE(first.TryTake());
    }
}

TEST(Win32Event, SetFromAnotherThreadEndsWaitPromptly)
{
    CEvent event;
    CThread setter;
    ASSERT_TRUE(setter.Start([&] {
        SleepMs(50);
        event.Set();
    }));
    const uint64_t start = NowMs();
    EXPECT_TRUE(event.Wait(kLongMs));
    EXPECT_LT(NowMs() - start, kPromptMs + 50);
    EXPECT_TRUE(setter.Stop(kLongMs));
}

TEST(Win32Event, WaitsAreBounded)
{
    CEvent a, b;
    uint64_t start = NowMs();
    EXPECT_FALSE(a.Wait(60));
    EXPECT_GE(NowMs() - start, 50u);
    start = NowMs();
    EXPECT_EQ(WaitEither(a, b, 60), -1);
    EXPECT_GE(NowMs() - start, 50u);
    EXPECT_LT(NowMs() - start, 60 + kPromptMs);
}

// ---- wait word and spinning mutex ------------------------------------------

TEST(Win32WaitWord, BumpWakesSleeperAndStaleValueReturnsAtOnce)
{
    CWaitWord word;
    const uint32_t seen = word.Value();
    uint64_t start = NowMs();
    word.Wait(seen + 1, kLongMs);  // already changed: no sleep
    EXPECT_LT(NowMs() - start, kPromptMs);

    std::atomic<bool> woke{false};
    CThread sleeper;
    ASSERT_TRUE(sleeper.Start([&] {
        while (word.Value() == seen) {
            word.Wait(seen, kLongMs);
        }
        woke = true;
    }));
    SleepMs(30);
    start = NowMs();
    word.Bump();
    EXPECT_TRUE(sleeper.Stop(kLongMs));
    EXPECT_TRUE(woke);
    EXPECT_LT(NowMs() - start, kPromptMs);
}

TEST(Win32SpinningMutex, ExcludesAndTryLockFailsWhileHeld)
{
    CSpinningMutex mutex;
    long counter = 0;
    constexpr int kRounds = 200000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::lock_guard<CSpinningMutex> lock(mutex);
            ++counter;
        }
    };
    CThread other;
    ASSERT_TRUE(other.Start(work));
    work();
    ASSERT_TRUE(other.Stop(kLongMs));
    EXPECT_EQ(counter, 2L * kRounds);

    mutex.lock();
    std::atomic<int> tried{-1};
    CThread prober;
    ASSERT_TRUE(prober.Start([&] { tried = mutex.try_lock() ? 1 : 0; }));
    ASSERT_TRUE(prober.Stop(kLongMs));
    EXPECT_EQ(tried, 0);
    mutex.unlock();
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

// ---- threads --------------------------------------------------------------

TEST(Win32Thread, IdsAreTheSystemsAndStopPastGraceLeavesThreadRunning)
{
    EXPECT_EQ(CurrentThreadId(), GetCurrentThreadId());

    std::atomic<uint32_t> workerId{0};
    auto finished = std::make_shared<std::atomic<bool>>(false);
    CEvent release;
    CThread thread;
    ASSERT_TRUE(thread.Start([&workerId, finished, &release] {
        NameCurrentThread("kn-test-worker");
        workerId = CurrentThreadId();
        release.Wait(kLongMs);
        *finished = true;
    }));
    // Past its grace the thread is left to finish on its own, never killed.
    EXPECT_FALSE(thread.Stop(50));
    ASSERT_NE(workerId.load(), 0u);
    HANDLE h = OpenThread(SYNCHRONIZE, FALSE, workerId);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // still alive
    release.Set();
    EXPECT_EQ(WaitForSingleObject(h, kLongMs), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(h);
    EXPECT_TRUE(*finished);
}

// ---- thread messages --------------------------------------------------------

// The notice as a host takes it: GetMessage on the registered thread.
TEST(Win32ThreadMessage, PostedNoticeIsTakenWithGetMessage)
{
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // make the queue
    const uint32_t self = GetCurrentThreadId();
    int marker = 0;

    // Posted from a library thread, as the session's receive thread does.
    CThread poster;
    std::atomic<bool> posted{false};
    ASSERT_TRUE(poster.Start([&] {
        posted = PostThreadMessage(self, 0x1200, &marker, 0x0100007Fu) &&
                 PostThreadMessage(self, 0x1200, nullptr, 0xFFFFFFFFu);
    }));
    ASSERT_TRUE(poster.Stop(kLongMs));
    ASSERT_TRUE(posted);

    const UINT_PTR timer = SetTimer(nullptr, 0, 5000, nullptr);
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, 0x1200u);
    EXPECT_EQ(reinterpret_cast<void *>(msg.wParam), &marker);
    EXPECT_EQ(static_cast<DWORD>(msg.lParam), 0x0100007Fu);
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, 0x1200u);
    EXPECT_EQ(static_cast<DWORD>(msg.lParam), 0xFFFFFFFFu);  // all 32 bits of an address
    KillTimer(nullptr, timer);
}

TEST(Win32ThreadMessage, PostToNoThreadIsRefused)
{
    EXPECT_FALSE(PostThreadMessage(0, 0x1200, nullptr, 1));
    // A thread that has ended has no queue any more.
    std::atomic<uint32_t> gone{0};
    std::thread ended([&] { gone = GetCurrentThreadId(); });
    ended.join();
    EXPECT_FALSE(PostThreadMessage(gone, 0x1200, nullptr, 1));
}

// ---- the registry store -------------------------------------------------

class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Vendor = "kestrelnet-test-" + std::to_string(GetCurrentProcessId());
        SetSettingsLocation(m_Vendor.c_str(), "kestrelnet");
        RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\" + m_Vendor).c_str());
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\" + m_Vendor).c_str());
        SetSettingsLocation("TALVERN", "kestrelnet");
    }
    std::string Key() const { return "Software\\" + m_Vendor + "\\kestrelnet\\Settings"; }

    std::string m_Vendor;
};

TEST_F(Win32Registry, ValuesRoundTripAsDwords)
{
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000);  // absent
    for (int32_t value : {8001, 0, -1, -5, 65535, INT32_MIN, INT32_MAX}) {
        ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", value));
        EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), value);
        DWORD raw = 0, size = sizeof raw, type = 0;
        ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, Key().c_str(), "BindPort", RRF_RT_ANY, &type, &raw, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(raw, static_cast<DWORD>(value));
    }
}

TEST_F(Win32Registry, OtherValuesAreKeptAndForeignTypesReadAsDefault)
{
    ASSERT_TRUE(WriteSettingInt("Settings", "Other", 7));
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", 8100));
    EXPECT_EQ(ReadSettingInt("Settings", "Other", 0), 7);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Key().c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const char text[] = "8200";
    ASSERT_EQ(RegSetValueExA(key, "BindPort", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000);
    EXPECT_FALSE(WriteSettingInt(nullptr, "BindPort", 1));
    EXPECT_EQ(ReadSettingInt("Settings", nullptr, 42), 42);
}

// The library names its store from a static initialiser in another file;
// here a naming runs before every other initialiser of the program (the
// priority puts it first whatever the link order), so before the store's
// own file is initialised. The names set must be the ones the store uses.
constexpr char kEarlyVendor[] = "kestrelnet-init-order-vendor";
constexpr char kEarlyLibrary[] = "kestrelnet-init-order-library";

struct CEarlyNaming {
    CEarlyNaming() { SetSettingsLocation(kEarlyVendor, kEarlyLibrary); }
};
__attribute__((init_priority(101))) CEarlyNaming g_EarlyNaming;

TEST(Win32SettingsInitOrder, NamesSetBeforeTheStoreIsBuiltAreKept)
{
    const std::string vendorKey = std::string("Software\\") + kEarlyVendor;
    RegDeleteTreeA(HKEY_CURRENT_USER, vendorKey.c_str());
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", 8123));
    DWORD raw = 0, size = sizeof raw;
    const std::string key = vendorKey + "\\" + kEarlyLibrary + "\\Settings";
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, key.c_str(), "BindPort", RRF_RT_REG_DWORD, nullptr, &raw, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(raw, 8123u);
    RegDeleteTreeA(HKEY_CURRENT_USER, vendorKey.c_str());
}

// ---- sockets ----------------------------------------------------------------

// A connected TCP pair on 127.0.0.1: `client` from the socket layer under
// test, `server` accepted by hand.
class Win32Socket : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SocketLayerStart());
        m_hListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(m_hListener, INVALID_SOCKET);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(m_hListener, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        ASSERT_EQ(listen(m_hListener, 4), 0);
        int len = sizeof sa;
        ASSERT_EQ(getsockname(m_hListener, reinterpret_cast<sockaddr *>(&sa), &len), 0);
        m_wPort = ntohs(sa.sin_port);

        m_hClient = OpenTcpSocket();
        ASSERT_NE(m_hClient, kNoSocket);
        ASSERT_TRUE(SetNonBlocking(m_hClient, true));
        StartConnect(m_hClient, htonl(INADDR_LOOPBACK), m_wPort);
        ASSERT_TRUE(WaitWritable(m_hClient, kLongMs));
        ASSERT_TRUE(NoPendingError(m_hClient));
        ASSERT_TRUE(SetNonBlocking(m_hClient, false));
        m_hServer = accept(m_hListener, nullptr, nullptr);
        ASSERT_NE(m_hServer, INVALID_SOCKET);
    }
    void TearDown() override
    {
        CloseSocket(m_hClient);
        closesocket(m_hServer);
        closesocket(m_hListener);
        SocketLayerStop();
    }
    void PeerSends(const char *text) { ASSERT_GT(send(m_hServer, text, static_cast<int>(strlen(text)), 0), 0); }

    // Blocking mode shows in how a receive with a receive time-out ends on
    // an empty socket: a time-out when blocking, "would block" at once if not.
    bool ClientIsBlocking()
    {
        SetReceiveTimeout(m_hClient, 50);
        char byte;
        const int rc = recv(m_hClient, &byte, 1, 0);
        return rc == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT;
    }

    SOCKET m_hListener = INVALID_SOCKET;
    SOCKET m_hServer = INVALID_SOCKET;
    SocketHandle m_hClient = kNoSocket;
    uint16_t m_wPort = 0;
};

TEST_F(Win32Socket, WaitReadableReportsDataTimeOutAndPeerClose)
{
    CEvent wake;
    uint64_t start = NowMs();
    EXPECT_EQ(WaitReadable(m_hClient, &wake, 80), Readiness::TimedOut);
    EXPECT_GE(NowMs() - start, 70u);
    EXPECT_EQ(WaitReadable(m_hClient, nullptr, 30), Readiness::TimedOut);

    PeerSends("abc");
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Readable);
    char buf[16];
    bool wouldBlock = true;
    EXPECT_EQ(ReceiveNoWait(m_hClient, buf, sizeof buf, wouldBlock), 3);
    EXPECT_FALSE(wouldBlock);
    EXPECT_EQ(ReceiveNoWait(m_hClient, buf, sizeof buf, wouldBlock), -1);
    EXPECT_TRUE(wouldBlock);

    shutdown(m_hServer, SD_SEND);
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Readable);
    EXPECT_EQ(Receive(m_hClient, buf, sizeof buf), 0);
    EXPECT_EQ(WaitReadable(kNoSocket, &wake, 10), Readiness::Failed);
}

TEST_F(Win32Socket, WakeEndsWaitAtOnceAndStaysSetForItsOwner)
{
    CEvent wake;
    CThread waker;
    ASSERT_TRUE(waker.Start([&] {
        SleepMs(50);
        wake.Set();
    }));
    const uint64_t start = NowMs();
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Woken);
    EXPECT_LT(NowMs() - start, kPromptMs + 50);
    ASSERT_TRUE(waker.Stop(kLongMs));
    // Still set: the owner takes it. Set before the wait: woken at once.
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Woken);
    EXPECT_TRUE(wake.TryTake());
    // A wake wins over data that is also there.
    PeerSends("x");
    wake.Set();
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Woken);
    EXPECT_TRUE(wake.TryTake());
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Readable);
}

TEST_F(Win32Socket, WaitsLeaveTheSocketBlocking)
{
    CEvent wake;
    EXPECT_EQ(WaitReadable(m_hClient, &wake, 20), Readiness::TimedOut);
    EXPECT_TRUE(ClientIsBlocking());
    wake.Set();
    EXPECT_EQ(WaitReadable(m_hClient, &wake, kLongMs), Readiness::Woken);
    wake.TryTake();
    EXPECT_TRUE(ClientIsBlocking());
}

TEST_F(Win32Socket, OptionsAndLocalPort)
{
    EXPECT_TRUE(SetKeepAlive(m_hClient, false));
    EXPECT_TRUE(SetAbortiveClose(m_hClient));
    EXPECT_TRUE(SetNoDelay(m_hClient, true));
    EXPECT_TRUE(SetReceiveBuffer(m_hClient, 0x18000));
    EXPECT_NE(LocalPort(m_hClient), 0);
    EXPECT_FALSE(SetKeepAlive(kNoSocket, false));
    EXPECT_EQ(LocalPort(kNoSocket), 0);

    // A port taken by a bound socket refuses a second bind: the local port
    // walk relies on it.
    SocketHandle first = OpenTcpSocket();
    SocketHandle second = OpenTcpSocket();
    ASSERT_NE(first, kNoSocket);
    ASSERT_NE(second, kNoSocket);
    ASSERT_TRUE(BindAny(first, 0));
    EXPECT_FALSE(BindAny(second, LocalPort(first)));
    CloseSocket(first);
    CloseSocket(second);
}

// The host's own start of Windows Sockets survives the library's stops that
// have no start of the library's behind them (a cleanup without an init).
TEST(Win32SocketLayer, StopsNeverOutnumberStarts)
{
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);  // the host's
    SocketLayerStop();
    SocketLayerStop();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET);
    closesocket(s);
    ASSERT_TRUE(SocketLayerStart());
    SocketLayerStop();
    SocketLayerStop();
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET);
    closesocket(s);
    WSACleanup();
}

// Connects to a port with no listener end quickly and fail, instead of
// running into the 1.5 s connect time-out.
TEST(Win32SocketConnect, RefusedConnectFailsPromptly)
{
    ASSERT_TRUE(SocketLayerStart());
    SocketHandle probe = OpenTcpSocket();
    ASSERT_NE(probe, kNoSocket);
    ASSERT_TRUE(BindAny(probe, 0));
    const uint16_t closedPort = LocalPort(probe);  // bound, never listening
    SocketHandle s = OpenTcpSocket();
    ASSERT_NE(s, kNoSocket);
    ASSERT_TRUE(SetNonBlocking(s, true));
    const uint64_t start = NowMs();
    StartConnect(s, htonl(INADDR_LOOPBACK), closedPort);
    const bool finished = WaitWritable(s, 1500);
    EXPECT_FALSE(finished && NoPendingError(s));
    EXPECT_LT(NowMs() - start, 1500 + kPromptMs);
    CloseSocket(s);
    CloseSocket(probe);
    SocketLayerStop();
}

TEST(Win32SocketDatagram, LongDatagramIsCutToTheBuffer)
{
    ASSERT_TRUE(SocketLayerStart());
    SocketHandle rx = OpenUdpSocket();
    SocketHandle tx = OpenUdpSocket();
    ASSERT_NE(rx, kNoSocket);
    ASSERT_NE(tx, kNoSocket);
    ASSERT_TRUE(BindAny(rx, 0));
    StartConnect(tx, htonl(INADDR_LOOPBACK), LocalPort(rx));
    char big[2000];
    memset(big, 'k', sizeof big);
    ASSERT_EQ(Send(tx, big, sizeof big), static_cast<long>(sizeof big));
    ASSERT_EQ(WaitReadable(rx, nullptr, kLongMs), Readiness::Readable);
    char small[100];
    EXPECT_EQ(Receive(rx, small, sizeof small), static_cast<long>(sizeof small));
    EXPECT_EQ(small[99], 'k');
    CloseSocket(rx);
    CloseSocket(tx);
    SocketLayerStop();
}

}  // namespace
}  // namespace kn::platform
