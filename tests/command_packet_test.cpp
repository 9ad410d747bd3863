#include "net/command_packet.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/socket_peer.h"

namespace kn::net {
namespace {

using Bytes = std::vector<uint8_t>;

const SessionId kId = {0x0A, 0x0B, 0x0C, 0x0D};
const Bytes kHeaderWithId = {0x53, 0x44, 0x56, 0x52, 0x0A, 0x0B, 0x0C, 0x0D};

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CommandPacketWire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(m_pair.near, 0); }
    Bytes Received(size_t count) { return test::ReadExactly(m_pair.far, count); }
    test::SocketPair m_pair;
};

TEST_F(CommandPacketWire, LogoutWithoutPayloadIsElevenBytes)
{
    ASSERT_TRUE(SendCommand(m_pair.near, kId, 53, nullptr, 0));
    EXPECT_EQ(Received(11), Concat(kHeaderWithId, {0x01, 0x00, 0x35}));
}

TEST_F(CommandPacketWire, KeepAliveCarriesChannelBitmap)
{
    uint8_t payload[14] = {};
    const uint16_t bitmap = (1u << 3) | (1u << 5);
    payload[12] = static_cast<uint8_t>(bitmap & 0xFF);
    payload[13] = static_cast<uint8_t>(bitmap >> 8);
    ASSERT_TRUE(SendCommand(m_pair.near, kId, 56, payload, sizeof payload));
    Bytes expected = Concat(kHeaderWithId, {0x0F, 0x00, 0x38});
    expected.insert(expected.end(), 12, 0x00);
    expected.insert(expected.end(), {0x28, 0x00});
    EXPECT_EQ(Received(25), expected);
}

TEST_F(CommandPacketWire, KeepAliveBeforeLoginHasZeroSessionId)
{
    const uint8_t payload[14] = {};
    ASSERT_TRUE(SendCommand(m_pair.near, SessionId{}, 56, payload, sizeof payload));
    const Bytes got = Received(25);
    ASSERT_EQ(got.size(), 25u);
    EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 8), Bytes(4, 0x00));
}

TEST_F(CommandPacketWire, LiveStopAndPlaybackStop)
{
    const uint8_t channel = 2;
    ASSERT_TRUE(SendCommand(m_pair.near, kId, 61, &channel, 1));
    EXPECT_EQ(Received(12), Concat(kHeaderWithId, {0x02, 0x00, 0x3D, 0x02}));

    const StreamId stream = {0x11, 0x22, 0x33, 0x44};
    ASSERT_TRUE(SendCommandWithStreamId(m_pair.near, kId, stream, 79, nullptr, 0));
    EXPECT_EQ(Received(15), Concat(kHeaderWithId, {0x05, 0x00, 0x4F, 0x11, 0x22, 0x33, 0x44}));
}

TEST_F(CommandPacketWire, PlaybackControlPutsStreamIdBeforePayload)
{
    const StreamId stream = {0x11, 0x22, 0x33, 0x44};
    const uint8_t body[3] = {0, 5, 7};
    ASSERT_TRUE(SendCommandWithStreamId(m_pair.near, kId, stream, 76, body, sizeof body));
    EXPECT_EQ(Received(18), Concat(kHeaderWithId, {0x08, 0x00, 0x4C, 0x11, 0x22, 0x33, 0x44, 0, 5, 7}));
}

TEST_F(CommandPacketWire, DownloadOpenDeclaresLength171)
{
    uint8_t payload[170] = {};
    payload[0] = YearByte(2009);
    ASSERT_TRUE(SendMediaCommand(m_pair.near, kId, 81, payload, sizeof payload));
    const Bytes got = Received(181);
    ASSERT_EQ(got.size(), 181u);
    EXPECT_EQ(got[8], 0xAB);
    EXPECT_EQ(got[9], 0x00);
    EXPECT_EQ(got[10], 81);
    EXPECT_EQ(got[11], 9);
}

