// The device parameter pass-through against the recorder emulator: which
// reply ends a wait, what goes on the wire, how much is copied back, and the
// request/reply slot under late replies and a stream of recorder messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/thread_message.h"
#include "tests/support/eventually.h"
#include "tests/support/recorder_fixture.h"

using kn::kRelease1001;
using kn::emu::Bytes;
using kn::emu::RecordedPacket;
using kn::test::kWait;

namespace {

constexpr uint8_t kLogin = 49;
constexpr uint8_t kKeepAlive = 56;
constexpr uint32_t kShortTimeoutMs = kn::test::kShortReplyTimeoutMs;  // for requests meant to time out
constexpr uint32_t kLongTimeoutMs = 10000;                            // for requests meant to be answered
constexpr uint8_t kGuard = 0xEE;

std::atomic<int> g_messages{0};

void KR_CALL CountMessage(uint32_t, void *, const unsigned char *, uint32_t) { ++g_messages; }

Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    return b;
}

class ParamTest : public kn::test::LoggedInTest {
protected:
    void BeforeLogin() override
    {
        g_messages = 0;
        ASSERT_EQ(1, KR_4100_SetDVRMessCallBack(CountMessage));
    }
    void SetUp() override
    {
        LoggedInTest::SetUp();
        KR_4100_SetConnectTime(kLongTimeoutMs);
    }

    // What the library sent besides the login and keep-alives, in order.
    std::vector<RecordedPacket> Requests() const
    {
        std::vector<RecordedPacket> out;
        for (auto &p : m_Emu.Packets(m_hCmd)) {
            if (p.code != kLogin && p.code != kKeepAlive) {
                out.push_back(p);
            }
        }
        return out;
    }

    // A request that is answered at once; once it returns, everything the
    // library sent before it has reached the emulator.
    void Marker()
    {
        m_Emu.SetParamReply(42, {0x4D});
        uint8_t out = 0;
        ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 42, nullptr, 0, &out, 1));
        ASSERT_EQ(0x4D, out);
    }

    // A read of code 100 that the recorder answers with blob, written as it
    // is (in pieces of piece bytes, 0 for one write) once the request came.
    int32_t ReadAnsweredWith(const Bytes &blob, void *out, uint32_t size, size_t piece = 0)
    {
        const size_t asked = Requests().size();
        std::thread recorder([&] {
            if (m_Emu.WaitFor([&] { return Requests().size() > asked; }, kWait)) {
                m_Emu.SendRaw(m_hCmd, blob, piece, std::chrono::milliseconds(piece == 0 ? 0 : 2));
            }
        });
        const int32_t result = KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, out, size);
        recorder.join();
        return result;
    }

    // Returns once the receive thread has dispatched everything sent before:
    // a recorder message behind it reaches the callback.
    void Drain()
    {
        const int before = g_messages.load();
        ASSERT_TRUE(m_Emu.SendPacket(m_hCmd, kKeepAlive, Bytes(12, 0x01)));
        ASSERT_TRUE(kn::test::Eventually([&] { return g_messages.load() > before; }));
    }

    // Release 1.0.0.1 copies a reply only when it fills the buffer exactly.
    void ExpectExactLengthReads()
    {
        uint8_t guard[64];
        const Bytes forty = Pattern(40, 0x10);

        // Longer or shorter payload than the buffer: refused, nothing copied.
        m_Emu.SetParamReply(100, forty);
        std::memset(guard, kGuard, sizeof guard);
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 16));
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 41));
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 39));
        EXPECT_EQ(Bytes(64, kGuard), Bytes(guard, guard + 64));
        // A buffer of size 0 for a reply with a payload: also a length mismatch.
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 0));
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, nullptr, 0));

        // Exactly the buffer's size: all of it, nothing beyond.
        ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 40));
        EXPECT_EQ(forty, Bytes(guard, guard + 40));
        EXPECT_EQ(Bytes(24, kGuard), Bytes(guard + 40, guard + 64));

        // A reply of exactly 11 bytes fits only an empty buffer.
        m_Emu.SetParamReply(100, {});
        std::memset(guard, kGuard, sizeof guard);
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, sizeof guard));
        EXPECT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 0));
        EXPECT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, nullptr, 0));
        EXPECT_EQ(Bytes(64, kGuard), Bytes(guard, guard + 64));
        // Every read went out and was answered, refused or not.
        EXPECT_EQ(9u, Requests().size());
    }
};

}  // namespace

