// Every command code the library sends or recognises, in one place.
#pragma once

#include <cstdint>

namespace kn::net {

// Command channel: requests.
constexpr uint8_t kCodeLogin = 49;            // '1', answered by kCodeLoginReply
constexpr uint8_t kCodeLogout = 53;           // '5'
constexpr uint8_t kCodeKeepAlive = 56;        // '8', every second
constexpr uint8_t kCodeStopLive = 61;         // '=', channel byte
constexpr uint8_t kCodeSearch = 69;           // 'E', one day, answered by kCodeSearchReply
constexpr uint8_t kCodePlayBackControl = 76;  // 'L', stream id + 0, operation, level
constexpr uint8_t kCodeStopPlayBack = 79;     // 'O', stream id

// Command channel: what the recorder sends.
constexpr uint8_t kCodeLoginReply = 51;   // '3', header bytes 4-7 carry the session id
constexpr uint8_t kCodeMessage = 56;      // '8', 12 bytes for the message callback
constexpr uint8_t kCodeSearchReply = 71;  // 'G'

// Media channel: openings, sent on the stream's own connection.
constexpr uint8_t kCodeOpenLive = 57;      // '9'
constexpr uint8_t kCodeOpenPlayBack = 73;  // 'I'
constexpr uint8_t kCodeOpenDownLoad = 81;  // 'Q'
constexpr uint8_t kCodeOpenTalk = 35;      // '#'
constexpr uint8_t kCodeStopTalk = 36;      // '$'

// Media channel: control replies.
constexpr uint8_t kReplyLive = ';';
constexpr uint8_t kReplyPlayBack = 'K';
constexpr uint8_t kReplyDownLoad = 'S';
constexpr uint8_t kReplyTalkAccepted = '%';
constexpr uint8_t kReplyTalkRefused = '&';

}  // namespace kn::net
