// A wait as the tools' messages and logs state it: "1.5 s".
#pragma once

#include <string>

namespace kn::common {

std::string Seconds(double s);

}  // namespace kn::common
