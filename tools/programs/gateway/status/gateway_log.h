// The gateway's log: one line per event on stderr, with a UTC time stamp.
#pragma once

#include <string>

namespace kn::gateway {

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
// One line of any length (a JSON document), with the same time stamp.
void LogText(const std::string &text);

}  // namespace kn::gateway