// ---------------------------------------------------------------- reply mapping

TEST_F(ParamTest, OnlyTheMappedReplyCodeEndsTheWait)
{
    struct Case {
        int32_t request;
        uint8_t reply;
    };
    // Release 1.0.0.1 has no entries for 163 and 164: refused before sending.
    std::vector<Case> cases{Case{33, 34}, Case{100, 100}};
    if (!kRelease1001) {
        cases.insert(cases.begin() + 1, {Case{163, 166}, Case{164, 166}});
    }
    for (const Case c : cases) {
        SCOPED_TRACE(c.request);
        const Bytes payload = Pattern(6, static_cast<uint8_t>(c.request));
        m_Emu.SetParamReply(static_cast<uint8_t>(c.request), payload);

        // Answered with a neighbouring code: the wait runs into its time-out.
        m_Emu.SetReplyCode(static_cast<uint8_t>(c.request), static_cast<uint8_t>(c.reply + 1));
        KR_4100_SetConnectTime(kShortTimeoutMs);
        uint8_t out[6] = {kGuard, kGuard, kGuard, kGuard, kGuard, kGuard};
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, c.request, nullptr, 0, out, sizeof out));
        EXPECT_EQ(Bytes(6, kGuard), Bytes(out, out + 6));
        EXPECT_EQ(0, KR_4100_SetDvrParam(m_hSession, c.request, nullptr, 0));

        // Answered with the mapped code: done, with that reply's payload.
        m_Emu.SetReplyCode(static_cast<uint8_t>(c.request), c.reply);
        KR_4100_SetConnectTime(kLongTimeoutMs);
        ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, c.request, nullptr, 0, out, sizeof out));
        EXPECT_EQ(payload, Bytes(out, out + 6));
        EXPECT_EQ(1, KR_4100_SetDvrParam(m_hSession, c.request, nullptr, 0));
    }
}

TEST_F(ParamTest, CodesOutsideTheTableAreRefusedWithNothingSent)
{
    // A short time-out: a refusal that waited would show as a slow test, a
    // refusal that sent would show in the record.
    KR_4100_SetConnectTime(kShortTimeoutMs);
    uint8_t out[4] = {kGuard, kGuard, kGuard, kGuard};
    for (int32_t cmd : {56, 200, 305, 256 + 33, 0, 32, 233, -1, -223, INT32_MIN}) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, cmd, "ab", 2, out, sizeof out));
        EXPECT_EQ(0, KR_4100_SetDvrParam(m_hSession, cmd, "ab", 2));
    }
    EXPECT_EQ(Bytes(4, kGuard), Bytes(out, out + 4));
    KR_4100_SetConnectTime(kLongTimeoutMs);
    Marker();
    const auto sent = Requests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(42, sent[0].code);
}

// ---------------------------------------------------------------- request payload

