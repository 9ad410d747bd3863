#include "net/messages.h"

#include <algorithm>
#include <cstring>

#include "net/command_codes.h"
#include "net/packet_header.h"
#include "net/reply_joiner.h"

namespace kn::net {

// A media channel's framing keeps exactly the head that is read here.
static_assert(kControlReplyHead == CReplyJoiner::kHeadSize);

namespace {

// Login reply of the release that maps its result: the payload byte read.
constexpr size_t kMappedResultByte = 9;
// Recorder message: the three 16-bit words that make a message not empty.
constexpr size_t kMessageWordsFrom = 4;
constexpr size_t kMessageWordsTo = 10;
// Live reply: group address and port, as offsets into the reply.
constexpr size_t kGroupOffset = kHeaderSize + 1;
constexpr size_t kPortOffset = kHeaderSize + 5;

}  // namespace

bool ReadCommandReply(const uint8_t *packet, size_t len, CommandReply &out)
{
    PacketHeader header;
    if (ReadPacketHeader(packet, len, header) != HeaderRead::Complete) {
        return false;
    }
    out.code = header.code;
    out.sessionId = header.sessionId;
    out.payload = packet + kHeaderSize;
    out.payloadLength = len - kHeaderSize;
    out.length = len;
    return true;
}

int32_t LoginResult(const uint8_t *payload, size_t len, const ReadRules &rules)
{
    if (payload == nullptr) {
        return 0;
    }
    if (rules.mapsLoginResult) {
        if (len <= kMappedResultByte) {
            return 0;
        }
        switch (payload[kMappedResultByte]) {
        case '!': return 4;
        case '/':
        case '0':
        case '1': return 8;
        case 'a':
        case 'b':
        case 'c': return 16;
        default: return 0;
        }
    }
    // The recorder's result byte, sign-extended; a reply without payload
    // carries no result and counts as a refusal.
    return len != 0 ? static_cast<int32_t>(static_cast<int8_t>(payload[0])) : 0;
}

bool ReadRecorderMessage(const CommandReply &reply, const ReadRules &rules, RecorderMessage &out)
{
    out = RecorderMessage{};
    if (reply.payload != nullptr) {
        std::memcpy(out.bytes, reply.payload,
                    reply.payloadLength < kMessageLength ? reply.payloadLength : kMessageLength);
    }
    if (rules.dropsEmptyMessages) {
        uint8_t any = 0;
        for (size_t i = kMessageWordsFrom; i < kMessageWordsTo; ++i) {
            any |= out.bytes[i];
        }
        return any != 0;
    }
    return true;
}

bool ReadSearchPage(const uint8_t *payload, size_t len, SearchPage &out)
{
    out.declaredCount = 0;
    out.count = 0;
    out.length = 0;
    if (payload == nullptr || len == 0) {
        return false;
    }
    out.declaredCount = payload[0];
    const size_t carried = len >= kSearchPageHead ? (len - kSearchPageHead) / kSearchRecordSize : 0;
    out.count = std::min<size_t>(out.declaredCount, carried);
    for (size_t i = 0; i < out.count; ++i) {
        const uint8_t *r = payload + kSearchPageHead + i * kSearchRecordSize;
        SearchRecord &record = out.records[i];
        record.startHour = r[0];
        record.startMinute = r[1];
        record.startSecond = r[2];
        record.endHour = r[3];
        record.endMinute = r[4];
        record.endSecond = r[5];
        record.value = static_cast<uint32_t>(r[6]) | static_cast<uint32_t>(r[7]) << 8 |
                       static_cast<uint32_t>(r[8]) << 16 | static_cast<uint32_t>(r[9]) << 24;
    }
    out.length = std::min(len, kSearchPageHead + out.count * kSearchRecordSize);
    return true;
}

bool ParameterReplyFits(size_t payloadLength, size_t bufferSize, const ReadRules &rules)
{
    return !rules.exactLengthParamRead || payloadLength == bufferSize;
}

size_t ControlReplyLength(const PacketHeader &header)
{
    size_t read = kHeaderSize;
    if (header.code == kReplyLive) {
        read = kControlReplyHead;
    } else if (header.code == kReplyPlayBack) {
        read = kHeaderSize + sizeof(StreamId);
    }
    return header.length > read ? header.length : read;
}

bool IsControlReply(const uint8_t *chunk, size_t len)
{
    return chunk != nullptr && len >= sizeof kPacketMagic && std::memcmp(chunk, kPacketMagic, sizeof kPacketMagic) == 0;
}

ControlReply ReadControlReply(const uint8_t *reply, size_t len)
{
    ControlReply out;
    if (reply == nullptr) {
        return out;
    }
    out.length = len;
    if (len < kHeaderSize) {
        return out;
    }
    // Bytes a short reply did not carry read as zero, never as leftovers of
    // an earlier one.
    uint8_t head[kControlReplyHead] = {};
    std::memcpy(head, reply, len < sizeof(head) ? len : sizeof(head));
    PacketHeader header;
    if (ReadPacketHeader(head, kHeaderSize, header) != HeaderRead::Complete) {
        return out;
    }
    out.code = header.code;
    if (out.code == kReplyPlayBack) {
        std::memcpy(out.streamId.data(), head + kHeaderSize, out.streamId.size());
    } else if (out.code == kReplyLive && len >= sizeof(head) && (head[kGroupOffset] & 0xF0) == 0xE0) {
        // An announcement cut short names no group: a group without its port
        // is not joined.
        out.announcesGroup = true;
        std::memcpy(&out.groupNetOrder, head + kGroupOffset, sizeof(out.groupNetOrder));
        std::memcpy(&out.portNetOrder, head + kPortOffset, sizeof(out.portNetOrder));
    }
    return out;
}

bool TalkAccepted(uint8_t code, const ReadRules &rules)
{
    return code == kReplyTalkAccepted || (!rules.talkNeedsPercentReply && code != kReplyTalkRefused);
}

}  // namespace kn::net
