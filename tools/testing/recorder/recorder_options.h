// Command line of kestrel-recorder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/testing/emulator/wire.h"

namespace kn::recorder {

// A bit of a recorder message's word raised on a schedule: set every
// everyMs, cleared holdMs later.
struct RaiseSchedule {
    int word = 1;  // 1-3: the 16-bit words at offsets 4, 6 and 8
    int bit = 0;   // 0-15
    int everyMs = 1000;
    int holdMs = 500;
};

// A bit that SIGUSR1 sets, and the next SIGUSR1 clears.
struct SignalBit {
    int word = 1;
    int bit = 0;
};

struct RecorderOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 5050;    // 0: an ephemeral port, reported on stderr
    std::string clip;        // the Annex B clip served as video
    int channels = 4;        // channels 0 .. channels-1 carry video
    bool multicast = false;  // announce a group for live video and send there
    emu::Id4 group{239, 1, 2, 3};
    uint16_t groupPort = 0;
    bool silent = false;                // the command channel answers nothing
    bool refuseLogin = false;           // login answered with result 0
    bool dropAfterLogin = false;        // command channel closed right after the login reply
    int dropAfterPackets = 0;           // command channel reset at its n-th packet; 0 never
    int dropLiveAfterFrames = 0;        // the first live connection closed after n frames; 0 never
    int startDelayMs = 0;               // acknowledgement to first frame; 0: the first frames go with it
    int downloadCapSeconds = 60;        // a download sends at most this many seconds
    int messageEveryMs = 0;             // a recorder message on every logged-in command channel; 0 never
    int closeCommandAfterMs = 0;        // each command channel closed this long after its login; 0 never
    bool answerSearches = true;         // false: searches get no reply at all
    std::vector<RaiseSchedule> raises;  // --raise
    std::vector<SignalBit> signalBits;  // --raise-on-signal
    int fps = 25;                       // frames a second of live video, playback and download
    bool verbose = false;               // keep-alives are logged too
    std::string frameLog;               // a line per live video frame sent goes here; "" none
};

// Parses argv into options. Returns nullopt and sets message on a usage error;
// sets help (and returns the defaults) for -h/--help.
std::optional<RecorderOptions> ParseRecorderOptions(int argc, char **argv, bool &help, std::string &message);

const char *RecorderUsage();

}  // namespace kn::recorder
