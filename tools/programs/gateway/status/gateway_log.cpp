#include "tools/programs/gateway/status/gateway_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace kn::gateway {

namespace {

// "2026-12-09T05:00:00.123Z gateway: ", the start of every line.
int Stamp(char *line, size_t size)
{
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    std::tm utc{};
    ::gmtime_r(&tv.tv_sec, &utc);
    int n = static_cast<int>(std::strftime(line, size, "%Y-%m-%dT%H:%M:%S", &utc));
    n +=
        std::snprintf(line + n, size - static_cast<size_t>(n), ".%03dZ gateway: ", static_cast<int>(tv.tv_usec / 1000));
    return n;
}

}  // namespace

void LogText(const std::string &text)
{
    char stamp[64];
    Stamp(stamp, sizeof stamp);
    std::fprintf(stderr, "%s%s\n", stamp, text.c_str());
    std::fflush(stderr);
}

void Log(const char *format, ...)
{
    char line[1024];
    const int n = Stamp(line, sizeof line);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, args);
    va_end(args);
    // One write per line, so lines from different threads never interleave.
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

}  // namespace kn::gateway
