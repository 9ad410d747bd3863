// kestrel built without GStreamer: MP4 output is refused with a reason.
#include "tools/mp4/mp4_file.h"

namespace kn::mp4 {

struct CMp4File::State {};

bool Available() { return false; }

CMp4File::CMp4File() = default;
CMp4File::~CMp4File() = default;

bool CMp4File::Open(const std::string &, std::string &message)
{
    message = "this kestrel was built without GStreamer, so it cannot write MP4 (install "
              "libgstreamer1.0-dev and libgstreamer-plugins-base1.0-dev and configure again)";
    return false;
}

bool CMp4File::Write(const uint8_t *, size_t) { return false; }
bool CMp4File::Close(std::string &) { return true; }
long CMp4File::Frames() const { return 0; }
long CMp4File::Skipped() const { return 0; }

}  // namespace kn::mp4
