// GStreamer, started once per process for the MP4 writer and the frame
// rate reader.
#pragma once

#include <string>

typedef struct _GstMessage GstMessage;

namespace kn::mp4 {

// Starts GStreamer the first time; false with a message when it did not.
bool StartGstreamer(std::string &message);

// The text of an error message from a bus.
std::string ErrorText(GstMessage *error);

}  // namespace kn::mp4
