// The table of the gateway's fronts: each one is made, in this order, from
// the site's configuration and the site directory, and started before the
// recorders are; a new front is a folder of its own and one line in
// fronts.cpp.
#pragma once

#include <span>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

std::span<const FrontMaker> Fronts();

}  // namespace kn::gateway
