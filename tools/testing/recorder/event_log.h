// One line per event on stderr, with the wall-clock time in front.
#pragma once

namespace kn::recorder {

void LogEvent(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kn::recorder
