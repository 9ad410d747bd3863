// The frame queue driven directly: frames of arbitrary sizes begun, appended
// and taken in an arbitrary interleaving (the consumer's timing), with
// refused arguments mixed in. Every frame taken must be one that was
// completed, whole, holding exactly its own bytes, in the order completed.
//
// Input: a sequence of operations, one selector byte each, followed by the
// bytes that operation reads. Sizes come as a magnitude byte and a value, so
// that small frames are common and the largest still reachable.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/frame_queue.h"

namespace {

using kn::CFrameQueue;

struct Reader {
    const uint8_t *p;
    size_t n;
    size_t at = 0;
    bool More() const { return at < n; }
    uint32_t Take(int bytes)
    {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v |= static_cast<uint32_t>(at < n ? p[at] : 0) << (8 * i);
            ++at;
        }
        return v;
    }
};

// Byte k of frame id: anything that tells frames and positions apart.
uint8_t PatternByte(uint32_t id, uint32_t k) { return static_cast<uint8_t>(id * 131u + k * 7u + (k >> 8) + (id >> 8)); }

struct Frame {
    uint32_t id;
    uint8_t type;
    int32_t total;
};

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "frame queue invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static CFrameQueue *queue = new CFrameQueue();
    static std::vector<uint8_t> source(CFrameQueue::kBufferSize + 16);
    static std::vector<uint8_t> out(CFrameQueue::kBufferSize + 16);
    queue->Reset();

    Reader in{data, size};
    uint32_t nextId = 0;
    bool partial = false;
    Frame current{};
    int32_t have = 0;
    std::vector<Frame> completed;  // in completion order
    size_t matched = 0;            // completed frames already passed by the consumer

    auto fill = [&](uint32_t id, int32_t from, int32_t count) {
        for (int32_t k = 0; k < count; ++k) {
            source[static_cast<size_t>(k)] = PatternByte(id, static_cast<uint32_t>(from + k));
        }
    };

    while (in.More()) {
        switch (in.Take(1) % 4) {
        case 0: {  // begin a frame
            const uint8_t type = static_cast<uint8_t>(in.Take(1) % 5);
            // Totals of every magnitude up to the whole region and just past
            // it, small ones most often; 0 and -1 are refused values.
            const uint32_t scale = in.Take(1) % 21;
            const uint32_t raw = in.Take(3);
            const uint32_t value = scale == 20 ? raw % (CFrameQueue::kBufferSize + 3) : raw & ((1u << scale) - 1);
            const int32_t total = static_cast<int32_t>(value) - 1;
            const int32_t fragment =
                total > 0 ? static_cast<int32_t>(in.Take(3) % static_cast<uint32_t>(total + 2)) : 0;
            const uint32_t id = nextId++;
            if (fragment > 0 && fragment <= static_cast<int32_t>(source.size())) {
                fill(id, 0, fragment);
            }
            const bool ok = queue->BeginFrame(source.data(), type, fragment, total);
            const bool valid = total >= 1 && total <= CFrameQueue::kBufferSize && fragment >= 0 && fragment <= total;
            if (ok != valid) {
                Fail("BeginFrame accepted what it must refuse, or the reverse");
            }
            partial = false;
            if (ok && fragment == total) {
                completed.push_back({id, type, total});
            } else if (ok) {
                partial = true;
                current = {id, type, total};
                have = fragment;
            }
            break;
        }
        case 1: {  // append to the partial frame
            const uint32_t scale = in.Take(1) % 19;
            const int32_t want = static_cast<int32_t>(in.Take(3) & ((1u << scale) - 1)) + 1;
            const bool sameType = in.Take(1) % 8 != 0;
            if (!partial) {
                if (queue->AppendFrame(source.data(), 0, want)) {
                    // Nothing is partial: every append must be refused...
                    Fail("AppendFrame accepted without a partial frame");
                }
                break;
            }
            const int32_t count = want;
            fill(current.id, have, count);
            const uint8_t type = sameType ? current.type : static_cast<uint8_t>(current.type + 1);
            const bool ok = queue->AppendFrame(source.data(), type, count);
            if (ok && sameType && count <= current.total - have) {
                have += count;
                if (have == current.total) {
                    completed.push_back(current);
                    partial = false;
                }
            }
            break;
        }
        case 2: {  // the consumer takes one frame
            const uint32_t capacity = in.Take(3) % (CFrameQueue::kBufferSize + 2);
            uint8_t type = 0xEE;
            const int32_t got = queue->TakeFrame(out.data(), &type, capacity);
            if (got < 0 || static_cast<uint32_t>(got) > capacity) {
                Fail("TakeFrame returned more than the capacity");
            }
            if (got == 0) {
                break;  // nothing waiting, or a frame too large for the capacity: dropped
            }
            // The frame must be a completed one after the last one taken.
            // Frames before it were given up; a frame with other bytes than
            // its own matches none.
            bool found = false;
            while (matched < completed.size() && !found) {
                const Frame &f = completed[matched++];
                if (f.total != got || f.type != type) {
                    continue;
                }
                found = true;
                for (int32_t k = 0; k < got && found; ++k) {
                    found = out[static_cast<size_t>(k)] == PatternByte(f.id, static_cast<uint32_t>(k));
                }
            }
            if (!found) {
                Fail("a taken frame that is not a completed frame's own bytes, or out of order");
            }
            break;
        }
        case 3:  // the producer empties the queue
            if (in.Take(1) % 16 == 0) {
                queue->Reset();
                partial = false;
                matched = completed.size();
            }
            break;
        }
    }
    return 0;
}
