#include "tools/testing/recorder/event_log.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace kn::recorder {

void LogEvent(const char *format, ...)
{
    static std::mutex s_Mutex;  // whole lines, whatever thread writes
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    std::lock_guard<std::mutex> lk(s_Mutex);
    std::fprintf(stderr, "%02d:%02d:%02d.%03d %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(now.tv_usec / 1000), text);
    std::fflush(stderr);
}

}  // namespace kn::recorder
