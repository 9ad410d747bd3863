#include "net/packet_framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/packet_header.h"

namespace kn::net {
namespace {

using Bytes = std::vector<uint8_t>;

// A packet with a session id, the length field for payloadLen (field when
// given) and the code, its payload bytes all equal to code.
Bytes Pkt(uint8_t code, size_t payloadLen, long field = -1)
{
    const size_t f = field < 0 ? payloadLen + 1 : static_cast<size_t>(field);
    Bytes p = {'S', 'D', 'V', 'R', 1, 2, 3, 4, static_cast<uint8_t>(f), static_cast<uint8_t>(f >> 8), code};
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

// Receives of at most one receive's size each.
std::vector<Bytes> Receives(const Bytes &stream, size_t piece = CPacketJoiner::kReceiveSize)
{
    std::vector<Bytes> out;
    for (size_t at = 0; at < stream.size(); at += piece) {
        out.push_back(Slice(stream, at, std::min(stream.size(), at + piece)));
    }
    return out;
}

// A packet as handed out: its bytes, and whether it was whole.
struct Out {
    Bytes bytes;
    bool whole = true;
    bool operator==(const Out &) const = default;
};

std::vector<Out> Feed(CPacketJoiner &joiner, const std::vector<Bytes> &receives)
{
    std::vector<Out> got;
    for (const Bytes &r : receives) {
        joiner.Append(r.data(), r.size());
        Packet p;
        while (joiner.Next(p)) {
            got.push_back({Bytes(p.bytes, p.bytes + p.length), p.Whole()});
        }
    }
    return got;
}

// Each case's bytes are followed by an ordinary reply, which must come out
// whole right after what the case expects: nothing the case sent may swallow
// it or leave the joiner out of step.
TEST(PacketFraming, EachPacketIsWhatItsHeaderSays)
{
    const Bytes reply = Pkt(51, 20);
    const Bytes message = Pkt(56, 12);
    const Bytes zero = Pkt(56, 0, 0);
    const Bytes one = Pkt(56, 0, 1);
    const Bytes longest = Pkt(42, kMaxPacket - kHeaderSize);
    // One byte too long to hold, and the longest a field declares; their
    // bodies are made of packets, which must never be taken for packets.
    Bytes overSlot = Pkt(42, 0, static_cast<long>(kMaxPacket - 10 + 1));
    Bytes overField = Pkt(42, 0, 65535);
    while (overSlot.size() < kMaxPacket + 1) {
        overSlot.insert(overSlot.end(), message.begin(), message.end());
    }
    overSlot.resize(kMaxPacket + 1);
    while (overField.size() < 65545) {
        overField.insert(overField.end(), reply.begin(), reply.end());
    }
    overField.resize(65545);
    const Bytes header = Slice(overField, 0, kHeaderSize);
    const Bytes noise = {1, 2, 'S', 'D', 'V', 'X', 'S', 0, 'S', 'D'};

    const struct {
        const char *name;
        std::vector<Bytes> receives;
        std::vector<Out> packets;
    } cases[] = {
        {"length 0 occupies its header", {Join({zero, message})}, {{zero}, {message}}},
        {"length 1 is the header alone", {Join({one, message})}, {{one}, {message}}},
        {"exactly as declared", {Join({message, reply})}, {{message}, {reply}}},
        {"the longest held packet across receives", Receives(longest), {{longest}}},
        {"the longest, cut into short receives", Receives(longest, 1000), {{longest}}},
        {"one byte over the slot: its header alone", Receives(overSlot), {{Slice(overSlot, 0, 11), false}}},
        {"65535 declared: its header alone", Receives(overField), {{header, false}}},
        {"65535 declared in short receives", Receives(overField, 7), {{header, false}}},
        {"bytes before the magic are skipped", {Join({noise, message})}, {{message}}},
        {"bytes between packets are skipped", {Join({message, noise, reply})}, {{message}, {reply}}},
        {"a magic cut by a receive", {Join({noise, Slice(reply, 0, 2)}), Slice(reply, 2, 31)}, {{reply}}},
        {"nothing but noise", {noise, noise}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CPacketJoiner joiner;
        std::vector<Bytes> receives = c.receives;
        receives.push_back(reply);
        std::vector<Out> expected = c.packets;
        expected.push_back({reply});
        EXPECT_EQ(Feed(joiner, receives), expected);
        EXPECT_EQ(joiner.Held(), 0u);
        EXPECT_EQ(joiner.Skipping(), 0u);
    }
}

// A header, and the packet it begins, cut at every byte: one packet.
TEST(PacketFraming, AHeaderCutAtAnyByteIsJoined)
{
    const Bytes stream = Join({Pkt(100, 40), Pkt(56, 12)});
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        CPacketJoiner joiner;
        const std::vector<Out> got = Feed(joiner, {Slice(stream, 0, cut), Slice(stream, cut, stream.size())});
        EXPECT_EQ(got, (std::vector<Out>{{Pkt(100, 40)}, {Pkt(56, 12)}}));
        EXPECT_EQ(joiner.Held(), 0u);
    }
}

// The over-long packet is counted off to its declared end, whatever comes
// after it in the same receive.
TEST(PacketFraming, AnOverLongPacketEndsWhereItSays)
{
    Bytes body = Pkt(42, 0, 40000);
    body.resize(40010, 'S');
    const Bytes reply = Pkt(51, 3);
    CPacketJoiner joiner;
    const std::vector<Out> got = Feed(joiner, Receives(Join({body, reply, body, reply}), 4000));
    EXPECT_EQ(got, (std::vector<Out>{{Slice(body, 0, 11), false}, {reply}, {Slice(body, 0, 11), false}, {reply}}));
    EXPECT_EQ(joiner.BytesWithoutHeader(), 0u);
}

TEST(PacketFraming, TheHeaderReaderNeverReadsPastItsBytes)
{
    const Bytes p = Pkt(56, 12);
    PacketHeader h;
    for (size_t n = 0; n < kHeaderSize; ++n) {
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[n == 0 ? 1 : n]);
        std::copy(p.begin(), p.begin() + static_cast<long>(n), exact.get());
        EXPECT_EQ(ReadPacketHeader(exact.get(), n, h), HeaderRead::Partial) << n;
    }
    ASSERT_EQ(ReadPacketHeader(p.data(), kHeaderSize, h), HeaderRead::Complete);
    EXPECT_EQ(h.code, 56);
    EXPECT_EQ(h.length, 23u);
    EXPECT_EQ(h.sessionId, (SessionId{1, 2, 3, 4}));
    EXPECT_EQ(ReadPacketHeader(Pkt(1, 0, 0).data(), kHeaderSize, h), HeaderRead::Complete);
    EXPECT_EQ(h.length, kHeaderSize);
    EXPECT_EQ(ReadPacketHeader(Pkt(1, 0, 65535).data(), kHeaderSize, h), HeaderRead::Complete);
    EXPECT_EQ(h.length, 65545u);
    const uint8_t wrong[] = {'S', 'D', 'X'};
    EXPECT_EQ(ReadPacketHeader(wrong, sizeof wrong, h), HeaderRead::NotAHeader);
    EXPECT_EQ(ReadPacketHeader(nullptr, 4, h), HeaderRead::NotAHeader);
}

}  // namespace
}  // namespace kn::net
