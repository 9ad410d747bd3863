#include "api/decoder_header.h"

namespace kn {
namespace {

// Little-endian fields: magic, block size 64, codec tag "264", 25 frames a
// second, constant 1, 352 x 288, constant 2, 28 reserved zero bytes.
alignas(8) const uint8_t g_DecoderHeader[kDecoderHeaderSize] = {
    'K',  'R',  'V', 'I', 'D', 'H', 'D', 'R', 64, 0, 0,    0,    '2', '6',
    '4',  0,    25,  0,   0,   0,   1,   0,   0,  0, 0x60, 0x01, 0,   0,  // 352
    0x20, 0x01, 0,   0,                                                   // 288
    2,    0,    0,   0,
};

}  // namespace

const uint8_t *DecoderHeader() { return g_DecoderHeader; }

}  // namespace kn
