// What a stream connection receives, cut into control replies and media
// whatever the receives: the opening exchange of every stream kind (control
// reply, then frames in the same byte stream) cut at every byte position and
// fed in receives of 1, 7 and 4096 bytes gives the reply once and every frame
// whole and in order.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/reply_joiner.h"
#include "stream/frame_assembler.h"
#include "stream/frame_queue.h"
#include "stream/media_framer.h"

using kn::CFrameAssembler;
using kn::CFrameQueue;
using kn::CMediaFramer;

namespace {

using Bytes = std::vector<uint8_t>;

struct Frame {
    uint8_t type;
    Bytes bytes;
    bool operator==(const Frame &o) const { return type == o.type && bytes == o.bytes; }
};

void PutLe32(Bytes &to, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        to.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

Bytes Reply(uint8_t code, const Bytes &payload)
{
    Bytes r = {'S', 'D', 'V', 'R', 0x0A, 0x0B, 0x0C, 0x0D};
    const size_t field = payload.size() + 1;
    r.push_back(static_cast<uint8_t>(field));
    r.push_back(static_cast<uint8_t>(field >> 8));
    r.push_back(code);
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
}

// A media byte stream of frames of every type, one larger than a 4096-byte
// receive, and payloads that hold the packet magic (which inside a frame is
// only payload), with the frames the host must receive for it.
struct Media {
    Bytes wire;
    std::vector<Frame> frames;
};

Media MakeMedia()
{
    Media m;
    const struct {
        uint8_t type;
        size_t length;
    } shape[] = {{2, 600}, {1, 9}, {3, 4500}, {0, 30}, {2, 4}, {2, 1200}, {1, 4}, {3, 50}};
    uint32_t counter = 0;
    uint8_t seed = 1;
    for (const auto &s : shape) {
        Bytes payload(s.length);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(seed * 31 + i * 7);
        }
        // "SDVR" at the start of a payload and at an odd place inside it.
        std::memcpy(payload.data(), "SDVR", 4);
        if (payload.size() > 20) {
            std::memcpy(payload.data() + 13, "SDVR", 4);
        }
        ++seed;
        m.wire.insert(m.wire.end(), {s.type, static_cast<uint8_t>(s.length), static_cast<uint8_t>(s.length >> 8),
                                     static_cast<uint8_t>(s.length >> 16)});
        m.wire.insert(m.wire.end(), payload.begin(), payload.end());
        Frame f{s.type, {}};
        if (s.type == 1) {
            f.bytes = {'0', '0', 'd', 'b'};
            PutLe32(f.bytes, static_cast<uint32_t>(s.length));
        } else if (s.type >= 2) {
            f.bytes = {'0', '0', 'd', 'c'};
            PutLe32(f.bytes, 25);
            PutLe32(f.bytes, counter++);
            PutLe32(f.bytes, static_cast<uint32_t>(s.length));
            payload[2] = 0;
            payload[3] = 0;
        }
        f.bytes.insert(f.bytes.end(), payload.begin(), payload.end());
        m.frames.push_back(std::move(f));
    }
    return m;
}

// A stream's receive side without a socket: framer, reassembly and queue,
// with the replies it hands over recorded.
class CReceiveSide {
public:
    explicit CReceiveSide(CFrameQueue &queue)
        : m_Queue(queue), m_Assembler(queue), m_Framer(m_Assembler, &OnReply, this)
    {
        m_Queue.Reset();
    }

    void Receive(const Bytes &all, size_t from, size_t to, size_t size, bool datagram = false)
    {
        for (size_t at = from; at < to;) {
            const size_t n = std::min(size, to - at);
            // Each receive in a block of its own size, so a read past it is caught.
            std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
            std::memcpy(chunk.get(), all.data() + at, n);
            m_Framer.OnReceive(chunk.get(), n, datagram);
            at += n;
        }
    }

    std::vector<Frame> Take()
    {
        std::vector<Frame> out;
        Bytes buf(131072);
        uint8_t type = 0;
        for (int32_t n; (n = m_Queue.TakeFrame(buf.data(), &type, static_cast<uint32_t>(buf.size()))) > 0;) {
            out.push_back({type, Bytes(buf.begin(), buf.begin() + n)});
        }
        return out;
    }

