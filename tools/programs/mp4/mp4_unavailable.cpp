// kestrel built without GStreamer: MP4 output is refused with a reason, and
// no stream's declared frame rate can be read (recordings are timed by the
// rate the user gives).
#include "tools/programs/mp4/mp4_file.h"

namespace kn::mp4 {

struct CMp4File::State {};

bool Available() { return false; }

FrameRate DeclaredFrameRate(const uint8_t *, size_t) { return {}; }

CMp4File::CMp4File() = default;
CMp4File::~CMp4File() = default;

bool CMp4File::Open(const std::string &, std::string &message, Mp4Timing)
{
    message = "this kestrel was built without GStreamer, so it cannot write MP4 (install "
              "libgstreamer1.0-dev and libgstreamer-plugins-base1.0-dev and configure again)";
    return false;
}

bool CMp4File::OpenStream(Output, std::string &message, Mp4Timing timing, size_t) { return Open("", message, timing); }

void CMp4File::SetAbort(std::function<bool()>) {}
bool CMp4File::Write(const uint8_t *, size_t) { return false; }
bool CMp4File::Close(std::string &) { return true; }
long CMp4File::Frames() const { return 0; }
long CMp4File::Skipped() const { return 0; }
FrameRate CMp4File::Rate() const { return {}; }
std::string CMp4File::Failure() const { return ""; }

}  // namespace kn::mp4
