#include "net/packet_framing.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace kn::net {
namespace {

using Bytes = std::vector<uint8_t>;

// A packet with the magic, a session id, the declared length of payloadLen
// (declaredPayload when given) and the code, payload bytes all equal to code.
Bytes Packet(uint8_t code, size_t payloadLen, long declaredPayload = -1)
{
    const size_t field = (declaredPayload < 0 ? payloadLen : static_cast<size_t>(declaredPayload)) + 1;
    Bytes p = {'S', 'D', 'V', 'R', 1, 2, 3, 4, static_cast<uint8_t>(field), static_cast<uint8_t>(field >> 8), code};
    p.insert(p.end(), payloadLen, code);
    return p;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Slice(const Bytes &b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// The bytes of one receive as the session sees them.
using Receive = Bytes;

struct Case {
    const char *name;
    std::vector<Receive> receives;
    // The packets handed out after each receive, as byte counts.
    std::vector<std::vector<size_t>> packets;
    size_t heldAtEnd;
};

std::vector<Case> Cases()
{
    const Bytes reply = Packet(51, 20);    // 31 bytes
    const Bytes message = Packet(56, 12);  // 23 bytes
    const Bytes both = Join({reply, message});
    return {
        {"two packets in one receive are split", {both}, {{31, 23}}, 0},
        {"bytes after a packet that are no header stay with it", {Join({reply, Bytes{1, 2, 3, 4, 5}})}, {{36}}, 0},
        {"a short tail that could be a header is kept", {Join({reply, Bytes{'S', 'D'}})}, {{31}}, 2},
        {"a header tail is kept and completed",
         {Join({reply, Slice(message, 0, 2)}), Slice(message, 2, 23)},
         {{31}, {23}},
         0},
        {"a packet cut by a receive waits for the rest", {Slice(both, 0, 40), Slice(both, 40, 54)}, {{31}, {23}}, 0},
        {"a cut packet completed over three receives",
         {Slice(reply, 0, 5), Slice(reply, 5, 20), Slice(reply, 20, 31)},
         {{}, {}, {31}},
         0},
        {"a zero length field is not a packet boundary",
         {Join({Bytes{'S', 'D', 'V', 'R', 0, 0, 0, 0, 0, 0, 56}, message})},
         {{34}},
         0},
        {"bytes without a header are one packet", {Bytes{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}}, {{12}}, 0},
        {"a declared length that could never be held takes the bytes whole", {Packet(51, 4, 60000)}, {{15}}, 0},
    };
}

TEST(PacketFraming, SplitsAndJoinsReceivesByDeclaredLength)
{
    for (const Case &c : Cases()) {
        SCOPED_TRACE(c.name);
        CPacketJoiner joiner;
        ASSERT_EQ(c.receives.size(), c.packets.size());
        for (size_t i = 0; i < c.receives.size(); ++i) {
            joiner.Append(c.receives[i].data(), c.receives[i].size());
            std::vector<size_t> got;
            const uint8_t *packet = nullptr;
            size_t len = 0;
            while (joiner.Next(packet, len)) {
                got.push_back(len);
            }
            EXPECT_EQ(got, c.packets[i]) << "after receive " << i;
        }
        EXPECT_EQ(joiner.Held(), c.heldAtEnd);
    }
}

TEST(PacketFraming, HandsOutTheBytesOfEachPacketInOrder)
{
    const Bytes reply = Packet(51, 20);
    const Bytes message = Packet(56, 12);
    const Bytes stream = Join({reply, message, reply});
    CPacketJoiner joiner;
    joiner.Append(stream.data(), 50);
    std::vector<Bytes> got;
    const uint8_t *packet = nullptr;
    size_t len = 0;
    while (joiner.Next(packet, len)) {
        got.emplace_back(packet, packet + len);
    }
    joiner.Append(stream.data() + 50, stream.size() - 50);
    while (joiner.Next(packet, len)) {
        got.emplace_back(packet, packet + len);
    }
    EXPECT_EQ(got, (std::vector<Bytes>{reply, message, reply}));
}

// The longest reply, cut into receives of every size a TCP stream may give,
// and followed by a message in the same bytes, comes out whole; one byte
// longer and it could never be held, so it is not waited for.
TEST(PacketFraming, JoinsTheLongestPacketAcrossAnyReceives)
{
    const Bytes longest = Packet(42, kMaxPacket - 11);
    const Bytes stream = Join({longest, Packet(56, 12)});
    for (size_t piece : {size_t{1448}, size_t{4096}, size_t{7}, size_t{3000}}) {
        SCOPED_TRACE(piece);
        CPacketJoiner joiner;
        std::vector<Bytes> got;
        const uint8_t *packet = nullptr;
        size_t len = 0;
        for (size_t at = 0; at < stream.size(); at += piece) {
            const size_t n = std::min(piece, stream.size() - at);
            joiner.Append(stream.data() + at, n);
            while (joiner.Next(packet, len)) {
                got.emplace_back(packet, packet + len);
            }
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], longest);
        EXPECT_EQ(got[1], Packet(56, 12));
    }

    const Bytes tooLong = Packet(42, 100, kMaxPacket - 10);
    CPacketJoiner joiner;
    joiner.Append(tooLong.data(), tooLong.size());
    const uint8_t *packet = nullptr;
    size_t len = 0;
    ASSERT_TRUE(joiner.Next(packet, len));
    EXPECT_EQ(len, tooLong.size());
}

// A recorder that declares a huge packet and keeps sending full receives
// must not grow what is held past the buffer: once no further receive fits,
// the held bytes are handed out as they are.
TEST(PacketFraming, LyingLengthNeverOverrunsTheBuffer)
{
    for (long declared : {65000L, static_cast<long>(kMaxPacket - 11)}) {
        SCOPED_TRACE(declared);
        CPacketJoiner joiner;
        Bytes first = Packet(51, CPacketJoiner::kReceiveSize - 11, declared);
        Bytes filler(CPacketJoiner::kReceiveSize, 0x41);
        size_t handedOut = 0;
        const uint8_t *packet = nullptr;
        size_t len = 0;
        joiner.Append(first.data(), first.size());
        for (int i = 0; i < 20; ++i) {
            while (joiner.Next(packet, len)) {
                handedOut += len;
            }
            ASSERT_LE(joiner.Held(), CPacketJoiner::kCapacity - CPacketJoiner::kReceiveSize);
            joiner.Append(filler.data(), filler.size());
        }
        EXPECT_GT(handedOut, 0u);
    }
    const Bytes first = Packet(51, 4, 65000);
    EXPECT_EQ(DeclaredLength(first.data(), first.size()), 65011u);
    EXPECT_EQ(DeclaredLength(first.data(), 10), 0u);
}

}  // namespace
}  // namespace kn::net
