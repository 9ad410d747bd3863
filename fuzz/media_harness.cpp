#include "fuzz/media_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/media_reference.h"
#include "net/messages.h"
#include "stream/frame_assembler.h"
#include "stream/frame_queue.h"
#include "stream/media_framer.h"

namespace kn::fuzz {

namespace {

struct Delivered {
    uint8_t type;
    Bytes bytes;
};

[[noreturn]] void Fail(const char *what, size_t index)
{
    std::fprintf(stderr, "media invariant broken: %s (delivered frame %zu)\n", what, index);
    std::abort();
}

// Keeps each reply as the stream is handed it.
bool RecordReply(void *context, const net::ControlReply &reply)
{
    static_cast<std::vector<net::ControlReply> *>(context)->push_back(reply);
    return true;
}

}  // namespace

void RunMedia(const uint8_t *data, size_t size, bool datagram)
{
    if (size == 0) {
        return;
    }
    const size_t count = data[0] % 16;
    size_t at = 1;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count && at + 1 < size; ++i, at += 2) {
        const size_t s = (data[at] | static_cast<size_t>(data[at + 1]) << 8) % 4096;
        sizes.push_back(s == 0 ? 1 : s);
    }
    if (sizes.empty()) {
        sizes.push_back(4096);
    }

    // One queue for the process: it is large, and a fresh one per input
    // would cost more than the input itself.
    static CFrameQueue *queue = new CFrameQueue();
    queue->Reset();
    CFrameAssembler assembler(*queue);
    std::vector<net::ControlReply> replies;
    CMediaFramer framer(assembler, &RecordReply, &replies);
    CMediaReference reference;
    std::vector<Delivered> delivered;
    static std::vector<uint8_t> out(CFrameQueue::kBufferSize);

    for (size_t k = 0; at < size; ++k) {
        const size_t n = std::min(sizes[k % sizes.size()], size - at);
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[n]);
        std::memcpy(chunk.get(), data + at, n);
        reference.Feed(data + at, n, datagram);
        framer.OnReceive(chunk.get(), n, datagram);
        at += n;
        // The consumer takes everything after each chunk.
        for (;;) {
            uint8_t type = 0xEE;
            const int32_t got = queue->TakeFrame(out.data(), &type, static_cast<uint32_t>(out.size()));
            if (got <= 0) {
                break;
            }
            delivered.push_back({type, Bytes(out.begin(), out.begin() + got)});
        }
    }

    // Every control reply is handed over once, in order, read from its first
    // bytes, with its whole length.
    std::vector<net::ControlReply> expectedReplies;
    for (size_t i = 0; i < reference.Replies().size(); ++i) {
        const Bytes &head = reference.Replies()[i];
        expectedReplies.push_back(net::ReadControlReply(head.data(), head.size()));
        expectedReplies.back().length = reference.ReplyLengths()[i];
    }
    if (replies != expectedReplies) {
        std::fprintf(stderr, "media invariant broken: %zu control replies, %zu expected\n", replies.size(),
                     reference.Replies().size());
        std::abort();
    }
    // Every delivered frame is one the reference expects, whole, in order;
    // frames may be missing (the queue gives up old ones), never altered.
    const auto &expected = reference.Frames();
    size_t j = 0;
    for (size_t i = 0; i < delivered.size(); ++i) {
        const Delivered &d = delivered[i];
        if (d.type > 3) {
            Fail("frame type above 3", i);
        }
        while (j < expected.size() && (expected[j].abandoned || expected[j].have != expected[j].total ||
                                       expected[j].type != d.type || expected[j].bytes != d.bytes)) {
            ++j;
        }
        if (j == expected.size()) {
            Fail("a frame the byte stream does not hold, or out of order", i);
        }
        ++j;
    }
}

}  // namespace kn::fuzz
