// Bytes received on the command channel, cut into arbitrary receives of at
// most 4096 bytes, lying lengths and bytes without a header included: the
// split and join of packets by their declared length,
// then what the session reads of each packet through the codec (under both
// releases' rules): its code, the login reply's session id and result, a
// recorder message's 12 bytes, and search pages, read into their records,
// stored and handed out record by record.
//
// Input: byte 0 = n (the number of receive sizes, 0-15), then n sizes of two
// bytes each (little-endian, modulo 4096, 0 read as 1), used in turn, then
// the bytes received. Every receive is appended from a heap block of its
// exact size.
//
// Invariants: every packet handed out is a run of the received bytes, in
// order, never reaching past them; it begins with a header, where a header
// was due (never inside an earlier packet, an over-long one's counted-off
// body included), and is exactly as long as that header declares (its header
// alone when that is more than the joiner holds); a search page is read into at most the
// whole records it carried, each from its own bytes, and yields no more.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "net/command_packet.h"
#include "net/messages.h"
#include "net/packet_framing.h"
#include "net/packet_header.h"
#include "session/recording_search.h"

namespace {

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "command channel invariant broken: %s\n", what);
    std::abort();
}

void ReadPacket(const uint8_t *packet, size_t len, kn::CRecordingSearch &search)
{
    kn::net::CommandReply reply;
    if (!kn::net::ReadCommandReply(packet, len, reply)) {
        if (len >= kn::net::kHeaderSize) {
            Fail("a packet with a code byte was not read");
        }
        return;
    }
    if (reply.payload != packet + kn::net::kHeaderSize || reply.payloadLength != len - kn::net::kHeaderSize ||
        reply.length != len) {
        Fail("the payload is not the packet's own");
    }
    // Both releases' rules read every packet.
    const kn::net::ReadRules rules[] = {{false, false, false, false}, {true, true, true, true}};
    volatile int32_t sink = 0;
    switch (reply.code) {
    case 51:  // login reply: the session id from the header, the result
        for (const kn::net::ReadRules &r : rules) {
            sink = sink + kn::net::LoginResult(reply.payload, reply.payloadLength, r);
        }
        sink = sink + reply.sessionId[3];
        break;
    case 56: {  // recorder message: 12 bytes, the missing ones zero
        for (const kn::net::ReadRules &r : rules) {
            kn::net::RecorderMessage message;
            if (kn::net::ReadRecorderMessage(reply, r, message)) {
                sink = sink + message.bytes[11];
            }
            for (size_t i = reply.payloadLength; i < kn::net::kMessageLength; ++i) {
                if (message.bytes[i] != 0) {
                    Fail("a message byte the packet did not carry");
                }
            }
        }
        break;
    }
    case 71: {  // a search page for one day: read, then stored and handed out
        kn::net::SearchPage page;
        if (!kn::net::ReadSearchPage(reply.payload, reply.payloadLength, page)) {
            if (reply.payloadLength != 0) {
                Fail("a search page with a count byte was not read");
            }
            break;
        }
        const size_t carried = reply.payloadLength >= kn::net::kSearchPageHead
                                   ? (reply.payloadLength - kn::net::kSearchPageHead) / kn::net::kSearchRecordSize
                                   : 0;
        if (page.count > page.declaredCount || page.count > carried || page.length > reply.payloadLength) {
            Fail("a search page holds more than it carried");
        }
        for (size_t i = 0; i < page.count; ++i) {
            const uint8_t *r = reply.payload + kn::net::kSearchPageHead + i * kn::net::kSearchRecordSize;
            if (page.records[i].startHour != r[0] || page.records[i].endSecond != r[5] ||
                page.records[i].value !=
                    (uint32_t{r[6]} | uint32_t{r[7]} << 8 | uint32_t{r[8]} << 16 | uint32_t{r[9]} << 24)) {
                Fail("a search record not read from its own bytes");
            }
        }
        const DvrTime day{2024, 2, 29, 0, 0, 0};
        const DvrTime end{2024, 2, 29, 23, 59, 59};
        if (!search.StorePage(day, end, page)) {
            search.Clear();
            break;
        }
        DvrFileRecord record{};
        size_t handed = 0;
        while (search.NextFile(record) == KR_4100_FIND_RECORD) {
            if (record.Start.nHour > 255 || record.End.nSecond > 255) {
                Fail("a record field from outside its byte");
            }
            ++handed;
        }
        if (handed > carried) {
            Fail("more records than the page carried");
        }
        search.Clear();
        break;
    }
    default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const size_t count = data[0] % 16;
    size_t at = 1;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count && at + 1 < size; ++i, at += 2) {
        const size_t s = (data[at] | static_cast<size_t>(data[at + 1]) << 8) % kn::net::CPacketJoiner::kReceiveSize;
        sizes.push_back(s == 0 ? 1 : s);
    }
    if (sizes.empty()) {
        sizes.push_back(kn::net::CPacketJoiner::kReceiveSize);
    }
    const uint8_t *const stream = data + at;
    const size_t streamLen = size - at;

    static auto *joiner = new kn::net::CPacketJoiner();
    static auto *search = new kn::CRecordingSearch();
    joiner->Clear();
    size_t received = 0;  // bytes of the stream appended so far
    size_t next = 0;      // where in the stream the next packet may start
    for (size_t k = 0; received < streamLen; ++k) {
        const size_t n = std::min(sizes[k % sizes.size()], streamLen - received);
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
        std::memcpy(chunk.get(), stream + received, n);
        joiner->Append(chunk.get(), n);
        received += n;
        kn::net::Packet p;
        while (joiner->Next(p)) {
            const uint8_t *packet = p.bytes;
            const size_t len = p.length;
            if (len < kn::net::kHeaderSize || len > received) {
                Fail("a packet shorter than a header or longer than what was received");
            }
            kn::net::PacketHeader header;
            if (kn::net::ReadPacketHeader(packet, len, header) != kn::net::HeaderRead::Complete ||
                header.length != p.declared) {
                Fail("a packet that does not begin with its own header");
            }
            if (p.Whole() ? len != header.length
                          : len != kn::net::kHeaderSize || header.length <= kn::net::kMaxPacket) {
                Fail("a packet not as long as its header declares");
            }
            // A run of the received bytes at or after the end of the last
            // packet (bytes without a header before it are skipped).
            size_t found = next;
            while (found + len <= received && std::memcmp(stream + found, packet, len) != 0) {
                ++found;
            }
            if (found + len > received) {
                Fail("a packet that is not a run of the received bytes, in order");
            }
            next = found + p.declared;
            if (p.Whole()) {
                ReadPacket(packet, len, *search);
            }
        }
    }
    return 0;
}
