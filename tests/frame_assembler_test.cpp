#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "stream/frame_assembler.h"
#include "stream/frame_queue.h"

using kn::CFrameAssembler;
using kn::CFrameQueue;

namespace {

using Bytes = std::vector<uint8_t>;

struct Frame {
    uint8_t type;
    Bytes bytes;
    bool operator==(const Frame &other) const { return type == other.type && bytes == other.bytes; }
};

std::ostream &operator<<(std::ostream &os, const Frame &frame)
{
    os << "{type " << int(frame.type) << ", " << frame.bytes.size() << " bytes:";
    for (size_t i = 0; i < std::min<size_t>(frame.bytes.size(), 24); ++i) {
        os << ' ' << int(frame.bytes[i]);
    }
    return os << (frame.bytes.size() > 24 ? " ...}" : "}");
}

void PutLe32(Bytes &to, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        to.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

Bytes Header(uint8_t type, uint32_t length)
{
    return {type, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16)};
}

Bytes Payload(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + 1 + i * 3);
    }
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Slice(const Bytes &bytes, size_t from, size_t to) { return Bytes(bytes.begin() + from, bytes.begin() + to); }

// The frame the host must receive for a payload (as queued, bytes 2 and 3
// already as they should arrive).
Frame Expected(uint8_t type, uint32_t counter, const Bytes &payload)
{
    Frame frame{type, {}};
    const uint32_t length = static_cast<uint32_t>(payload.size());
    if (type == 1) {
        frame.bytes = {'0', '0', 'd', 'b'};
        PutLe32(frame.bytes, length);
    } else if (type == 2 || type == 3) {
        frame.bytes = {'0', '0', 'd', 'c'};
        PutLe32(frame.bytes, 25);
        PutLe32(frame.bytes, counter);
        PutLe32(frame.bytes, length);
    }
    frame.bytes.insert(frame.bytes.end(), payload.begin(), payload.end());
    return frame;
}

Bytes Zero23(Bytes payload)
{
    payload[2] = 0;
    payload[3] = 0;
    return payload;
}

