// `kestrel gateway`: serves a recorder's channels over RTSP. Built into
// kestrel when GStreamer's RTSP server library is found; otherwise the
// command only says so.
#pragma once

namespace kn::gateway {

// argv[0] is "gateway"; returns the exit status.
int RunGateway(int argc, char **argv);

}  // namespace kn::gateway
