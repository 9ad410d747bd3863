// Media datagrams of a UDP stream connection: sequence numbers, gaps,
// repeats and datagrams shorter than their prefix.
#include "fuzz/media_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kn::fuzz::RunMedia(data, size, true);
    return 0;
}