Bytes Datagram(uint16_t seq, const Bytes &data)
{
    Bytes bytes = {0xA5, 0x5A, static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

// A stream's reassembly with a test consumer that drains the queue after
// every chunk, so that the 120 slots never overflow.
class Harness {
public:
    Harness() : m_pQueue(std::make_unique<CFrameQueue>()), m_Buf(131072) { m_Assembler.emplace(*m_pQueue); }

    // A fresh assembler over this harness's (drained) queue: far cheaper
    // than a new harness for tests that reassemble thousands of times.
    void Restart()
    {
        m_Assembler.emplace(*m_pQueue);
        m_Frames.clear();
    }

    // Feeds a copy of exactly len bytes (so that any access beyond the chunk
    // is caught by the sanitizer); returns the chunk as it was left.
    Bytes Feed(const Bytes &chunk, bool datagram = false)
    {
        auto copy = std::make_unique<uint8_t[]>(chunk.size());
        std::memcpy(copy.get(), chunk.data(), chunk.size());
        m_Assembler->OnMediaData(copy.get(), chunk.size(), datagram);
        Drain();
        return Bytes(copy.get(), copy.get() + chunk.size());
    }

    void FeedNoDrain(const Bytes &chunk, bool datagram = false)
    {
        Bytes copy = chunk;
        m_Assembler->OnMediaData(copy.data(), copy.size(), datagram);
    }

    void Drain()
    {
        for (;;) {
            uint8_t type = 0xEE;
            const int32_t got = m_pQueue->TakeFrame(m_Buf.data(), &type, static_cast<uint32_t>(m_Buf.size()));
            if (got == 0) {
                if (!m_pQueue->WaitForFrame(0)) {
                    return;
                }
                continue;  // one too large for the buffer was dropped
            }
            m_Frames.push_back(Frame{type, Bytes(m_Buf.begin(), m_Buf.begin() + got)});
        }
    }

    std::vector<Frame> Take() { return std::exchange(m_Frames, {}); }
    CFrameAssembler &Assembler() { return *m_Assembler; }

private:
    std::unique_ptr<CFrameQueue> m_pQueue;
    std::optional<CFrameAssembler> m_Assembler;
    Bytes m_Buf;
    std::vector<Frame> m_Frames;
};

}  // namespace

TEST(FrameAssembler, HeaderSplitAcrossChunks)
{
    const Bytes payload = Payload(10, 1);
    const Bytes stream = Cat({Header(1, 10), payload});
    for (size_t cut = 1; cut <= 3; ++cut) {
        Harness h;
        h.Feed(Slice(stream, 0, cut));
        EXPECT_TRUE(h.Take().empty());
        h.Feed(Slice(stream, cut, stream.size()));
        EXPECT_EQ(std::vector<Frame>{Expected(1, 0, payload)}, h.Take()) << "cut " << cut;
    }
}

TEST(FrameAssembler, HeaderEndingChunkIsDecodedWithNextChunk)
{
    Harness h;
    const Bytes payload = Payload(8, 2);
    h.Feed(Header(2, 8));
    EXPECT_EQ(0u, h.Assembler().FrameCounter());
    const Bytes left = h.Feed(payload);
    EXPECT_EQ(1u, h.Assembler().FrameCounter());
    // Payload bytes 2 and 3 were the next chunk's bytes 2 and 3.
    EXPECT_EQ(Zero23(payload), left);
    EXPECT_EQ(std::vector<Frame>{Expected(2, 0, Zero23(payload))}, h.Take());
}

TEST(FrameAssembler, LengthsBelowFourTakeFourBytes)
{
    for (uint32_t length = 0; length < 4; ++length) {
        Harness h;
        const Bytes short1 = Payload(4, 3);
        const Bytes next = Payload(4, 9);
        h.Feed(Cat({Header(1, length), short1, Header(1, 4), next}));
        EXPECT_EQ((std::vector<Frame>{Expected(1, 0, short1), Expected(1, 0, next)}), h.Take()) << length;
    }
}

TEST(FrameAssembler, RejectedHeaderDropsRestOfChunk)
{
    const Bytes a = Payload(5, 1);
    const Bytes b = Payload(6, 2);
    for (const Bytes &bad : {Header(4, 5), Header(0xFF, 5), Header(1, 160001), Header(2, 0xFFFFFF)}) {
        Harness h;
        h.Feed(Cat({Header(1, 5), a, bad, Payload(5, 7), Header(1, 6), b}));
        EXPECT_EQ(std::vector<Frame>{Expected(1, 0, a)}, h.Take());
        EXPECT_EQ(0u, h.Assembler().FrameCounter());
        // The next chunk starts with a header.
        h.Feed(Cat({Header(1, 6), b}));
        EXPECT_EQ(std::vector<Frame>{Expected(1, 0, b)}, h.Take());
    }
}

TEST(FrameAssembler, LargestPayloadIsAccepted)
{
    Harness h;
    h.Feed(Cat({Header(3, 160000), Payload(100, 1)}));
    EXPECT_EQ(1u, h.Assembler().FrameCounter());
    // 160016 bytes is more than the delivery buffer: queued whole, then
    // dropped by the queue; the frame after it is delivered.
    for (int i = 0; i < 39; ++i) {
        h.Feed(Payload(4000, 3));
    }
    h.Feed(Payload(3900, 3));
    EXPECT_TRUE(h.Take().empty());
    const Bytes next = Payload(10, 4);
    h.Feed(Cat({Header(1, 10), next}));
    EXPECT_EQ(std::vector<Frame>{Expected(1, 0, next)}, h.Take());
}

TEST(FrameAssembler, EndOfOneWholeSecondAndStartOfThird)
{
    Harness h;
    const Bytes first = Payload(10, 1);
    const Bytes second = Payload(5, 2);
    const Bytes third = Payload(20, 3);
    h.Feed(Cat({Header(1, 10), Slice(first, 0, 4)}));
    EXPECT_TRUE(h.Take().empty());
    h.Feed(Cat({Slice(first, 4, 10), Header(2, 5), second, Header(3, 20), Slice(third, 0, 7)}));
    EXPECT_EQ((std::vector<Frame>{Expected(1, 0, first), Expected(2, 0, Zero23(second))}), h.Take());
    h.Feed(Slice(third, 7, 20));
    EXPECT_EQ(std::vector<Frame>{Expected(3, 1, Zero23(third))}, h.Take());
}

TEST(FrameAssembler, DatagramSequenceDecidesWhetherFrameContinues)
{
    struct Case {
        uint16_t first, second;
        bool continues;
    };
    const Case cases[] = {{7, 8, true},  {7, 7, false}, {65535, 0, true},    {0, 65535, true}, {8, 7, true},
                          {7, 9, false}, {7, 6, true},  {100, 40000, false}, {65535, 1, false}};
    // The rest of the frame starts with 9: read as a header, it is rejected.
    const Bytes payload = {1, 2, 3, 4, 9, 6, 7, 8, 9, 10};
    for (const Case &c : cases) {
        Harness h;
        h.Feed(Datagram(c.first, Cat({Header(1, 10), Slice(payload, 0, 4)})), true);
        h.Feed(Datagram(c.second, Slice(payload, 4, 10)), true);
        const std::vector<Frame> frames = h.Take();
        if (c.continues) {
            EXPECT_EQ(std::vector<Frame>{Expected(1, 0, payload)}, frames) << c.first << " -> " << c.second;
        } else {
            EXPECT_TRUE(frames.empty()) << c.first << " -> " << c.second;
        }
        EXPECT_EQ(c.second, h.Assembler().LastSeq());
        // Either way the next datagram begins at a frame boundary.
        const Bytes next = Payload(6, 5);
        h.Feed(Datagram(static_cast<uint16_t>(c.second + 1), Cat({Header(1, 6), next})), true);
        EXPECT_EQ(std::vector<Frame>{Expected(1, 0, next)}, h.Take());
    }
}

TEST(FrameAssembler, GapGivesUpHalfCollectedHeader)
{
    Harness h;
    h.Feed(Datagram(7, {1, 10}), true);
    const Bytes next = Payload(6, 5);
    h.Feed(Datagram(9, Cat({Header(1, 6), next})), true);
    EXPECT_EQ(std::vector<Frame>{Expected(1, 0, next)}, h.Take());
}

TEST(FrameAssembler, PrefixOnlyDatagramQueuesNothingButUpdatesSequence)
{
    Harness h;
    const Bytes payload = Payload(10, 1);
    h.Feed(Datagram(7, Cat({Header(1, 10), Slice(payload, 0, 4)})), true);
    h.Feed(Datagram(8, {}), true);
    EXPECT_EQ(8u, h.Assembler().LastSeq());
    EXPECT_TRUE(h.Take().empty());
    h.Feed(Datagram(9, Slice(payload, 4, 10)), true);
    EXPECT_EQ(std::vector<Frame>{Expected(1, 0, payload)}, h.Take());
}

TEST(FrameAssembler, DatagramShorterThanPrefixIsIgnored)
{
    Harness h;
    const Bytes payload = Payload(10, 1);
    h.Feed(Datagram(7, Cat({Header(2, 10), Slice(payload, 0, 4)})), true);
    h.Feed({0x00}, true);
    h.Feed({0x00, 0x01}, true);
    h.Feed({0x00, 0x01, 0x30}, true);
    EXPECT_EQ(7u, h.Assembler().LastSeq());
    EXPECT_EQ(1u, h.Assembler().FrameCounter());
    h.Feed(Datagram(8, Slice(payload, 4, 10)), true);
    EXPECT_EQ(std::vector<Frame>{Expected(2, 0, Zero23(payload))}, h.Take());

    h.Assembler().OnMediaData(nullptr, 100, false);
    uint8_t one = 0;
    h.Assembler().OnMediaData(&one, 0, false);
    EXPECT_EQ(8u, h.Assembler().LastSeq());
}

TEST(FrameAssembler, CounterAdvancesForTypesTwoAndThreeOnly)
{
    Harness h;
    const Bytes p = Payload(8, 1);
    h.Feed(Cat({Header(2, 8), p, Header(1, 8), p, Header(2, 8), p, Header(3, 8), p, Header(0, 8), p, Header(2, 8), p}));
    EXPECT_EQ((std::vector<Frame>{Expected(2, 0, Zero23(p)), Expected(1, 0, p), Expected(2, 1, Zero23(p)),
                                  Expected(3, 2, Zero23(p)), Expected(0, 0, p), Expected(2, 3, Zero23(p))}),
              h.Take());
    // A type 2 header counts even when its frame is never completed.
    h.Feed(Datagram(1, Cat({Header(2, 100), p})), true);
    h.Feed(Datagram(3, Cat({Header(2, 8), p})), true);
    EXPECT_EQ(std::vector<Frame>{Expected(2, 5, Zero23(p))}, h.Take());
    EXPECT_EQ(6u, h.Assembler().FrameCounter());
}

TEST(FrameAssembler, TypeZeroHasNoPrefixAnywhere)
{
    Harness h;
    const Bytes a = Payload(4, 1);
    const Bytes b = Payload(9, 2);
    const Bytes c = Payload(30, 3);
    h.Feed(Cat({Header(0, 4), a, Header(1, 9), b, Header(0, 30), Slice(c, 0, 11)}));
    h.Feed(Slice(c, 11, 30));
    EXPECT_EQ((std::vector<Frame>{Expected(0, 0, a), Expected(1, 0, b), Expected(0, 0, c)}), h.Take());
}

// A receive ends where the socket ran dry, not where the recorder's frames
// end: however many frames one chunk holds, all of them are cut.
TEST(FrameAssembler, EveryFrameOfAChunkIsCutHoweverMany)
{
    auto queue = std::make_unique<CFrameQueue>();
    CFrameAssembler assembler(*queue);
    Bytes chunk;
    for (uint32_t i = 0; i < 200; ++i) {
        Bytes payload(16, static_cast<uint8_t>(i));
        chunk = Cat({chunk, Header(2, 16), payload});
    }
    ASSERT_EQ(4000u, chunk.size());
    assembler.OnMediaData(chunk.data(), chunk.size(), false);
    EXPECT_EQ(200u, assembler.FrameCounter());
    // Completing the 120th waiting frame emptied the queue (nobody took any);
    // frames 120 to 199 remain.
    Bytes buf(131072);
    uint8_t type = 0;
    for (uint32_t i = 120; i < 200; ++i) {
        ASSERT_EQ(32, queue->TakeFrame(buf.data(), &type, 131072));
        EXPECT_EQ(Expected(2, i, Zero23(Bytes(16, static_cast<uint8_t>(i)))), (Frame{type, Slice(buf, 0, 32)}));
    }
    EXPECT_EQ(0, queue->TakeFrame(buf.data(), &type, 131072));
    // The next chunk is read from a frame boundary.
    const Bytes next = Payload(4, 1);
    Bytes second = Cat({Header(1, 4), next});
    assembler.OnMediaData(second.data(), second.size(), false);
    ASSERT_EQ(12, queue->TakeFrame(buf.data(), &type, 131072));
    EXPECT_EQ(Expected(1, 0, next), (Frame{type, Slice(buf, 0, 12)}));
}

// Payload bytes 2 and 3 of types 2 and 3 read as zero in whichever chunk
// they arrive: the frame does not depend on where a receive ended.
TEST(FrameAssembler, PayloadBytesTwoAndThreeZeroedInWhicheverChunkTheyCome)
{
    const Bytes payload = Payload(10, 0x40);
    Bytes zeroed = payload;
    zeroed[2] = zeroed[3] = 0;
    {
        Harness h;
        const Bytes left1 = h.Feed(Cat({Header(2, 10), Slice(payload, 0, 3)}));
        EXPECT_EQ((Bytes{payload[0], payload[1], 0}), Slice(left1, 4, 7));
        const Bytes rest = Slice(payload, 3, 10);
        const Bytes left2 = h.Feed(rest);
        EXPECT_EQ(Slice(zeroed, 3, 10), left2);
        EXPECT_EQ(std::vector<Frame>{Expected(2, 0, zeroed)}, h.Take());
    }
    {
        // Header and payload byte by byte.
        Harness h;
        const Bytes all = Cat({Header(3, 10), payload});
        for (const uint8_t b : all) {
            h.Feed(Bytes{b});
        }
        EXPECT_EQ(std::vector<Frame>{Expected(3, 0, zeroed)}, h.Take());
    }
    {
        // Types 0 and 1 are stored as received.
        Harness h;
        const Bytes chunk = Cat({Header(1, 10), payload, Header(0, 10), payload});
        EXPECT_EQ(chunk, h.Feed(chunk));
        EXPECT_EQ((std::vector<Frame>{Expected(1, 0, payload), Expected(0, 0, payload)}), h.Take());
    }
    {
        // A four-byte payload ending the chunk: bytes 2 and 3 are its last.
        Harness h;
        const Bytes chunk = Cat({Header(2, 4), Payload(4, 1)});
        const Bytes left = h.Feed(chunk);
        EXPECT_EQ((Bytes{chunk[4], chunk[5], 0, 0}), Slice(left, 4, 8));
    }
}

TEST(FrameAssembler, HostileChunksStayInBounds)
{
    std::mt19937 rng(4242);
    for (int datagram = 0; datagram < 2; ++datagram) {
        Harness h;
        for (int i = 0; i < 3000; ++i) {
            Bytes chunk(1 + rng() % (i % 10 == 0 ? 4096 : 16));
            for (uint8_t &b : chunk) {
                // Mostly small types and lengths, so that many headers pass.
                b = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : rng() % 5);
            }
            h.Feed(chunk, datagram != 0);
            if (i % 100 == 0) {
                h.Take();
            }
        }
    }
}

