#include "net/reply_codes.h"

#include <array>
#include <cstddef>

#include "core/release.h"

namespace kn::net {

namespace {

constexpr int kFirstCode = 33;
constexpr int kLastCode = 232;

constexpr std::array<uint8_t, 256> MakeTable()
{
    std::array<uint8_t, 256> t{};
    // Requests answered by a different code.
    t[33] = 34;
    t[35] = 37;
    t[49] = 51;
    t[53] = 55;
    t[57] = 59;
    t[61] = 63;
    t[73] = 75;
    t[76] = 77;
    t[87] = 89;
    // Requests answered by their own code.
    for (int c : {42, 43, 93, 117, 118, 119, 120, 123, 124, 127, 142, 143, 145, 231, 232}) {
        t[c] = static_cast<uint8_t>(c);
    }
    for (int c = 97; c <= 114; ++c) {
        t[c] = static_cast<uint8_t>(c);
    }
    for (int c = 129; c <= 139; ++c) {
        t[c] = static_cast<uint8_t>(c);
    }
    // Added after release 1.0.0.1.
    if (release::kHasLaterReplyCodes) {
        t[163] = 166;
        t[164] = 166;
        t[170] = 170;
        t[173] = 173;
    }
    return t;
}

constexpr std::array<uint8_t, 256> kReplyTable = MakeTable();

constexpr int CountEntries()
{
    int n = 0;
    for (uint8_t reply : kReplyTable) {
        n += reply != 0 ? 1 : 0;
    }
    return n;
}

static_assert(CountEntries() == (release::kHasLaterReplyCodes ? 57 : 53), "reply code table size");

}  // namespace

uint8_t ReplyCodeFor(int32_t requestCode)
{
    if (requestCode < kFirstCode || requestCode > kLastCode) {
        return 0;
    }
    return kReplyTable[static_cast<std::size_t>(requestCode)];
}

int ReplyTableSize() { return CountEntries(); }

}  // namespace kn::net