    std::vector<kn::net::ControlReply> replies;
    size_t framesBeforeFirstReply = 0;
    CMediaFramer &Framer() { return m_Framer; }
    CFrameAssembler &Assembler() { return m_Assembler; }
    bool moveOnReply = false;  // the handler says the stream moved

private:
    static bool OnReply(void *context, const kn::net::ControlReply &reply)
    {
        auto *self = static_cast<CReceiveSide *>(context);
        if (self->replies.empty()) {
            self->framesBeforeFirstReply = self->m_Assembler.FrameCounter();
        }
        self->replies.push_back(reply);
        return !self->moveOnReply;
    }

    CFrameQueue &m_Queue;
    CFrameAssembler m_Assembler;
    CMediaFramer m_Framer;
};

// What the stream is handed for a whole reply: the codec's reading of it.
kn::net::ControlReply Read(const Bytes &reply) { return kn::net::ReadControlReply(reply.data(), reply.size()); }

}  // namespace

TEST(MediaFramer, OpeningExchangeOfEveryKindCutAnywhereGivesEveryFrameWholeAndInOrder)
{
    const Media media = MakeMedia();
    ASSERT_GT(media.wire.size(), 4096u);
    const struct {
        const char *kind;
        Bytes reply;
    } openings[] = {
        {"live", Reply(';', {0, 0, 0, 0, 0, 0, 0})},
        {"playback", Reply('K', {0x11, 0x22, 0x33, 0x44})},
        {"download", Reply('S', {})},
        // A reply longer than the bytes a stream reads of it: its declared
        // length still says where the media begins.
        {"long reply", Reply('K', Bytes(300, 'S'))},
    };
    auto queue = std::make_unique<CFrameQueue>();
    for (const auto &o : openings) {
        Bytes wire = o.reply;
        wire.insert(wire.end(), media.wire.begin(), media.wire.end());
        for (const size_t size : {size_t{1}, size_t{7}, size_t{4096}}) {
            // Receives of one byte are cut everywhere already.
            const size_t lastCut = size == 1 ? 0 : wire.size();
            for (size_t cut = 0; cut <= lastCut; ++cut) {
                CReceiveSide side(*queue);
                side.Receive(wire, 0, cut, size);
                side.Receive(wire, cut, wire.size(), size);
                ASSERT_EQ(1u, side.replies.size()) << o.kind << ", cut " << cut << ", receives of " << size;
                ASSERT_EQ(Read(o.reply), side.replies[0]) << o.kind << ", cut " << cut;
                ASSERT_EQ(0u, side.framesBeforeFirstReply);
                ASSERT_EQ(media.frames, side.Take()) << o.kind << ", cut " << cut << ", receives of " << size;
            }
        }
    }
}

