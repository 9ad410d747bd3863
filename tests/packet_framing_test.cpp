#include "net/packet_framing.h"

#include <gtest/gtest.h>

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

// One receive as the session sees it: its bytes, and whether it filled the
// receive buffer. A receive is marked filled here whatever its size, which
// is what a full receive of a real socket looks like to the joiner.
struct Receive {
    Bytes bytes;
    bool filled;
};

struct Case {
    const char *name;
    std::vector<Receive> receives;
    // The packets handed out after each receive, as byte counts.
    std::vector<std::vector<size_t>> packets;
    size_t heldAtEnd;
};

std::vector<Case> Cases()
{
    const Bytes reply = Packet(51, 20);   // 31 bytes
    const Bytes message = Packet(56, 12); // 23 bytes
    const Bytes both = Join({reply, message});
    return {
        {"two packets in one receive are split", {{both, false}}, {{31, 23}}, 0},
        {"bytes after a packet that are no header stay with it", {{Join({reply, Bytes{1, 2, 3, 4, 5}}), false}}, {{36}}, 0},
        {"a short tail that could be a header is split only from a full receive",
         {{Join({reply, Bytes{'S', 'D'}}), false}}, {{33}}, 0},
        {"a header tail of a full receive is kept and completed",
         {{Join({reply, Slice(message, 0, 2)}), true}, {Slice(message, 2, 23), false}}, {{31}, {23}}, 0},
        {"a packet cut by a full receive waits for the rest",
         {{Slice(both, 0, 40), true}, {Slice(both, 40, 54), false}}, {{31}, {23}}, 0},
        {"a cut packet completed over three receives",
         {{Slice(reply, 0, 5), true}, {Slice(reply, 5, 20), true}, {Slice(reply, 20, 31), false}}, {{}, {}, {31}}, 0},
        {"a short receive is taken whole, declared length unexamined", {{Slice(reply, 0, 20), false}}, {{20}}, 0},
        {"a zero length field is not a packet boundary",
         {{Join({Bytes{'S', 'D', 'V', 'R', 0, 0, 0, 0, 0, 0, 56}, message}), false}}, {{34}}, 0},
        {"bytes without a header are one packet", {{Bytes{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, false}}, {{12}}, 0},
        {"a full receive of bytes without a header is not kept", {{Bytes(40, 7), true}}, {{40}}, 0},
        {"a declared length past the end of a short receive takes it whole",
         {{Packet(51, 4, 60000), false}}, {{15}}, 0},
    };
}

TEST(PacketFraming, SplitsAndJoinsReceivesByDeclaredLength)
{
    for (const Case &c : Cases()) {
        SCOPED_TRACE(c.name);
        CPacketJoiner joiner;
        ASSERT_EQ(c.receives.size(), c.packets.size());
        for (size_t i = 0; i < c.receives.size(); ++i) {
            joiner.Append(c.receives[i].bytes.data(), c.receives[i].bytes.size());
            std::vector<size_t> got;
            const uint8_t *packet = nullptr;
            size_t len = 0;
            while (joiner.Next(c.receives[i].filled, packet, len)) {
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
    while (joiner.Next(true, packet, len)) {
        got.emplace_back(packet, packet + len);
    }
    joiner.Append(stream.data() + 50, stream.size() - 50);
    while (joiner.Next(false, packet, len)) {
        got.emplace_back(packet, packet + len);
    }
    EXPECT_EQ(got, (std::vector<Bytes>{reply, message, reply}));
}

// A recorder that declares a huge packet and keeps sending full receives
// must not grow what is held past the buffer: once no further receive fits,
// the held bytes are handed out as they are.
TEST(PacketFraming, LyingLengthNeverOverrunsTheBuffer)
{
    CPacketJoiner joiner;
    Bytes first = Packet(51, CPacketJoiner::kReceiveSize - 11, 65000);
    Bytes filler(CPacketJoiner::kReceiveSize, 0x41);
    size_t handedOut = 0;
    const uint8_t *packet = nullptr;
    size_t len = 0;
    joiner.Append(first.data(), first.size());
    for (int i = 0; i < 20; ++i) {
        while (joiner.Next(true, packet, len)) {
            handedOut += len;
        }
        ASSERT_LE(joiner.Held(), CPacketJoiner::kCapacity - CPacketJoiner::kReceiveSize);
        joiner.Append(filler.data(), filler.size());
    }
    EXPECT_GT(handedOut, 0u);
    EXPECT_EQ(DeclaredLength(first.data(), first.size()), 65011u);
    EXPECT_EQ(DeclaredLength(first.data(), 10), 0u);
}

}  // namespace
}  // namespace kn::net
