#include "tools/testing/recorder/recorder_options.h"

#include <arpa/inet.h>

#include <algorithm>

#include <cstring>
#include <vector>

#include "tools/common/command_line.h"

namespace kn::recorder {

namespace {

// "239.1.2.3:6000": a group address (224.0.0.0-239.255.255.255) and a port.
bool ParseGroup(const std::string &text, emu::Id4 &group, uint16_t &groupPort)
{
    const size_t colon = text.rfind(':');
    in_addr a{};
    int port = 0;
    if (colon == std::string::npos || ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1 ||
        !CLI::detail::lexical_cast(text.substr(colon + 1), port) || port < 1 || port > 65535) {
        return false;
    }
    std::memcpy(group.data(), &a.s_addr, 4);
    groupPort = static_cast<uint16_t>(port);
    return (group[0] & 0xF0) == 0xE0;
}

// "W:B:EVERY[:HOLD]" (scheduled) or "W:B": a word 1-3, a bit 0-15, a period
// of 10 ms to an hour and a hold shorter than it (half of it by default).
bool ParseBit(const std::string &text, bool scheduled, RaiseSchedule &r)
{
    std::vector<long> parts;
    for (size_t at = 0;;) {
        const size_t end = std::min(text.find(':', at), text.size());
        long v = 0;
        if (!CLI::detail::lexical_cast(text.substr(at, end - at), v)) {
            return false;
        }
        parts.push_back(v);
        if (end == text.size()) {
            break;
        }
        at = end + 1;
    }
    const size_t fields = parts.size();
    if (fields < (scheduled ? 3u : 2u) || fields > (scheduled ? 4u : 2u)) {
        return false;
    }
    r.word = static_cast<int>(parts[0]);
    r.bit = static_cast<int>(parts[1]);
    if (scheduled) {
        r.everyMs = static_cast<int>(parts[2]);
        r.holdMs = fields == 4 ? static_cast<int>(parts[3]) : r.everyMs / 2;
    }
    return r.word >= 1 && r.word <= 3 && r.bit >= 0 && r.bit <= 15 &&
           (!scheduled || (parts[2] >= 10 && parts[2] <= 3600000 && r.holdMs >= 1 && r.holdMs < r.everyMs));
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
           "  --raise W:B:EVERY[:HOLD]  set bit B (0-15) of word W (1-3: the message's\n"
           "                        16-bit words at offsets 4, 6 and 8) every EVERY ms and\n"
           "                        clear it HOLD ms later (default EVERY/2); each change\n"
           "                        is a recorder message on every logged-in command\n"
           "                        channel; repeatable\n"
           "  --raise-on-signal W:B SIGUSR1 sets bit B of word W, the next SIGUSR1 clears\n"
           "                        it, each a message as above; repeatable\n"
           "  --close-command-after MS  close each command channel MS after its login\n"
           "                        (the live video connections stay open)\n"
           "  --no-search-answer    never answer a search\n"
           "  --verbose             log keep-alives too, and every command packet\n"
           "                        with its session id\n"
           "  --frame-log FILE      write a line per live video frame sent: when its last\n"
           "                        byte went to the socket (system clock, microseconds\n"
           "                        since the epoch), the channel, and the frame's index\n"
           "                        in the clip; written at least once a second and at exit\n"
           "  -h, --help            this text\n"
           "\n"
           "Exit status: 0 stopped by a signal, 1 could not start (clip, address or frame log), 2 usage.\n";
}

std::optional<RecorderOptions> ParseRecorderOptions(int argc, char **argv, bool &help, std::string &message)
{
    RecorderOptions o;
    CLI::App app;
    common::PrepareCommandLine(app);
    app.add_option("--address", o.address)->check(common::Takes("an IPv4 address", [](const std::string &text) {
        in_addr a{};
        return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
    }));
    app.add_option("--port", o.port)->check(common::IntegerIn(0, 65535, "a port number 0-65535"));
    app.add_option("--clip", o.clip);
    app.add_option("--frame-log", o.frameLog);
    app.add_option("--channels", o.channels)->check(common::IntegerIn(1, 32, "a channel count 1-32"));
    app.add_option_function<std::string>("--multicast", [&o](const std::string &text) {
        if (!ParseGroup(text, o.group, o.groupPort)) {
            common::RefuseValue("--multicast", "a group 224.0.0.0-239.255.255.255 and a port, GROUP:PORT", text);
        }
        o.multicast = true;
    });
    app.add_option("--start-delay", o.startDelayMs)->check(common::IntegerIn(0, 10000, "milliseconds 0-10000"));
    app.add_option("--download-cap", o.downloadCapSeconds)->check(common::IntegerIn(1, 86400, "seconds 1-86400"));
    app.add_option("--fps", o.fps)->check(common::IntegerIn(1, 120, "frames a second 1-120"));
    app.add_option("--drop-after", o.dropAfterPackets)->check(common::IntegerIn(1, 1000000, "a packet count"));
    app.add_option("--drop-live-after", o.dropLiveAfterFrames)->check(common::IntegerIn(1, 1000000, "a frame count"));
    app.add_option("--message-every", o.messageEveryMs)->check(common::IntegerIn(1, 60000, "milliseconds 1-60000"));
    app.add_option_function<std::vector<std::string>>(
           "--raise",
           [&o](const std::vector<std::string> &values) {
               for (const std::string &text : values) {
                   RaiseSchedule r;
                   if (!ParseBit(text, true, r)) {
                       common::RefuseValue("--raise", "WORD 1-3:BIT 0-15:EVERY 10-3600000 ms[:HOLD shorter than EVERY]",
                                           text);
                   }
                   o.raises.push_back(r);
               }
           })
        ->allow_extra_args(false);
    app.add_option_function<std::vector<std::string>>("--raise-on-signal",
                                                      [&o](const std::vector<std::string> &values) {
                                                          for (const std::string &text : values) {
                                                              RaiseSchedule r;
                                                              if (!ParseBit(text, false, r)) {
                                                                  common::RefuseValue("--raise-on-signal",
                                                                                      "WORD 1-3:BIT 0-15", text);
                                                              }
                                                              o.signalBits.push_back(SignalBit{r.word, r.bit});
                                                          }
                                                      })
        ->allow_extra_args(false);
    app.add_option("--close-command-after", o.closeCommandAfterMs)
        ->check(common::IntegerIn(1, 3600000, "milliseconds 1-3600000"));
    app.add_flag_function("--no-search-answer", [&o](std::int64_t) { o.answerSearches = false; });
    app.add_flag("--silent", o.silent);
    app.add_flag("--refuse-login", o.refuseLogin);
    app.add_flag("--drop-after-login", o.dropAfterLogin);
    app.add_flag("--verbose", o.verbose);
    switch (common::ParseCommandLine(app, argc > 0 ? argc - 1 : 0, argv + 1, message)) {
    case common::CommandLineOutcome::Help: help = true; return RecorderOptions{};
    case common::CommandLineOutcome::Usage: help = false; return std::nullopt;
    case common::CommandLineOutcome::Parsed: break;
    }
    help = false;
    return o;
}

}  // namespace kn::recorder
