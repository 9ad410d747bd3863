#include "tools/gateway/gateway_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace kn::gateway {

void Log(const char *format, ...)
{
    char line[1024];
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    std::tm utc{};
    ::gmtime_r(&tv.tv_sec, &utc);
    int n = static_cast<int>(std::strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%S", &utc));
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ".%03dZ gateway: ",
                       static_cast<int>(tv.tv_usec / 1000));
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, args);
    va_end(args);
    // One write per line, so lines from different threads never interleave.
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

}  // namespace kn::gateway
