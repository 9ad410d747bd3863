// What the library receives, read into small typed messages. Every byte
// offset of a received packet is known here and nowhere else: the session
// and the streams act on the messages.
//
// A packet on either channel is "SDVR", the session id (4 bytes), the
// length (u16 LE, payload + 1), the code and the payload. How the packets
// are cut out of a byte stream is the framing's concern (CPacketJoiner on
// the command channel, CReplyJoiner on a media channel); the readers below
// take one packet each and never read outside the bytes they are given.
//
// The two releases read some packets differently; each difference is a
// field of ReadRules, so both ways can be exercised in one build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/release.h"
#include "net/command_packet.h"
#include "net/packet_header.h"

namespace kn::net {

// How this build reads what the recorder sends.
struct ReadRules {
    // Login result: payload byte 9 mapped to the library's own codes (4, 8,
    // 16) instead of payload byte 0 passed on sign-extended.
    bool mapsLoginResult;
    // A recorder message whose 16-bit words at payload offsets 4, 6 and 8
    // are all zero is dropped.
    bool dropsEmptyMessages;
    // A parameter read takes a reply only when its payload is exactly as
    // long as the caller's buffer.
    bool exactLengthParamRead;
    // A talk channel opens only on a '%' reply, instead of on any reply
    // but '&'.
    bool talkNeedsPercentReply;
};

inline constexpr ReadRules kReadRules = {release::kMapsLoginResult, release::kDropsEmptyMessages,
                                         release::kExactLengthParamRead, release::kTalkNeedsPercentReply};

// ---------------------------------------------------------------- command channel

// One packet received on the command channel. The payload points into the
// packet given; length is how many bytes the packet occupies.
struct CommandReply {
    uint8_t code = 0;
    SessionId sessionId{};
    const uint8_t *payload = nullptr;
    size_t payloadLength = 0;
    size_t length = 0;
};

// False when the bytes do not begin with a whole header (net/packet_header.h):
// such a packet is ignored. The packet is the bytes given; CPacketJoiner has
// cut them to the length the header declares.
bool ReadCommandReply(const uint8_t *packet, size_t len, CommandReply &out);

// A search page: the reply to a day query (code 71). Its payload is the
// record count (byte 0), four bytes the library does not read, then the
// records, kSearchRecordSize bytes each. Both releases read it alike.
constexpr size_t kSearchPageHead = 5;
constexpr size_t kSearchRecordSize = 10;
// The count is one byte: no page holds more records.
constexpr size_t kMaxSearchRecords = 255;

// One recording of the day asked for: its start and end time of day and
// the recorder's 32-bit value for it (little-endian on the wire). A record
// carries no date.
struct SearchRecord {
    uint8_t startHour = 0;
    uint8_t startMinute = 0;
    uint8_t startSecond = 0;
    uint8_t endHour = 0;
    uint8_t endMinute = 0;
    uint8_t endSecond = 0;
    uint32_t value = 0;
};

struct SearchPage {
    // The count the recorder declared; 0 means the day has no recordings.
    uint8_t declaredCount = 0;
    // The records that arrived whole, at most declaredCount: a count that
    // promises more than the payload carries is lowered to what it does.
    size_t count = 0;
    SearchRecord records[kMaxSearchRecords];
    // The payload bytes the page occupies: the head and its whole records
    // (0 for a payload without a count byte).
    size_t length = 0;
};

// Reads a search reply's payload. False when it has no count byte (an empty
// payload): a reply that holds no records. Reads nothing past len.
bool ReadSearchPage(const uint8_t *payload, size_t len, SearchPage &out);

// The login result in a login reply's payload (0: refused, also when the
// payload is too short to carry the result).
int32_t LoginResult(const uint8_t *payload, size_t len, const ReadRules &rules);

// A recorder message: 12 bytes for the host's message callback; bytes the
// packet did not carry are zero.
constexpr size_t kMessageLength = 12;
struct RecorderMessage {
    uint8_t bytes[kMessageLength] = {};
};

// False when the rules drop the message.
bool ReadRecorderMessage(const CommandReply &reply, const ReadRules &rules, RecorderMessage &out);

// Whether a parameter reply's payload may be handed to a read into a buffer
// of bufferSize bytes.
bool ParameterReplyFits(size_t payloadLength, size_t bufferSize, const ReadRules &rules);

// ---------------------------------------------------------------- media channel

// True when a media-channel chunk begins with the packet magic: a control
// reply, whatever follows.
bool IsControlReply(const uint8_t *chunk, size_t len);

// A control reply on a media channel, from its first bytes (a longer reply
// carries nothing more that a stream reads).
struct ControlReply {
    static constexpr uint8_t kNoCode = 0;
    uint8_t code = kNoCode;  // kNoCode: shorter than a header, no code byte
    // Playback accepted ('K'): payload bytes 0-3, as received; bytes the
    // reply did not carry are zero.
    StreamId streamId{};
    // Live accepted (';'): a multicast group (payload bytes 1-4) and its UDP
    // port (bytes 5-6), both in network order. Only a group address
    // (224.0.0.0/4) that arrived whole with its port is announced.
    bool announcesGroup = false;
    uint32_t groupNetOrder = 0;
    uint16_t portNetOrder = 0;
    // The bytes the reply occupies: its declared length when it was joined
    // from a byte stream (CReplyJoiner::Reply), else the bytes given.
    size_t length = 0;

    bool operator==(const ControlReply &) const = default;
};

// The longest head of a reply that ReadControlReply looks at.
constexpr size_t kControlReplyHead = 18;

// The bytes a control reply with this header occupies in a media byte
// stream: what its length field declares, but never fewer than the bytes
// ReadControlReply reads of it (the whole head of a live reply, the stream
// id of a playback reply), so that a field that undercounts cannot leave
// reply bytes to be read as media.
size_t ControlReplyLength(const PacketHeader &header);

ControlReply ReadControlReply(const uint8_t *reply, size_t len);

// Whether a reply to a talk opening opens the talk channel.
bool TalkAccepted(uint8_t code, const ReadRules &rules);

}  // namespace kn::net
