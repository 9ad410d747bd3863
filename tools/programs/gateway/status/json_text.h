// The gateway's JSON is written by nlohmann-json, never by hand: its one
// way of writing a measured number, kept in one place.
#pragma once

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace kn::gateway {

using Json = nlohmann::ordered_json;

// A figure rounded to decimals places; a whole number is written as one
// ("25", "262.1"). Not a number, or infinite: 0.
inline Json JsonFigure(double v, int decimals = 3)
{
    if (!std::isfinite(v)) {
        return 0;
    }
    const double scale = std::pow(10.0, decimals);
    const double r = std::round(v * scale) / scale;
    if (r == std::trunc(r) && std::fabs(r) < 9e15) {
        return static_cast<int64_t>(r);
    }
    return r;
}

// A count that may be unknown (negative): null then.
inline Json JsonOptional(int64_t v) { return v < 0 ? Json(nullptr) : Json(v); }

// Text as JSON writes it; bytes that are not UTF-8 are replaced, never
// thrown over.
inline std::string JsonDump(const Json &j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace kn::gateway