TEST_F(ParamTest, RequestPayloadLimits)
{
    const Bytes big = Pattern(90, 3);
    // One byte over what a command packet carries: refused, nothing sent.
    EXPECT_EQ(0, KR_4100_SetDvrParam(m_hSession, 100, big.data(), 90));
    EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, big.data(), 1000, nullptr, 0));
    EXPECT_EQ(0, KR_4100_SetDvrParam(m_hSession, 100, big.data(), -1));
    // A length without bytes: refused, nothing sent.
    EXPECT_EQ(0, KR_4100_SetDvrParam(m_hSession, 100, nullptr, 5));
    uint8_t out[4] = {};
    EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 1, out, sizeof out));
    Marker();
    auto sent = Requests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(42, sent[0].code);

    // Exactly 89 bytes go out whole.
    ASSERT_EQ(1, KR_4100_SetDvrParam(m_hSession, 100, big.data(), 89));
    // No payload: an 11-byte packet with the session id and length 1.
    ASSERT_EQ(1, KR_4100_SetDvrParam(m_hSession, 33, nullptr, 0));
    sent = Requests();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(100, sent[1].code);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 89), sent[1].payload);
    EXPECT_EQ(100u, sent[1].raw.size());
    EXPECT_EQ(90, sent[1].raw[8] | sent[1].raw[9] << 8);
    const Bytes bare = {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x01, 0x00, 33};
    EXPECT_EQ(bare, sent[2].raw);
}

// ---------------------------------------------------------------- reply copy

TEST_F(ParamTest, CopiesAtMostTheBufferAndAtMostThePayload)
{
    if (kRelease1001) {
        ExpectExactLengthReads();
        return;
    }
    uint8_t guard[64];
    const Bytes forty = Pattern(40, 0x10);

    // Longer payload than buffer: the first 16 bytes, nothing beyond them.
    m_Emu.SetParamReply(100, forty);
    std::memset(guard, kGuard, sizeof guard);
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 16));
    EXPECT_EQ(Bytes(forty.begin(), forty.begin() + 16), Bytes(guard, guard + 16));
    EXPECT_EQ(Bytes(48, kGuard), Bytes(guard + 16, guard + 64));

    // Shorter payload than buffer: only its bytes.
    const Bytes five = Pattern(5, 0x80);
    m_Emu.SetParamReply(100, five);
    std::memset(guard, kGuard, sizeof guard);
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, sizeof guard));
    EXPECT_EQ(five, Bytes(guard, guard + 5));
    EXPECT_EQ(Bytes(59, kGuard), Bytes(guard + 5, guard + 64));

    // A buffer of size 0: the request still goes out and waits; nothing copied.
    std::memset(guard, kGuard, sizeof guard);
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, 0));
    EXPECT_EQ(Bytes(64, kGuard), Bytes(guard, guard + 64));
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, nullptr, 0));

    // A reply of exactly 11 bytes: answered, nothing to copy.
    m_Emu.SetParamReply(100, {});
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, guard, sizeof guard));
    EXPECT_EQ(Bytes(64, kGuard), Bytes(guard, guard + 64));
    EXPECT_EQ(5u, Requests().size());
}

TEST_F(ParamTest, SetReturnsOneWhateverTheReplySays)
{
    for (const Bytes &reply : {Bytes{}, Bytes{0x00}, Bytes{0xFF}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, Pattern(80, 1)}) {
        m_Emu.SetParamReply(120, reply);
        EXPECT_EQ(1, KR_4100_SetDvrParam(m_hSession, 120, "\x01\x02", 2));
    }
    const auto sent = Requests();
    ASSERT_EQ(5u, sent.size());
    EXPECT_EQ((Bytes{1, 2}), sent[4].payload);
}

// ---------------------------------------------------------------- late replies

TEST_F(ParamTest, LateReplyIsNotTakenAsTheNextAnswer)
{
    // The first request times out; its reply arrives afterwards.
    m_Emu.SetIgnored(100, true);
    KR_4100_SetConnectTime(kShortTimeoutMs);
    uint8_t out[8];
    std::memset(out, kGuard, sizeof out);
    ASSERT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, out, sizeof out));
    const Bytes stale = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
    ASSERT_TRUE(m_Emu.SendPacket(m_hCmd, 100, stale));
    Drain();

    // The next request's own reply never comes: it times out untouched.
    m_Emu.SetIgnored(33, true);
    EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 33, nullptr, 0, out, sizeof out));
    EXPECT_EQ(Bytes(8, kGuard), Bytes(out, out + 8));

    // Late again, then a request for the same code: its own bytes.
    ASSERT_TRUE(m_Emu.SendPacket(m_hCmd, 34, stale));
    ASSERT_TRUE(m_Emu.SendPacket(m_hCmd, 100, stale));
    Drain();
    KR_4100_SetConnectTime(kLongTimeoutMs);
    m_Emu.SetIgnored(100, false);
    const Bytes own = {1, 2, 3};
    m_Emu.SetParamReply(100, own);
    // Release 1.0.0.1 reads only into a buffer of the reply's own length.
    const uint32_t size = kRelease1001 ? static_cast<uint32_t>(own.size()) : sizeof out;
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, out, size));
    EXPECT_EQ(own, Bytes(out, out + 3));
    EXPECT_EQ(Bytes(5, kGuard), Bytes(out + 3, out + 8));
}

