// The codec's reading of what a recorder sends, on fixed byte sequences
// written from the packet layout and the tables of received codes: the
// command channel's replies (login result under both releases' rules,
// recorder messages, parameter replies, search pages) and a media channel's
// control replies (stream id, multicast announcement, talk acceptance).
#include "net/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

namespace kn::net {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr ReadRules kRules13 = {false, false, false, false};
constexpr ReadRules kRules1001 = {true, true, true, true};

TEST(WireMessages, CommandReplyIsItsCodeSessionIdAndPayload)
{
    const uint8_t chunk[16] = {'S', 'D', 'V', 'R', 1, 2, 3, 4, 1, 0, 51, 0xAA};
    CommandReply reply;
    EXPECT_FALSE(ReadCommandReply(chunk, 10, reply));
    EXPECT_FALSE(ReadCommandReply(nullptr, 16, reply));
    ASSERT_TRUE(ReadCommandReply(chunk, 11, reply));
    EXPECT_EQ(51, reply.code);
    EXPECT_EQ(0u, reply.payloadLength);
    EXPECT_EQ(11u, reply.length);
    EXPECT_EQ((SessionId{1, 2, 3, 4}), reply.sessionId);
    ASSERT_TRUE(ReadCommandReply(chunk, 12, reply));
    EXPECT_EQ(chunk + 11, reply.payload);
    EXPECT_EQ(1u, reply.payloadLength);
    EXPECT_EQ(0xAA, reply.payload[0]);
}

TEST(WireMessages, ControlReplyIsRecognisedByMagicAlone)
{
    const uint8_t magic[] = {'S', 'D', 'V', 'R'};
    const uint8_t other[] = {'S', 'D', 'V', 'X', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(IsControlReply(magic, 4));
    EXPECT_FALSE(IsControlReply(magic, 3));
    EXPECT_FALSE(IsControlReply(other, sizeof other));
    EXPECT_FALSE(IsControlReply(nullptr, 4));
}

TEST(WireMessages, LoginResultUnderEachReleasesRule)
{
    const Bytes ten = {0x05, 0, 0, 0, 0, 0, 0, 0, 0, '!'};
    auto withByte9 = [&](uint8_t b) {
        Bytes p = ten;
        p[9] = b;
        return p;
    };
    const struct {
        Bytes payload;
        int32_t plain;   // the result byte, sign-extended
        int32_t mapped;  // payload byte 9 mapped
    } cases[] = {
        {{}, 0, 0},
        {{0x01}, 1, 0},
        {{0xFF}, -1, 0},
        {{0x00, 0, 0, 0, 0, 0, 0, 0, 0, 'a'}, 0, 16},
        {ten, 5, 4},
        {withByte9('/'), 5, 8},
        {withByte9('0'), 5, 8},
        {withByte9('1'), 5, 8},
        {withByte9('b'), 5, 16},
        {withByte9('c'), 5, 16},
        {withByte9('d'), 5, 0},
        {Bytes(ten.begin(), ten.begin() + 9), 5, 0},  // byte 9 missing
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Bytes &p = cases[i].payload;
        EXPECT_EQ(cases[i].plain, LoginResult(p.data(), p.size(), kRules13)) << "case " << i;
        EXPECT_EQ(cases[i].mapped, LoginResult(p.data(), p.size(), kRules1001)) << "case " << i;
    }
}

TEST(WireMessages, RecorderMessageIsTwelveBytesAndTheOldRuleDropsEmptyOnes)
{
    const struct {
        Bytes packet;
        Bytes message;
        bool keptByOldRule;
    } cases[] = {
        // Twelve bytes, the words at 4, 6 and 8 not all zero.
        {{'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x0D, 0x00, 0x38, 1, 2, 3, 4, 0, 0, 0, 0, 0, 9, 11, 12},
         {1, 2, 3, 4, 0, 0, 0, 0, 0, 9, 11, 12},
         true},
        // The words all zero: empty, whatever the other bytes.
        {{'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x0D, 0x00, 0x38, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 11, 12},
         {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 11, 12},
         false},
        // Cut short: the missing bytes are zero.
        {{'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x0D, 0x00, 0x38, 7, 7, 7, 7, 5},
         {7, 7, 7, 7, 5, 0, 0, 0, 0, 0, 0, 0},
         true},
        // Longer than twelve: the rest is not the message's.
        {{'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x0F, 0x00, 0x38, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0xEE, 0xEE},
         Bytes(12, 1),
         true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        CommandReply reply;
        ASSERT_TRUE(ReadCommandReply(cases[i].packet.data(), cases[i].packet.size(), reply));
        ASSERT_EQ(0x38, reply.code);
        RecorderMessage message;
        EXPECT_TRUE(ReadRecorderMessage(reply, kRules13, message)) << "case " << i;
        EXPECT_EQ(cases[i].message, Bytes(message.bytes, message.bytes + kMessageLength)) << "case " << i;
        EXPECT_EQ(cases[i].keptByOldRule, ReadRecorderMessage(reply, kRules1001, message)) << "case " << i;
    }
}

TEST(WireMessages, ParameterReplyFitsAnyBufferOrOnlyItsOwnLength)
{
    EXPECT_TRUE(ParameterReplyFits(4, 4, kRules13));
    EXPECT_TRUE(ParameterReplyFits(3, 4, kRules13));
    EXPECT_TRUE(ParameterReplyFits(5, 4, kRules13));
    EXPECT_TRUE(ParameterReplyFits(4, 4, kRules1001));
    EXPECT_FALSE(ParameterReplyFits(3, 4, kRules1001));
    EXPECT_FALSE(ParameterReplyFits(5, 4, kRules1001));
}

// A search reply's payload: count, four bytes not read, records of ten bytes
// (start h m s, end h m s, value u32 LE). A count that promises more than
// arrived is lowered to the whole records received.
TEST(WireMessages, SearchPageIsItsWholeRecordsAndNoMore)
{
    const Bytes first = {9, 0, 0, 10, 30, 59, 0x78, 0x56, 0x34, 0x12};
    const Bytes second = {23, 59, 58, 23, 59, 59, 0xFF, 0xFF, 0xFF, 0xFF};
    auto page = [](uint8_t count, std::initializer_list<Bytes> records, Bytes tail = {}) {
        Bytes p = {count, 0xA1, 0xA2, 0xA3, 0xA4};
        for (const Bytes &r : records) {
            p.insert(p.end(), r.begin(), r.end());
        }
        p.insert(p.end(), tail.begin(), tail.end());
        return p;
    };
    const struct {
        const char *name;
        Bytes payload;
        bool read;
        uint8_t declared;
        size_t count;
        size_t length;
    } cases[] = {
        {"no payload", {}, false, 0, 0, 0},
        {"no records", page(0, {}), true, 0, 0, 5},
        {"two records", page(2, {first, second}), true, 2, 2, 25},
        {"bytes after the records are not the page's", page(1, {first, second}), true, 1, 1, 15},
        {"count lying above what arrived", page(200, {first, second}, {7}), true, 200, 2, 25},
        {"count byte alone", {3}, true, 3, 0, 1},
        {"head cut short", {5, 0, 0}, true, 5, 0, 3},
        {"record cut short", page(1, {}, {9, 0, 0, 10, 30, 59, 0x78, 0x56, 0x34}), true, 1, 0, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Each payload in a block of its own size, so a read past it is caught.
        std::unique_ptr<uint8_t[]> block(new uint8_t[c.payload.size()]);
        std::copy(c.payload.begin(), c.payload.end(), block.get());
        SearchPage out;
        ASSERT_EQ(c.read, ReadSearchPage(c.payload.empty() ? nullptr : block.get(), c.payload.size(), out));
        EXPECT_EQ(c.declared, out.declaredCount);
        ASSERT_EQ(c.count, out.count);
        EXPECT_EQ(c.length, out.length);
        if (c.count >= 1) {
            const SearchRecord &r = out.records[0];
            EXPECT_EQ((Bytes{9, 0, 0, 10, 30, 59}),
                      (Bytes{r.startHour, r.startMinute, r.startSecond, r.endHour, r.endMinute, r.endSecond}));
            EXPECT_EQ(0x12345678u, r.value);
        }
        if (c.count >= 2) {
            EXPECT_EQ(23, out.records[1].startHour);
            EXPECT_EQ(58, out.records[1].startSecond);
            EXPECT_EQ(0xFFFFFFFFu, out.records[1].value);
        }
    }
    // A full page: the count is unsigned, 255 records.
    Bytes full = page(255, {});
    for (int i = 0; i < 255; ++i) {
        full.insert(full.end(), second.begin(), second.end());
    }
    SearchPage out;
    ASSERT_TRUE(ReadSearchPage(full.data(), full.size(), out));
    EXPECT_EQ(255u, out.count);
    EXPECT_EQ(full.size(), out.length);
    EXPECT_EQ(59, out.records[254].endSecond);
}

TEST(WireMessages, ControlRepliesReadFromTheirBytes)
{
    const struct {
        const char *name;
        Bytes reply;
        uint8_t code;
        StreamId streamId;
        bool group;
        Bytes groupAndPort;  // as on the wire
    } cases[] = {
        {"live, group 239.1.2.3 port 9000",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x08, 0x00, ';', 0x00, 0xEF, 0x01, 0x02, 0x03, 0x23, 0x28},
         ';',
         {},
         true,
         {0xEF, 0x01, 0x02, 0x03, 0x23, 0x28}},
        {"live, no group",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x08, 0x00, ';', 0, 0, 0, 0, 0, 0, 0},
         ';',
         {},
         false,
         {}},
        {"live, a unicast address is no group",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x08, 0x00, ';', 0x00, 0x7F, 0x00, 0x00, 0x01, 0x23, 0x28},
         ';',
         {},
         false,
         {}},
        {"live, the port cut off",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x08, 0x00, ';', 0x00, 0xEF, 0x01, 0x02, 0x03, 0x23},
         ';',
         {},
         false,
         {}},
        {"playback, stream id",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x05, 0x00, 'K', 0x11, 0x22, 0x33, 0x44},
         'K',
         {0x11, 0x22, 0x33, 0x44},
         false,
         {}},
        {"playback, stream id cut short",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x05, 0x00, 'K', 0x11, 0x22},
         'K',
         {0x11, 0x22, 0, 0},
         false,
         {}},
        {"download", {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x01, 0x00, 'S'}, 'S', {}, false, {}},
        {"no code byte",
         {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D, 0x01, 0x00},
         ControlReply::kNoCode,
         {},
         false,
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ControlReply reply = ReadControlReply(c.reply.data(), c.reply.size());
        EXPECT_EQ(c.code, reply.code);
        EXPECT_EQ(c.streamId, reply.streamId);
        ASSERT_EQ(c.group, reply.announcesGroup);
        if (c.group) {
            Bytes wire(6);
            std::memcpy(wire.data(), &reply.groupNetOrder, 4);
            std::memcpy(wire.data() + 4, &reply.portNetOrder, 2);
            EXPECT_EQ(c.groupAndPort, wire);
        }
    }
}

TEST(WireMessages, TalkOpensOnAnyReplyButRefusalOrOnlyOnPercent)
{
    const struct {
        uint8_t code;
        bool accepted13;
        bool accepted1001;
    } cases[] = {{'%', true, true},
                 {'&', false, false},
                 {';', true, false},
                 {'S', true, false},
                 {ControlReply::kNoCode, true, false}};
    for (const auto &c : cases) {
        EXPECT_EQ(c.accepted13, TalkAccepted(c.code, kRules13)) << c.code;
        EXPECT_EQ(c.accepted1001, TalkAccepted(c.code, kRules1001)) << c.code;
    }
}

}  // namespace
}  // namespace kn::net