// An oversize payload sends nothing: the next packet on the wire is the first
// thing the peer sees.
TEST_F(CommandPacketWire, OversizePayloadsAreRefusedNotCut)
{
    const Bytes big(200, 0xEE);
    EXPECT_FALSE(SendCommand(m_pair.near, kId, 100, big.data(), kCommandMaxPayload + 1));
    EXPECT_FALSE(SendMediaCommand(m_pair.near, kId, 100, big.data(), kMediaMaxPayload + 1));
    EXPECT_FALSE(SendCommandWithStreamId(m_pair.near, kId, StreamId{}, 76, big.data(), kStreamIdMaxPayload + 1));
    ASSERT_TRUE(SendCommand(m_pair.near, kId, 53, nullptr, 0));
    EXPECT_EQ(Received(11), Concat(kHeaderWithId, {0x01, 0x00, 0x35}));
}

TEST_F(CommandPacketWire, LargestPayloadsFit)
{
    const Bytes big(200, 0xEE);
    ASSERT_TRUE(SendCommand(m_pair.near, kId, 100, big.data(), kCommandMaxPayload));
    EXPECT_EQ(Received(100).size(), 100u);
    ASSERT_TRUE(SendMediaCommand(m_pair.near, kId, 100, big.data(), kMediaMaxPayload));
    EXPECT_EQ(Received(200).size(), 200u);
    ASSERT_TRUE(SendCommandWithStreamId(m_pair.near, kId, StreamId{}, 76, big.data(), kStreamIdMaxPayload));
    const Bytes got = Received(11 + 52);
    ASSERT_EQ(got.size(), 63u);
    EXPECT_EQ(got[8], 53);  // 52 payload bytes + code
}

TEST(CommandPacket, NoSocketSendsNothing)
{
    EXPECT_FALSE(SendCommand(platform::kNoSocket, kId, 53, nullptr, 0));
    EXPECT_FALSE(SendMediaCommand(platform::kNoSocket, kId, 57, nullptr, 0));
    EXPECT_FALSE(SendCommandWithStreamId(platform::kNoSocket, kId, StreamId{}, 79, nullptr, 0));
}

TEST(CommandPacket, BuildZeroFillsAndDeclaresNullPayload)
{
    uint8_t buf[40];
    std::fill(std::begin(buf), std::end(buf), 0xCC);
    ASSERT_EQ(BuildPacket(buf, sizeof buf, kId, 0x39, nullptr, 2), 13u);
    EXPECT_EQ(buf[8], 3);
    EXPECT_EQ(buf[9], 0);
    for (size_t i = 11; i < sizeof buf; ++i) {
        EXPECT_EQ(buf[i], 0) << "offset " << i;
    }
}

TEST(CommandPacket, BuildRefusesWhatDoesNotFit)
{
    uint8_t buf[20] = {};
    const uint8_t payload[10] = {};
    EXPECT_EQ(BuildPacket(buf, sizeof buf, kId, 1, payload, 9), 20u);
    EXPECT_EQ(BuildPacket(buf, sizeof buf, kId, 1, payload, 10), 0u);
    EXPECT_EQ(BuildPacket(buf, 10, kId, 1, nullptr, 0), 0u);
    EXPECT_EQ(BuildPacket(nullptr, 100, kId, 1, nullptr, 0), 0u);
    EXPECT_EQ(BuildPacket(buf, sizeof buf, kId, 1, payload, SIZE_MAX), 0u);
}

TEST(CommandPacket, YearByte)
{
    EXPECT_EQ(YearByte(2009), 9);
    EXPECT_EQ(YearByte(2000), 0);
    EXPECT_EQ(YearByte(1999), 255);
    EXPECT_EQ(YearByte(2255), 255);
    EXPECT_EQ(YearByte(2256), 0);
}

}  // namespace
}  // namespace kn::net