TEST(MediaFramer, RepliesBetweenFramesAndBackToBackAreEachFramedByTheirLength)
{
    const Media media = MakeMedia();
    const Bytes first = Reply('S', {});
    const Bytes second = Reply('K', {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    Bytes wire = first;
    wire.insert(wire.end(), second.begin(), second.end());
    const size_t half = 4 + 600 + 4 + 9;  // after the first two frames
    wire.insert(wire.end(), media.wire.begin(), media.wire.begin() + static_cast<long>(half));
    wire.insert(wire.end(), first.begin(), first.end());
    wire.insert(wire.end(), media.wire.begin() + static_cast<long>(half), media.wire.end());
    auto queue = std::make_unique<CFrameQueue>();
    for (const size_t size : {size_t{1}, size_t{7}, size_t{4096}}) {
        CReceiveSide side(*queue);
        side.Receive(wire, 0, wire.size(), size);
        ASSERT_EQ((std::vector<kn::net::ControlReply>{Read(first), Read(second), Read(first)}), side.replies)
            << "receives of " << size;
        EXPECT_EQ(media.frames, side.Take()) << "receives of " << size;
    }
}

// Fault 2 at its root: a new connection starts reassembly afresh, while the
// frame counter goes on.
TEST(MediaFramer, NewConnectionGivesUpTheOldHalfFrameAndReplyButKeepsTheCounter)
{
    const Media media = MakeMedia();
    auto queue = std::make_unique<CFrameQueue>();
    for (const bool datagram : {false, true}) {
        SCOPED_TRACE(datagram ? "datagrams" : "tcp");
        CReceiveSide side(*queue);
        Bytes old = Reply(';', {0, 0, 0, 0, 0, 0, 0});
        // Two frames whole, then part of the third (a type 3 frame, so the
        // counter has moved on to 2).
        const size_t cut = 4 + 600 + 4 + 9 + 4 + 2000;
        Bytes oldMedia(media.wire.begin(), media.wire.begin() + static_cast<long>(cut));
        if (datagram) {
            side.Receive(old, 0, old.size(), old.size(), true);
            Bytes d = {0, 0, 7, 0};
            d.insert(d.end(), oldMedia.begin(), oldMedia.end());
            side.Receive(d, 0, d.size(), d.size(), true);
        } else {
            old.insert(old.end(), oldMedia.begin(), oldMedia.end());
            side.Receive(old, 0, old.size(), 4096);
        }
        EXPECT_EQ(2u, side.Assembler().FrameCounter());
        side.Framer().NewConnection();
        EXPECT_TRUE(side.Assembler().AtFrameBoundary());
        EXPECT_EQ(0u, side.Assembler().LastSeq());

        // The new connection: its reply, then a type 2 frame.
        const Bytes payload(40, 0x5A);
        Bytes frame = {2, 40, 0, 0};
        frame.insert(frame.end(), payload.begin(), payload.end());
        const Bytes reply = Reply(';', {0, 0, 0, 0, 0, 0, 0});
        if (datagram) {
            side.Receive(reply, 0, reply.size(), reply.size(), true);
            Bytes d = {0, 0, 1, 0};  // a fresh sequence: not a gap after the old 7
            d.insert(d.end(), frame.begin(), frame.end());
            side.Receive(d, 0, d.size(), d.size(), true);
        } else {
            Bytes wire = reply;
            wire.insert(wire.end(), frame.begin(), frame.end());
            side.Receive(wire, 0, wire.size(), 4096);
        }
        Frame expected{2, {'0', '0', 'd', 'c'}};
        PutLe32(expected.bytes, 25);
        PutLe32(expected.bytes, 2);
        PutLe32(expected.bytes, 40);
        Bytes body = payload;
        body[2] = body[3] = 0;
        expected.bytes.insert(expected.bytes.end(), body.begin(), body.end());
        EXPECT_EQ((std::vector<Frame>{media.frames[0], media.frames[1], expected}), side.Take());
        EXPECT_EQ(2u, side.replies.size());
    }
}

// Hostile bytes: what begins like a reply but is none, a reply that declares
// a length of 0 or far more than is sent, and a reply that moves the stream.
TEST(MediaFramer, BytesThatAreNeitherMediaNorAReplyAreDroppedAndNothingMore)
{
    const Media media = MakeMedia();
    auto queue = std::make_unique<CFrameQueue>();
    {
        // "SDXR" at a frame boundary: the rest of that receive is dropped, the
        // next receive starts at a frame boundary.
        CReceiveSide side(*queue);
        Bytes bad = {'S', 'D', 'X', 'R', 2, 4, 0, 0, 1, 2, 3, 4};
        side.Receive(bad, 0, bad.size(), bad.size());
        side.Receive(media.wire, 0, media.wire.size(), 4096);
        EXPECT_TRUE(side.replies.empty());
        EXPECT_EQ(media.frames, side.Take());
    }
    {
        // A length field of 0 is a reply of its header alone.
        CReceiveSide side(*queue);
        Bytes wire = {'S', 'D', 'V', 'R', 1, 2, 3, 4, 0, 0, 'S'};
        wire.insert(wire.end(), media.wire.begin(), media.wire.end());
        side.Receive(wire, 0, wire.size(), 7);
        ASSERT_EQ(1u, side.replies.size());
        EXPECT_EQ(11u, side.replies[0].length);
        EXPECT_EQ(media.frames, side.Take());
    }
    {
        // A reply that declares 65535: everything up to its end is the reply.
        CReceiveSide side(*queue);
        Bytes wire = {'S', 'D', 'V', 'R', 1, 2, 3, 4, 0xFF, 0xFF, 'S'};
        wire.resize(10 + 65535, 0x33);
        wire.insert(wire.end(), media.wire.begin(), media.wire.end());
        side.Receive(wire, 0, wire.size() - 1, 4096);
        EXPECT_EQ(1u, side.replies.size());
        EXPECT_EQ(media.frames.size() - 1, side.Take().size());
    }
    {
        // A reply after which the stream moved: the rest of that receive came
        // from the old connection and is dropped.
        CReceiveSide side(*queue);
        side.moveOnReply = true;
        Bytes wire = Reply(';', {0, 239, 1, 2, 3, 0x12, 0x34});
        wire.insert(wire.end(), media.wire.begin(), media.wire.end());
        side.Receive(wire, 0, wire.size(), wire.size());
        EXPECT_EQ(1u, side.replies.size());
        EXPECT_TRUE(side.Take().empty());
        EXPECT_TRUE(side.Assembler().AtFrameBoundary());
    }
}
