#include "tools/programs/gateway/webrtc/h264_offer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

namespace kn::gateway {

namespace {

bool IsH264(const std::string &codec)
{
    static const std::string kName = "h264";
    return codec.size() == kName.size() && std::equal(codec.begin(), codec.end(), kName.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

int PickH264Payload(const std::string &offer, uint8_t profile, uint8_t constraints)
{
    // a=rtpmap:PT H264/90000 and a=fmtp:PT ...packetization-mode=1;profile-level-id=PPCCLL
    std::istringstream in(offer);
    std::string line;
    std::vector<int> h264;
    std::map<int, std::string> fmtp;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        int pt = -1;
        char codec[32] = {0};
        if (std::sscanf(line.c_str(), "a=rtpmap:%d %31[^/]", &pt, codec) == 2 && pt >= 0 && pt <= 127 &&
            IsH264(codec)) {
            h264.push_back(pt);
        } else if (std::sscanf(line.c_str(), "a=fmtp:%d", &pt) == 1) {
            const size_t space = line.find(' ');
            fmtp[pt] = space == std::string::npos ? "" : ";" + line.substr(space + 1);
        }
    }
    for (const int pt : h264) {
        const std::string &params = fmtp[pt];
        if (params.find(";packetization-mode=1") == std::string::npos) {
            continue;
        }
        const size_t p = params.find(";profile-level-id=");
        const size_t at = p + 18;
        if (p == std::string::npos || params.size() < at + 6) {
            continue;
        }
        char *end = nullptr;
        const std::string hex = params.substr(at, 6);
        const unsigned long id = std::strtoul(hex.c_str(), &end, 16);
        if (end != hex.c_str() + 6) {
            continue;
        }
        const auto offeredProfile = static_cast<uint8_t>(id >> 16);
        const auto offeredConstraints = static_cast<uint8_t>(id >> 8);
        // The same profile, the decoder asking no constraint the stream
        // does not keep; a baseline stream that keeps Main's constraints
        // (constraint_set1) is Main too.
        const bool same = offeredProfile == profile && (offeredConstraints & ~constraints) == 0;
        const bool asMain = offeredProfile == 77 && profile == 66 && (constraints & 0x40) != 0 &&
                            (offeredConstraints & ~constraints) == 0;
        if (same || asMain) {
            return pt;
        }
    }
    return -1;
}

}  // namespace kn::gateway