TEST_F(ParamTest, DelayedReplyArrivingDuringTheNextRequestIsIgnored)
{
    // The recorder answers the first request after the library gave up; the
    // second request (another reply code) is waiting when the late one lands.
    m_Emu.SetParamReply(100, {0x66, 0x66});
    m_Emu.SetParamReply(33, {0x77});
    m_Emu.SetReplyDelay(std::chrono::milliseconds(kShortTimeoutMs + 400));
    KR_4100_SetConnectTime(kShortTimeoutMs);
    uint8_t out[2] = {kGuard, kGuard};
    ASSERT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, out, sizeof out));

    KR_4100_SetConnectTime(kLongTimeoutMs);
    // Release 1.0.0.1 reads only into a buffer of the reply's own length.
    ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 33, nullptr, 0, out, kRelease1001 ? 1 : sizeof out));
    EXPECT_EQ(0x77, out[0]);
    EXPECT_EQ(kGuard, out[1]);
}

// ---------------------------------------------------------------- the slot under load

TEST_F(ParamTest, ReplySlotRaceWithMessagesAndForeignReplies)
{
    std::atomic<bool> stop{false};
    std::atomic<int> pushed{0};
    std::thread pusher;
    // Stops and joins the pusher on every way out of the test, failures too.
    struct Join {
        std::atomic<bool> &stop;
        std::thread &thread;
        ~Join()
        {
            stop = true;
            if (thread.joinable()) {
                thread.join();
            }
        }
    } join{stop, pusher};
    pusher = std::thread([&] {
        // Recorder messages and replies nobody waits for, back to back.
        const uint8_t foreign[] = {34, 166, 71, 101, 59};
        for (int i = 0; i < 200000 && !stop.load(); ++i) {
            Bytes message(12, static_cast<uint8_t>(i));
            if (!m_Emu.SendPacket(m_hCmd, kKeepAlive, message) ||
                !m_Emu.SendPacket(m_hCmd, foreign[i % 5], Pattern(1 + i % 60, static_cast<uint8_t>(i)))) {
                break;
            }
            ++pushed;
            if (i % 8 == 7) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));  // pacing only
            }
        }
    });

    ASSERT_TRUE(kn::test::Eventually([&] { return pushed.load() > 20; }));
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        const Bytes payload = Pattern(1 + (i * 13) % 80, static_cast<uint8_t>(0x30 + i));
        m_Emu.SetParamReply(100, payload);
        uint8_t out[96];
        std::memset(out, kGuard, sizeof out);
        const uint8_t in = static_cast<uint8_t>(i);
        // Release 1.0.0.1 reads only into a buffer of the reply's own length.
        const uint32_t size = kRelease1001 ? static_cast<uint32_t>(payload.size()) : sizeof out;
        ASSERT_EQ(1, KR_4100_GetDvrParam(m_hSession, 100, &in, 1, out, size));
        EXPECT_EQ(payload, Bytes(out, out + payload.size()));
        EXPECT_EQ(Bytes(sizeof out - payload.size(), kGuard), Bytes(out + payload.size(), out + sizeof out));
    }
    stop = true;
    pusher.join();
    EXPECT_GT(pushed.load(), 0);
    EXPECT_GT(g_messages.load(), 0);
}

