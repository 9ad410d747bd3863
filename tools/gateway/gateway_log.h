// The gateway's log: one line per event on stderr, with a UTC time stamp.
#pragma once

namespace kn::gateway {

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kn::gateway
