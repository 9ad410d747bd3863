#include "net/reply_codes.h"

#include <gtest/gtest.h>

#include <climits>

#include "core/release.h"

namespace kn::net {
namespace {

TEST(ReplyCodes, TableSizeMatchesRelease)
{
    EXPECT_EQ(ReplyTableSize(), kRelease1001 ? 53 : 57);
    int counted = 0;
    for (int code = 0; code < 256; ++code) {
        counted += ReplyCodeFor(code) != 0 ? 1 : 0;
    }
    EXPECT_EQ(counted, ReplyTableSize());
}

TEST(ReplyCodes, RepliesThatDifferFromTheRequest)
{
    const int pairs[][2] = {{33, 34}, {35, 37}, {49, 51}, {53, 55}, {57, 59}, {61, 63}, {73, 75}, {76, 77}, {87, 89}};
    for (const auto &p : pairs) {
        EXPECT_EQ(ReplyCodeFor(p[0]), p[1]) << p[0];
    }
}

TEST(ReplyCodes, RepliesEqualToTheRequest)
{
    for (int code : {42, 43, 93, 117, 118, 119, 120, 123, 124, 127, 142, 143, 145, 231, 232}) {
        EXPECT_EQ(ReplyCodeFor(code), code) << code;
    }
    for (int code = 97; code <= 114; ++code) {
        EXPECT_EQ(ReplyCodeFor(code), code) << code;
    }
    for (int code = 129; code <= 139; ++code) {
        EXPECT_EQ(ReplyCodeFor(code), code) << code;
    }
}

TEST(ReplyCodes, EntriesAddedAfterTheFirstRelease)
{
    EXPECT_EQ(ReplyCodeFor(163), kRelease1001 ? 0 : 166);
    EXPECT_EQ(ReplyCodeFor(164), kRelease1001 ? 0 : 166);
    EXPECT_EQ(ReplyCodeFor(170), kRelease1001 ? 0 : 170);
    EXPECT_EQ(ReplyCodeFor(173), kRelease1001 ? 0 : 173);
}

TEST(ReplyCodes, UnlistedCodesAreRefused)
{
    for (int32_t code : {0, 32, 56, 69, 96, 115, 200, 233, 255, 256, 305, 256 + 49, -1, -207, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(ReplyCodeFor(code), 0) << code;
    }
}

}  // namespace
}  // namespace kn::net
