#include "tools/common/duration_text.h"

#include <cstdio>

namespace kn::common {

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

}  // namespace kn::common
