// The command line of kestrel: a command, then its options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/exports.h"
#include "tools/common/password_source.h"

namespace kn::cli {

struct PlaybackControl {
    double atSeconds = 0;  // after the stream opened
    int32_t code = 0;      // as KR_4100_PlayBackCtrl takes it
};

struct Options {
    std::string command;  // a name of the command table (commands.h)
    std::string action;   // param: get or set; help: the command asked about
    bool help = false;
    bool version = false;
    // Connection
    std::string host = "127.0.0.1";
    uint16_t port = 5050;
    std::string user = "admin";
    std::string password;  // resolved from passwordSource
    common::PasswordSource passwordSource;
    uint32_t timeoutMs = 3000;
    // Streams
    int channel = 0;
    int transport = 1;    // 1 TCP, 0 UDP, as KR_4100_RealPlay takes it
    double duration = 0;  // seconds; 0 no limit
    long frames = 0;      // 0 no limit
    std::string output = "-";
    bool noClobber = false;  // never replace an existing output file
    double idleSeconds = 5;  // a stream silent this long is lost
    bool h264 = false;
    bool stats = false;      // live: a statistics line a second, a summary at the end
    bool reconnect = false;  // live: log in and reopen after recorder losses
    double fps = 25;         // recordings whose stream declares no frame rate
    DvrTime start{};
    DvrTime end{};
    bool haveStart = false;
    bool haveEnd = false;
    std::vector<PlaybackControl> controls;
    int selector = 0;
    // Parameters
    int32_t code = 0;
    std::vector<uint8_t> data;
    uint32_t size = 256;
    // Talk
    std::string file;
    uint32_t rate = 16000;  // bytes a second; 0 as fast as possible
    uint32_t chunk = 320;
};

// The most bytes of user name and password the login carries together.
inline constexpr size_t kLoginNameBytes = 87;

// Fills options from argv; false with a message on a usage error. The
// password is read from its file or variable here.
bool ParseOptions(int argc, char **argv, Options &options, std::string &message);

// The help text of a command ("" for the overview).
std::string Usage(const std::string &command);

// "2024-05-01 08:00:00", "2024-05-01T08:00:00" or "2024-05-01" (then the
// time is endOfDay ? 23:59:59 : 00:00:00). The date must exist.
bool ParseTime(const std::string &text, bool endOfDay, DvrTime &out);
// Whether a date exists (leap years included).
bool DateExists(int year, int month, int day);
// Negative, zero or positive as a is before, at or after b.
int CompareTimes(const DvrTime &a, const DvrTime &b);

// Hex digits, optionally separated by spaces, ':' or '-'.
bool ParseHex(const std::string &text, std::vector<uint8_t> &out);
// pause, resume, step, or a number (decimal, or hex with 0x).
bool ParseControlCode(const std::string &text, int32_t &out);

}  // namespace kn::cli
