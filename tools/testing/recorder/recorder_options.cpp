#include "tools/testing/recorder/recorder_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kn::recorder {

namespace {

bool ParseInt(const char *text, long low, long high, long &out)
{
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

// "239.1.2.3:6000": a group address (224.0.0.0-239.255.255.255) and a port.
bool ParseGroup(const std::string &text, RecorderOptions &o)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    in_addr a{};
    long port = 0;
    if (::inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1 ||
        !ParseInt(text.c_str() + colon + 1, 1, 65535, port)) {
        return false;
    }
    std::memcpy(o.group.data(), &a.s_addr, 4);
    if ((o.group[0] & 0xF0) != 0xE0) {
        return false;
    }
    o.groupPort = static_cast<uint16_t>(port);
    return true;
}

}  // namespace

const char *RecorderUsage()
{
    return "usage: kestrel-recorder [options]\n"
           "\n"
           "A recorder emulator: serves live video from a sample clip, a synthetic\n"
           "recording schedule for search, playback and download, talk, and a\n"
           "parameter store. Logs one line per event on stderr; Ctrl-C stops it.\n"
           "\n"
           "  --address ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
           "  --port N              TCP and UDP port (default 5050; 0 picks a free one)\n"
           "  --clip FILE           H.264 Annex B clip to serve (default: the bundled sample)\n"
           "  --channels N          number of video channels, 1-32 (default 4)\n"
           "  --multicast GRP:PORT  announce this group for live video and send it there\n"
           "  --start-delay MS      from a stream's acknowledgement to its first frame; 0 (the\n"
           "                        default) sends the first frames in the same write as the\n"
           "                        acknowledgement, as an eager recorder does\n"
           "  --download-cap S      send at most S seconds of a download (default 60)\n"
           "  --fps N               frames a second of live video, playback and download,\n"
           "                        1-120 (default 25); give the clip's own rate\n"
           "                        (tools/testing/clip/sample30.h264: --fps 30)\n"
           "  --silent              answer nothing on command channels\n"
           "  --refuse-login        answer every login with result 0\n"
           "  --drop-after-login    close the command channel right after the login reply\n"
           "  --drop-after N        reset a command channel when its N-th packet arrives\n"
           "  --drop-live-after N   close the first live video connection after N frames\n"
           "  --message-every MS    send a recorder message (code 56, 12 bytes) on every\n"
           "                        logged-in command channel every MS milliseconds\n"
           "  --close-command-after MS  close each command channel MS after its login\n"
           "                        (the live video connections stay open)\n"
           "  --no-search-answer    never answer a search\n"
           "  --verbose             log keep-alives too, and every command packet\n"
           "                        with its session id\n"
           "  -h, --help            this text\n"
           "\n"
           "Exit status: 0 stopped by a signal, 1 could not start (clip or address), 2 usage.\n";
}

std::optional<RecorderOptions> ParseRecorderOptions(int argc, char **argv, bool &help, std::string &message)
{
    RecorderOptions o;
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        auto needValue = [&](const char *what) {
            if (value == nullptr) {
                message = arg + " needs " + what;
                return false;
            }
            ++i;
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            help = true;
            return o;
        } else if (arg == "--address") {
            in_addr a{};
            if (!needValue("an IPv4 address")) {
                return std::nullopt;
            }
            if (::inet_pton(AF_INET, value, &a) != 1) {
                message = std::string("not an IPv4 address: ") + value;
                return std::nullopt;
            }
            o.address = value;
        } else if (arg == "--port") {
            if (!needValue("a port number") || !ParseInt(value, 0, 65535, n)) {
                message = message.empty() ? std::string("bad port: ") + value : message;
                return std::nullopt;
            }
            o.port = static_cast<uint16_t>(n);
        } else if (arg == "--clip") {
            if (!needValue("a file name")) {
                return std::nullopt;
            }
            o.clip = value;
        } else if (arg == "--channels") {
            if (!needValue("a count") || !ParseInt(value, 1, 32, n)) {
                message = message.empty() ? std::string("bad channel count (1-32): ") + value : message;
                return std::nullopt;
            }
            o.channels = static_cast<int>(n);
        } else if (arg == "--multicast") {
            if (!needValue("GROUP:PORT") || !ParseGroup(value, o)) {
                message = message.empty()
                              ? std::string("bad multicast group (224.0.0.0-239.255.255.255:PORT): ") + value
                              : message;
                return std::nullopt;
            }
            o.multicast = true;
        } else if (arg == "--start-delay") {
            if (!needValue("milliseconds") || !ParseInt(value, 0, 10000, n)) {
                message = message.empty() ? std::string("bad start delay (0-10000 ms): ") + value : message;
                return std::nullopt;
            }
            o.startDelayMs = static_cast<int>(n);
        } else if (arg == "--download-cap") {
            if (!needValue("seconds") || !ParseInt(value, 1, 86400, n)) {
                message = message.empty() ? std::string("bad download cap (1-86400 s): ") + value : message;
                return std::nullopt;
            }
            o.downloadCapSeconds = static_cast<int>(n);
        } else if (arg == "--fps") {
            if (!needValue("a frame rate") || !ParseInt(value, 1, 120, n)) {
                message = message.empty() ? std::string("bad frame rate (1-120): ") + value : message;
                return std::nullopt;
            }
            o.fps = static_cast<int>(n);
        } else if (arg == "--drop-after") {
            if (!needValue("a packet count") || !ParseInt(value, 1, 1000000, n)) {
                message = message.empty() ? std::string("bad packet count: ") + value : message;
                return std::nullopt;
            }
            o.dropAfterPackets = static_cast<int>(n);
        } else if (arg == "--drop-live-after") {
            if (!needValue("a frame count") || !ParseInt(value, 1, 1000000, n)) {
                message = message.empty() ? std::string("bad frame count: ") + value : message;
                return std::nullopt;
            }
            o.dropLiveAfterFrames = static_cast<int>(n);
        } else if (arg == "--message-every") {
            if (!needValue("milliseconds") || !ParseInt(value, 1, 60000, n)) {
                message = message.empty() ? std::string("bad message period (1-60000 ms): ") + value : message;
                return std::nullopt;
            }
            o.messageEveryMs = static_cast<int>(n);
        } else if (arg == "--close-command-after") {
            if (!needValue("milliseconds") || !ParseInt(value, 1, 3600000, n)) {
                message = message.empty() ? std::string("bad time (1-3600000 ms): ") + value : message;
                return std::nullopt;
            }
            o.closeCommandAfterMs = static_cast<int>(n);
        } else if (arg == "--no-search-answer") {
            o.answerSearches = false;
        } else if (arg == "--silent") {
            o.silent = true;
        } else if (arg == "--refuse-login") {
            o.refuseLogin = true;
        } else if (arg == "--drop-after-login") {
            o.dropAfterLogin = true;
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else {
            message = "unknown option: " + arg;
            return std::nullopt;
        }
    }
    return o;
}

}  // namespace kn::recorder
