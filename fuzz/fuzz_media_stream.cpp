// The media byte stream of a TCP stream connection, cut into arbitrary
// receives: reassembly into frames and the frame queue behind it.
#include "fuzz/media_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kn::fuzz::RunMedia(data, size, false);
    return 0;
}
