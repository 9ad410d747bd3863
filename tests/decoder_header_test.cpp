#include <gtest/gtest.h>

#include <cstring>

#include "api/decoder_header.h"

TEST(DecoderHeader, BytesAsTabled)
{
    const uint8_t expected[64] = {0x4B, 0x52, 0x56, 0x49, 0x44, 0x48, 0x44, 0x52, 0x40, 0, 0, 0,
                                  0x32, 0x36, 0x34, 0,    0x19, 0,    0,    0,    1,    0, 0, 0,
                                  0x60, 1,    0,    0,    0x20, 1,    0,    0,    2,    0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, kn::DecoderHeader(), 64));
    EXPECT_EQ(kn::DecoderHeader(), kn::DecoderHeader());
}