TEST_F(ParamTest, PacketsSharingOneReceiveAreEachDispatched)
{
    // Recorder messages back to back with the awaited reply in one write; the
    // reply starts at different places around the end of a 4096-byte receive
    // (complete before it, cut inside the header, cut inside the payload).
    const Bytes reply = kn::emu::BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, 100, Pattern(40, 0x61));
    const Bytes message = kn::emu::BuildPacket({0x0A, 0x0B, 0x0C, 0x0D}, kKeepAlive, Bytes(12, 0x02));
    m_Emu.SetIgnored(100, true);
    for (int messages : {3, 176, 177, 178}) {
        SCOPED_TRACE(messages);
        Bytes blob;
        for (int i = 0; i < messages; ++i) {
            blob.insert(blob.end(), message.begin(), message.end());
        }
        blob.insert(blob.end(), reply.begin(), reply.end());
        blob.insert(blob.end(), message.begin(), message.end());

        const int before = g_messages.load();
        uint8_t out[40] = {};
        ASSERT_EQ(1, ReadAnsweredWith(blob, out, sizeof out));
        EXPECT_EQ(Pattern(40, 0x61), Bytes(out, out + 40));
        EXPECT_TRUE(kn::test::Eventually([&] { return g_messages.load() == before + messages + 1; }));
    }
}

// Replies longer than one receive, up to the longest the session holds
// (32757 payload bytes), come back whole: in one write, or cut into short
// pieces with pauses so that no receive is full, with a recorder message
// right behind the reply.
TEST_F(ParamTest, LongRepliesAreJoinedAcrossReceivesAndReturnedWhole)
{
    const kn::emu::Id4 id{0x0A, 0x0B, 0x0C, 0x0D};
    const Bytes message = kn::emu::BuildPacket(id, kKeepAlive, Bytes(12, 0x03));
    for (size_t n : {size_t{4085}, size_t{4086}, size_t{6000}, size_t{32757}}) {
        for (size_t piece : {size_t{0}, size_t{1000}}) {
            SCOPED_TRACE(std::to_string(n) + (piece == 0 ? " in one write" : " in pieces"));
            const Bytes payload = Pattern(n, static_cast<uint8_t>(n + piece));
            Bytes blob = kn::emu::BuildPacket(id, 100, payload);
            blob.insert(blob.end(), message.begin(), message.end());
            m_Emu.SetIgnored(100, true);
            const int before = g_messages.load();
            Bytes out(n + 16, kGuard);
            ASSERT_EQ(1, ReadAnsweredWith(blob, out.data(), static_cast<uint32_t>(n), piece));
            EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin()));
            EXPECT_EQ(Bytes(16, kGuard), Bytes(out.begin() + static_cast<long>(n), out.end()));
            EXPECT_TRUE(kn::test::Eventually([&] { return g_messages.load() == before + 1; }));
        }
    }
}

// ---------------------------------------------------------------- lost connection and bad arguments

TEST_F(ParamTest, LostConnectionTimesOutWithNothingSent)
{
    ASSERT_EQ(1, KR_4100_SetDVRMessage(KR_4100_DISCONNECT_MESSAGE, kn::platform::CurrentThreadId()));
    ASSERT_TRUE(m_Emu.CloseConnection(m_hCmd));
    if (!kRelease1001) {
        DvrThreadMessage notice{};
        ASSERT_EQ(1, KR_4100_GetThreadMessage(&notice, 10000));  // the library saw the loss
    }
    // Release 1.0.0.1 posts no notice; whether or not its receive thread has
    // closed the socket yet, nothing can reach the recorder and both calls
    // run into their time-outs.
    const size_t before = m_Emu.Packets(m_hCmd).size();

    KR_4100_SetConnectTime(kShortTimeoutMs);
    uint8_t out[4] = {kGuard, kGuard, kGuard, kGuard};
    const uint64_t started = kn::platform::NowMs();
    EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, "x", 1, out, sizeof out));
    EXPECT_EQ(0, KR_4100_SetDvrParam(m_hSession, 100, "x", 1));
    EXPECT_GE(kn::platform::NowMs() - started, 2 * kShortTimeoutMs - 20);  // both waited
    EXPECT_EQ(Bytes(4, kGuard), Bytes(out, out + 4));
    EXPECT_EQ(before, m_Emu.Packets(m_hCmd).size());
    EXPECT_EQ(1u, m_Emu.Connections().size());  // no reconnect behind the host's back
}