namespace {

struct Stream {
    Bytes bytes;
    std::vector<Frame> frames;
};

// A valid media byte stream of whole frames and the frames it must yield.
// Payload bytes 2 and 3 of types 2 and 3 are sent as 0 already, so the frames
// do not depend on where the chunks are cut.
Stream MakeStream(uint32_t seed, int frameCount, bool allowLarge, uint32_t usualLength = 300)
{
    std::mt19937 rng(seed);
    Stream stream;
    uint32_t counter = 0;
    for (int i = 0; i < frameCount; ++i) {
        const uint8_t type = static_cast<uint8_t>(rng() % 4);
        uint32_t length;
        switch (rng() % 8) {
        case 0: length = rng() % 4; break;
        case 1: length = allowLarge ? 60000 + rng() % 12000 : rng() % 40; break;
        default: length = rng() % usualLength; break;
        }
        Bytes payload(std::max<uint32_t>(length, 4));
        for (uint8_t &b : payload) {
            b = static_cast<uint8_t>(rng());
        }
        if (type >= 2) {
            payload = Zero23(payload);
        }
        stream.bytes = Cat({stream.bytes, Header(type, length), payload});
        stream.frames.push_back(Expected(type, type >= 2 ? counter++ : 0, payload));
    }
    return stream;
}

std::vector<Frame> Reassemble(const Stream &stream, const std::vector<size_t> &cuts, bool datagram)
{
    static Harness shared;
    Harness &h = shared;
    h.Restart();
    uint16_t seq = 65530;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : stream.bytes.size();
        if (to > from) {
            const Bytes piece = Slice(stream.bytes, from, to);
            h.Feed(datagram ? Datagram(seq++, piece) : piece, datagram);
        }
        from = to;
    }
    return h.Take();
}

}  // namespace

