// The requests the library sends, as bytes, from the packet layout and the
// tables of request codes and their payloads.
#include "net/command_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/requests.h"
#include "net/socket_slot.h"

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

Bytes Wire(const CRequest &r) { return Bytes(r.data(), r.data() + r.size()); }

TEST(CommandPacketWire, LogoutWithoutPayloadIsElevenBytes)
{
    EXPECT_EQ(Wire(LogoutRequest(kId)), Concat(kHeaderWithId, {0x01, 0x00, 0x35}));
}

TEST(CommandPacketWire, KeepAliveCarriesChannelBitmap)
{
    const uint16_t bitmap = (1u << 3) | (1u << 5);
    Bytes expected = Concat(kHeaderWithId, {0x0F, 0x00, 0x38});
    expected.insert(expected.end(), 12, 0x00);
    expected.insert(expected.end(), {0x28, 0x00});
    EXPECT_EQ(Wire(KeepAliveRequest(kId, bitmap)), expected);
}

TEST(CommandPacketWire, KeepAliveBeforeLoginHasZeroSessionId)
{
    const Bytes got = Wire(KeepAliveRequest(SessionId{}, 0));
    ASSERT_EQ(got.size(), 25u);
    EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 8), Bytes(4, 0x00));
}

TEST(CommandPacketWire, LiveStopAndPlaybackStop)
{
    EXPECT_EQ(Wire(StopLiveRequest(kId, 2)), Concat(kHeaderWithId, {0x02, 0x00, 0x3D, 0x02}));
    const StreamId stream = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(Wire(StopPlayBackRequest(kId, stream)),
              Concat(kHeaderWithId, {0x05, 0x00, 0x4F, 0x11, 0x22, 0x33, 0x44}));
}

TEST(CommandPacketWire, PlaybackControlPutsStreamIdBeforePayload)
{
    const StreamId stream = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(Wire(PlayBackControlRequest(kId, stream, 5, 7)),
              Concat(kHeaderWithId, {0x08, 0x00, 0x4C, 0x11, 0x22, 0x33, 0x44, 0, 5, 7}));
}

TEST(CommandPacketWire, DownloadOpenDeclaresLength171)
{
    const DvrTime start{2009, 3, 4, 10, 11, 12};
    const DvrTime end{2009, 3, 4, 13, 14, 15};
    Bytes expected = Concat(kHeaderWithId, {0xAB, 0x00, 81, 9, 3, 4, 6, 10, 11, 12, 13, 14, 15});
    expected.insert(expected.end(), 160, 0x00);
    EXPECT_EQ(Wire(OpenDownLoadRequest(kId, 6, start, end)), expected);
}

// Every other request of the tables, byte for byte.
TEST(CommandPacketWire, EveryRequestOfTheTables)
{
    const DvrTime day{2024, 5, 6, 10, 20, 30};
    const struct {
        const char *name;
        CRequest request;
        Bytes tail;  // after the magic and the session id
    } cases[] = {
        {"login", LoginRequest(kId, "ab", 2, "xyz", 3), {0x08, 0x00, 49, 2, 'a', 'b', 3, 'x', 'y', 'z'}},
        {"login, empty names", LoginRequest(kId, nullptr, 0, nullptr, 0), {0x03, 0x00, 49, 0, 0}},
        {"search", SearchRequest(kId, day, 3, 1), {0x06, 0x00, 69, 24, 5, 6, 3, 1}},
        {"parameter", CommandRequest(kId, 97, "\x01\x02", 2), {0x03, 0x00, 97, 1, 2}},
        {"open live", OpenLiveRequest(kId, 7), {0x03, 0x00, 57, 7, 0}},
        {"open playback", OpenPlayBackRequest(kId, 2, day), {0x08, 0x00, 73, 24, 5, 6, 2, 10, 20, 30}},
        {"open talk", OpenTalkRequest(kId), {0x01, 0x00, 35}},
        {"stop talk", StopTalkRequest(kId), {0x01, 0x00, 36}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Wire(c.request), Concat(kHeaderWithId, c.tail)) << c.name;
    }
}

// An oversize payload gives no request at all, never a cut one.
TEST(CommandPacketWire, OversizePayloadsAreRefusedNotCut)
{
    const Bytes big(200, 0xEE);
    const std::string name(44, 'n');
    EXPECT_TRUE(CommandRequest(kId, 100, big.data(), kCommandMaxPayload + 1).empty());
    EXPECT_FALSE(LoginFits(256, 0));
    EXPECT_FALSE(LoginFits(44, 44));
    EXPECT_TRUE(LoginRequest(kId, name.data(), 44, name.data(), 44).empty());
    EXPECT_TRUE(LoginRequest(kId, nullptr, 3, nullptr, 0).empty());
}

TEST(CommandPacketWire, LargestPayloadsFit)
{
    const Bytes big(200, 0xEE);
    const std::string name(44, 'n');
    EXPECT_EQ(CommandRequest(kId, 100, big.data(), kCommandMaxPayload).size(), 100u);
    EXPECT_TRUE(LoginFits(44, 43));
    const CRequest login = LoginRequest(kId, name.data(), 44, name.data(), 43);
    ASSERT_EQ(login.size(), 100u);
    EXPECT_EQ(login.data()[8], 90);  // 89 payload bytes + code
}

TEST(CommandPacket, NoSocketSendsNothing)
{
    const CSocketSlot none;
    const CRequest logout = LogoutRequest(kId);
    EXPECT_EQ(SendResult::NoSocket, none.Send(logout.data(), logout.size(), 100));
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
