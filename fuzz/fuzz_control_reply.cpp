// Chunks received on a stream connection: control replies (a chunk that
// begins with "SDVR") of any length and code, and media for everything else,
// handed to one stream's receive-side handling. The stream id stored from a
// 'K' reply must be its bytes 11-14, with bytes the chunk did not carry
// read as zero, never as bytes beyond the chunk. The codec's reading of the
// chunk as a control reply announces a group only from a whole ';' reply
// whose address is a group address.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "net/messages.h"
#include "stream/dvr_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One stream for the process, with no connection: its threads idle, and
    // are stopped at exit so that nothing is left to report as a leak.
    static std::shared_ptr<kn::CDvrStream> *holder = [] {
        auto *h = new std::shared_ptr<kn::CDvrStream>(
            kn::CDvrStream::Create({1, 2, 3, 4}, kn::CDvrStream::kPlayBack, 0x0100007F, 9));
        std::atexit([] {
            (*holder)->Destroy();
            delete holder;
        });
        return h;
    }();
    kn::CDvrStream *const stream = holder->get();
    if (size == 0) {
        return 0;
    }
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[size]);
    std::memcpy(chunk.get(), data, size);
    // A multicast announcement would make the stream bind the announced port
    // on this machine; the fuzzer keeps to unicast ones.
    if (size > 12 && std::memcmp(data, "SDVR", 4) == 0 && data[10] == ';') {
        chunk[12] &= 0x7F;
    }
    const bool streamIdReply = size >= 11 && std::memcmp(data, "SDVR", 4) == 0 && data[10] == 'K';
    const kn::net::ControlReply read = kn::net::ReadControlReply(data, size);
    if (read.announcesGroup && (size < kn::net::kControlReplyHead || read.code != ';' || (data[12] & 0xF0) != 0xE0 ||
                                std::memcmp(&read.groupNetOrder, data + 12, 4) != 0)) {
        std::fprintf(stderr, "a group announced from a reply that names none\n");
        std::abort();
    }
    const kn::net::StreamId before = stream->StreamId();
    stream->HandleChunk(chunk.get(), size);
    const kn::net::StreamId after = stream->StreamId();
    if (streamIdReply) {
        for (size_t i = 0; i < 4; ++i) {
            const uint8_t expected = 11 + i < size ? data[11 + i] : 0;
            if (after[i] != expected) {
                std::fprintf(stderr, "stream id byte %zu is %u, not %u\n", i, after[i], expected);
                std::abort();
            }
        }
    } else if (after != before) {
        std::fprintf(stderr, "a chunk that is no 'K' reply changed the stream id\n");
        std::abort();
    }
    return 0;
}