TEST(FrameAssembler, AnySplitYieldsSameFrames)
{
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        const Stream stream = MakeStream(seed, 60, seed % 2 == 0);
        std::mt19937 rng(seed * 7919);
        for (int pattern = 0; pattern < 60; ++pattern) {
            // Chunks of 1-900 bytes: at most 113 frames end in one chunk, so
            // the slot ring never overflows.
            std::vector<size_t> cuts;
            const size_t small = 1 + pattern % 12;
            for (size_t at = 0;;) {
                at += 1 + (rng() % 2 == 0 ? rng() % small : rng() % 900);
                if (at >= stream.bytes.size()) {
                    break;
                }
                cuts.push_back(at);
            }
            const bool datagram = pattern % 3 == 0;
            ASSERT_EQ(stream.frames, Reassemble(stream, cuts, datagram))
                << "seed " << seed << " pattern " << pattern << (datagram ? " datagrams" : "");
        }
    }
}

TEST(FrameAssembler, EveryTwoAndThreeWaySplitYieldsSameFrames)
{
    const Stream stream = MakeStream(99, 6, false);
    for (size_t a = 1; a < stream.bytes.size(); ++a) {
        ASSERT_EQ(stream.frames, Reassemble(stream, {a}, false)) << "cut " << a;
        ASSERT_EQ(stream.frames, Reassemble(stream, {a}, true)) << "datagram cut " << a;
    }
    const Stream small = MakeStream(5, 8, false, 12);
    ASSERT_LT(small.bytes.size(), 200u);
    for (size_t a = 1; a < small.bytes.size(); ++a) {
        for (size_t b = a + 1; b < small.bytes.size(); ++b) {
            ASSERT_EQ(small.frames, Reassemble(small, {a, b}, false)) << "cuts " << a << ", " << b;
        }
    }
}