TEST_F(ParamTest, NullOutputWithSizeIsRefused)
{
    EXPECT_EQ(0, KR_4100_GetDvrParam(m_hSession, 100, nullptr, 0, nullptr, 16));
    EXPECT_EQ(0, KR_4100_GetDvrParam(nullptr, 100, nullptr, 0, nullptr, 0));
    EXPECT_EQ(0, KR_4100_SetDvrParam(reinterpret_cast<void *>(0x1234), 100, nullptr, 0));
    Marker();
    EXPECT_EQ(1u, Requests().size());
}

// ---------------------------------------------------------------- lying lengths and bytes without a header

// What stands before the awaited reply in the same write never swallows it
// nor turns into packets of its own: a length field of 0, bytes that are no
// header, and packets longer than the session holds (whose bodies are made
// of packets here, to tempt a reader that loses count). An awaited reply too
// long to hold fails its request at once, and the next request is answered.
TEST_F(ParamTest, APacketIsWhatItsHeaderSays)
{
    const kn::emu::Id4 id{0x0A, 0x0B, 0x0C, 0x0D};
    const Bytes reply = kn::emu::BuildPacket(id, 100, Pattern(40, 0x61));
    const Bytes message = kn::emu::BuildPacket(id, kKeepAlive, Bytes(12, 0x02));
    auto declaring = [&](uint8_t code, size_t field, const Bytes &filler) {
        Bytes p = {
            'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, static_cast<uint8_t>(field), static_cast<uint8_t>(field >> 8),
            code};
        while (p.size() < 10 + (field == 0 ? 1 : field)) {
            p.insert(p.end(), filler.begin(), filler.end());
        }
        p.resize(10 + (field == 0 ? 1 : field));
        return p;
    };
    const struct {
        const char *name;
        Bytes before;
        int32_t result;  // of the request
        int messages;    // recorder messages delivered
    } cases[] = {
        // A message of its header alone: empty, which release 1.0.0.1 drops.
        {"a length of 0", declaring(kKeepAlive, 0, {}), 1, kRelease1001 ? 0 : 1},
        {"bytes without a header", Bytes{'x', 'S', 'D', 'V', 'X', 0, 'S'}, 1, 0},
        {"a message of 65535 declared bytes", declaring(kKeepAlive, 65535, message), 1, 0},
        {"another code, one byte over the slot", declaring(42, 32759, reply), 1, 0},
        {"a message in its right length", message, 1, 1},
        {"the awaited reply itself, too long", declaring(100, 40000, reply), 0, 0},
    };
    m_Emu.SetIgnored(100, true);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes blob = c.before;
        blob.insert(blob.end(), reply.begin(), reply.end());
        const int before = g_messages.load();
        uint8_t out[40] = {};
        const uint64_t started = kn::platform::NowMs();
        EXPECT_EQ(c.result, ReadAnsweredWith(blob, out, sizeof out));
        EXPECT_LT(kn::platform::NowMs() - started, kLongTimeoutMs / 2);  // answered, not timed out
        if (c.result == 1) {
            EXPECT_EQ(Pattern(40, 0x61), Bytes(out, out + 40));
        } else {
            // The rest of the long reply is counted off; the next request
            // is answered.
            EXPECT_EQ(1, ReadAnsweredWith(reply, out, sizeof out));
        }
        Drain();
        EXPECT_EQ(before + c.messages + 1, g_messages.load());
    }
}
