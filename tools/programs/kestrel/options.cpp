#include "tools/programs/kestrel/options.h"

#include <cstdio>

#include "tools/common/command_line.h"
#include "tools/programs/kestrel/commands.h"
#include "tools/programs/kestrel/exit_codes.h"

namespace kn::cli {

namespace {

constexpr const char *kPasswordEnv = "KESTREL_PASSWORD";

// The longest time an option in seconds takes: a week.
constexpr double kMaxSeconds = 86400 * 7;

bool ParseLong(const std::string &text, long low, long high, long &out)
{
    long v = 0;
    if (!CLI::detail::lexical_cast(text, v) || v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

// "SECONDS:ACTION" of --at.
bool ParseAt(const std::string &text, PlaybackControl &out)
{
    const size_t colon = text.find(':');
    return colon != std::string::npos && CLI::detail::lexical_cast(text.substr(0, colon), out.atSeconds) &&
           out.atSeconds > 0 && out.atSeconds <= kMaxSeconds && ParseControlCode(text.substr(colon + 1), out.code);
}

const char *kConnectionHelp = "Connection options (every command):\n"
                              "  -H, --host ADDR      recorder address (default 127.0.0.1)\n"
                              "  -p, --port N         recorder port (default 5050)\n"
                              "  -u, --user NAME      user name (default admin)\n"
                              "  -P, --password TEXT  password (default empty); seen by every user in the\n"
                              "                       process list: prefer one of the two below\n"
                              "  --password-file FILE the password is the file's first line\n"
                              "  --password-env NAME  the password is in environment variable NAME\n"
                              "                       (without any of the three: KESTREL_PASSWORD, if set)\n"
                              "                       User name and password carry 87 bytes together at most.\n"
                              "  --timeout MS         reply time-out (default 3000)\n"
                              "  -h, --help           help for the command\n";

const char *kOutputHelp = "  -o, --output FILE    where to write ('-' standard output)\n"
                          "  --no-clobber         never replace an existing FILE\n"
                          "  --idle-timeout S     a stream that brings nothing for S seconds is lost\n"
                          "                       (default 5; a paused playback is not counted)\n"
                          "  --h264               write the H.264 elementary stream: the emulator's\n"
                          "                       4-byte wrapper and the library's frame prefix removed\n"
                          "Without --h264 every frame is written as delivered (prefix and payload).\n"
                          "A FILE ending in .mp4 is written as an MP4 file (H.264 starting on a keyframe,\n"
                          "seekable, playable in browsers): live video timed as it arrives, a recording\n"
                          "at its frame rate (the one its H.264 stream declares, else --fps).\n"
                          "FILE is written as FILE.part and renamed to FILE only when the job ended as\n"
                          "asked, so a failed job never touches an existing FILE; an incomplete job\n"
                          "leaves what came in FILE.part (exit status 7, 130 or 6).\n";

}  // namespace

std::string Usage(const std::string &command)
{
    std::string text;
    if (command == "login") {
        text = "usage: kestrel login [connection options]\n\n"
               "Logs in, prints the login result and logs out. The library reports a\n"
               "refused login and one that got no answer alike; kestrel tells them apart by\n"
               "time: no answer within the reply time-out (or 1.2 s, after which the library\n"
               "gives up on a silent recorder) is status 5, an earlier failure (a refusal, or\n"
               "a closed connection) status 4.\n";
    } else if (command == "live") {
        text = "usage: kestrel live [options]\n\n"
               "Receives live video of a channel and writes it to a file. Runs until Ctrl-C\n"
               "unless --duration or --frames is given; Ctrl-C is then the normal end (0).\n"
               "Ends with status 6 when the stream or the recorder is lost, on TCP and UDP\n"
               "alike, and 8 when no frame came.\n"
               "  -c, --channel N      recorder channel (default 0)\n"
               "  --transport tcp|udp  media connection (default tcp); multicast is the\n"
               "                       recorder's choice: a recorder that announces a group\n"
               "                       gets joined (kestrel-recorder --multicast GROUP:PORT)\n"
               "  --duration S         stop after S seconds\n"
               "  --frames N           stop after N frames\n"
               "  --stats              frames, frame rate and bit rate once a second, and a\n"
               "                       summary at the end\n"
               "  --reconnect          keep going across recorder losses: log in and reopen\n"
               "                       after 1, 2, 4 ... 30 s, writing on into the same file\n" +
               std::string(kOutputHelp);
    } else if (command == "search") {
        text = "usage: kestrel search --from TIME --to TIME [options]\n\n"
               "Lists the recordings of a channel between two times (one request per day).\n"
               "  -c, --channel N      recorder channel (default 0)\n"
               "  --from TIME          start: 'YYYY-MM-DD HH:MM:SS' or 'YYYY-MM-DD'\n"
               "  --to TIME            end, not before --from (a date alone means 23:59:59)\n"
               "  --selector N         selector byte sent with each query (default 0)\n";
    } else if (command == "playback") {
        text = "usage: kestrel playback --start TIME [options]\n\n"
               "Plays a recording back from a time and writes the frames to a file. Ends\n"
               "when the recording ends, or at --duration or --frames; a recording that ends\n"
               "before them gives status 7, a time with no recording status 8.\n"
               "  -c, --channel N      recorder channel (default 0)\n"
               "  --start TIME         'YYYY-MM-DD HH:MM:SS'\n"
               "  --duration S         stop after S seconds\n"
               "  --frames N           stop after N frames\n"
               "  --at S:ACTION        at S seconds send a control: pause (0x2800),\n"
               "                       resume (-1), step (-2) or a code such as 0x4033,\n"
               "                       0x4066, 0x5033, 0x5066, 0x8033, 0x8066, 0xFF33, 0xFF66;\n"
               "                       may be given several times\n"
               "  --speed CODE         a control code sent as soon as the stream is open\n"
               "  --fps N              frame rate of a recording whose H.264 stream declares\n"
               "                       none (default 25)\n" +
               std::string(kOutputHelp);
    } else if (command == "download") {
        text = "usage: kestrel download --start TIME --end TIME -o FILE [options]\n\n"
               "Downloads recorded video between two times of one day to a file; shows\n"
               "a progress bar on a terminal. The recorder's request carries one day, so\n"
               "--start and --end must be on the same day, and --end after --start (a span\n"
               "over midnight is refused, not split: give one download per day). The\n"
               "download is complete when the recorder sent the whole span at the\n"
               "recording's frame rate (the one its H.264 stream declares, else --fps);\n"
               "one that ends sooner (a recorder caps long requests) is status 7.\n"
               "  -c, --channel N      recorder channel (default 0)\n"
               "  --start TIME, --end TIME   'YYYY-MM-DD HH:MM:SS'\n"
               "  --fps N              frame rate of a recording whose H.264 stream declares\n"
               "                       none (default 25)\n" +
               std::string(kOutputHelp);
    } else if (command == "param") {
        text = "usage: kestrel param get CODE [--in HEX] [--size N] [options]\n"
               "       kestrel param set CODE HEX [options]\n\n"
               "Reads or writes a device parameter by request code (decimal or 0x hex).\n"
               "get prints the reply payload in hex; it asks twice to learn its length, and\n"
               "ends with status 7 when the reply is longer than --size (the first N bytes\n"
               "are printed). The codes the library sends are those of its reply table:\n"
               "33, 35, 42, 43, 49, 53, 57, 61, 73, 76, 87, 93, 97-114, 117-120, 123, 124,\n"
               "127, 129-139, 142, 143, 145, 163, 164, 170, 173, 231, 232 (the library\n"
               "refuses any other code; what each means is the recorder's).\n"
               "  --in HEX             request payload for get (default none)\n"
               "  --size N             largest reply to take, 1-32757 (default 256)\n"
               "HEX: hex digits, optionally separated by spaces, ':' or '-'; at most 89 bytes.\n";
    } else if (command == "talk") {
        text = "usage: kestrel talk --file FILE [options]\n\n"
               "Opens talk and sends the file's bytes as audio, then stops talk. The bytes go\n"
               "out unchanged, neither encoded nor framed: FILE must already be in the\n"
               "recorder's audio format. The default pace, 16000 bytes a second, is that of\n"
               "8 kHz 16-bit mono PCM (tools/testing/clip/tone.pcm is one second of it).\n"
               "  --file FILE          audio bytes to send\n"
               "  --rate N             bytes a second (default 16000; 0 as fast as possible)\n"
               "  --chunk N            bytes per send (default 320)\n";
    } else {
        std::string overview = "usage: kestrel COMMAND [options]\n\n"
                               "A command-line host for networked video recorders.\n\n"
                               "Commands:\n";
        size_t count = 0;
        const CommandInfo *table = CommandTable(count);
        for (size_t i = 0; i < count; ++i) {
            std::string name = table[i].name;
            name.resize(10, ' ');
            overview += "  " + name + " " + table[i].summary + "\n";
        }
        return overview +
               "\nkestrel help COMMAND (or kestrel COMMAND --help) describes a command;\n"
               "kestrel --version prints the versions.\n\n" +
               kConnectionHelp + "\n" + kExitCodeHelp;
    }
    return text + "\n" + kConnectionHelp + "\n" + kExitCodeHelp;
}

bool DateExists(int year, int month, int day)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

int CompareTimes(const DvrTime &a, const DvrTime &b)
{
    const int32_t x[] = {a.nYear, a.nMonth, a.nDay, a.nHour, a.nMinute, a.nSecond};
    const int32_t y[] = {b.nYear, b.nMonth, b.nDay, b.nHour, b.nMinute, b.nSecond};
    for (int i = 0; i < 6; ++i) {
        if (x[i] != y[i]) {
            return x[i] < y[i] ? -1 : 1;
        }
    }
    return 0;
}

bool ParseTime(const std::string &text, bool endOfDay, DvrTime &out)
{
    DvrTime t{};
    char sep = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &t.nYear, &t.nMonth, &t.nDay, &consumed) != 3) {
        return false;
    }
    if (static_cast<size_t>(consumed) == text.size()) {
        t.nHour = endOfDay ? 23 : 0;
        t.nMinute = endOfDay ? 59 : 0;
        t.nSecond = endOfDay ? 59 : 0;
    } else {
        int more = 0;
        if (std::sscanf(text.c_str() + consumed, "%c%2d:%2d:%2d%n", &sep, &t.nHour, &t.nMinute, &t.nSecond, &more) !=
                4 ||
            (sep != ' ' && sep != 'T') || static_cast<size_t>(consumed + more) != text.size()) {
            return false;
        }
    }
    if (t.nYear < 2000 || t.nYear > 2255 || t.nMonth < 1 || t.nMonth > 12 || t.nDay < 1 || t.nDay > 31 ||
        !DateExists(t.nYear, t.nMonth, t.nDay) || t.nHour < 0 || t.nHour > 23 || t.nMinute < 0 || t.nMinute > 59 ||
        t.nSecond < 0 || t.nSecond > 59) {
        return false;
    }
    out = t;
    return true;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> &out)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char ch : text) {
        if (ch == ' ' || ch == ':' || ch == '-') {
            if (high >= 0) {
                return false;  // an odd digit before a separator
            }
            continue;
        }
        int v;
        if (ch >= '0' && ch <= '9') {
            v = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            v = ch - 'a' + 10;
        } else if (ch >= 'A' && ch <= 'F') {
            v = ch - 'A' + 10;
        } else {
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) {
        return false;
    }
    out = bytes;
    return true;
}

bool ParseControlCode(const std::string &text, int32_t &out)
{
    long v = 0;
    if (text == "pause") {
        out = KR_4100_PLAY_PAUSE;
    } else if (text == "resume") {
        out = KR_4100_PLAY_RESUME;
    } else if (text == "step") {
        out = KR_4100_PLAY_STEP;
    } else if (ParseLong(text, -2147483648L, 4294967295L, v)) {
        out = static_cast<int32_t>(static_cast<uint32_t>(v));
    } else {
        return false;
    }
    return true;
}

namespace {

// The options every command takes.
void AddConnectionOptions(CLI::App &app, Options &o)
{
    app.add_option("-H,--host", o.host);
    app.add_option("-p,--port", o.port)->check(common::IntegerIn(1, 65535, "1-65535"));
    app.add_option("-u,--user", o.user);
    app.add_option("-P,--password", o.passwordSource.text)->each([&o](const std::string &) {
        o.passwordSource.textGiven = true;
    });
    app.add_option("--password-file", o.passwordSource.file);
    app.add_option("--password-env", o.passwordSource.env);
    app.add_option("--timeout", o.timeoutMs)->check(common::IntegerIn(1, 600000, "1-600000 ms"));
}

// A time option: names is "--start,--from" or the like, the first the name
// a refusal gives.
void AddTime(CLI::App &app, const std::string &names, bool endOfDay, DvrTime &time, bool &given)
{
    const std::string name = names.substr(0, names.find(','));
    app.add_option_function<std::string>(names, [name, endOfDay, &time, &given](const std::string &v) {
        if (!ParseTime(v, endOfDay, time)) {
            common::RefuseValue(name, "YYYY-MM-DD HH:MM:SS", v);
        }
        given = true;
    });
}

// The options of the commands that take a stream and write it to a file.
void AddStreamOptions(CLI::App &app, Options &o)
{
    app.add_option("-c,--channel", o.channel)->check(common::IntegerIn(0, 255, "0-255"));
    app.add_option_function<std::string>("--transport",
                                         [&o](const std::string &v) { o.transport = v == "tcp" ? 1 : 0; })
        ->check(common::Takes("tcp or udp", [](const std::string &v) { return v == "tcp" || v == "udp"; }));
    app.add_option("--duration", o.duration)->check(common::NumberIn(0, kMaxSeconds, "seconds above 0", false));
    app.add_option("--frames", o.frames)->check(common::IntegerIn(1, 100000000, "a count above 0"));
    app.add_option("-o,--output", o.output);
    app.add_flag("--no-clobber", o.noClobber);
    app.add_option("--idle-timeout", o.idleSeconds)->check(common::NumberIn(0, kMaxSeconds, "seconds above 0", false));
    app.add_flag("--h264", o.h264);
}

void AddRecordingOptions(CLI::App &app, Options &o)
{
    app.add_option("--fps", o.fps)->check(common::NumberIn(1, 240, "1-240 frames a second"));
    AddTime(app, "--start,--from", false, o.start, o.haveStart);
}

// The options of a command (the connection options and its own).
void AddCommandOptions(CLI::App &app, Options &o, std::vector<std::string> &positional)
{
    AddConnectionOptions(app, o);
    const std::string &c = o.command;
    if (c == "live" || c == "playback" || c == "download") {
        AddStreamOptions(app, o);
    }
    if (c == "live") {
        app.add_flag("--stats", o.stats);
        app.add_flag("--reconnect", o.reconnect);
    } else if (c == "search") {
        app.add_option("-c,--channel", o.channel)->check(common::IntegerIn(0, 255, "0-255"));
        AddTime(app, "--from,--start", false, o.start, o.haveStart);
        AddTime(app, "--to,--end", true, o.end, o.haveEnd);
        app.add_option("--selector", o.selector)->check(common::IntegerIn(0, 255, "0-255"));
    } else if (c == "playback") {
        AddRecordingOptions(app, o);
        app.add_option("--at")
            ->check(common::Takes("SECONDS:ACTION",
                                  [](const std::string &v) {
                                      PlaybackControl control;
                                      return ParseAt(v, control);
                                  }))
            ->each([&o](const std::string &v) {
                PlaybackControl control;
                ParseAt(v, control);
                o.controls.push_back(control);
            })
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        app.add_option("--speed")
            ->check(common::Takes("a control code",
                                  [](const std::string &v) {
                                      int32_t code = 0;
                                      return ParseControlCode(v, code);
                                  }))
            ->each([&o](const std::string &v) {
                PlaybackControl control;
                ParseControlCode(v, control.code);
                o.controls.push_back(control);
            })
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    } else if (c == "download") {
        AddRecordingOptions(app, o);
        AddTime(app, "--end,--to", true, o.end, o.haveEnd);
    } else if (c == "param") {
        app.add_option("words", positional);
        app.add_option_function<std::string>("--in", [&o](const std::string &v) {
            if (!ParseHex(v, o.data)) {
                common::RefuseValue("--in", "hex bytes", v);
            }
        });
        app.add_option("--size", o.size)->check(common::IntegerIn(1, 32757, "1-32757"));
    } else if (c == "talk") {
        app.add_option("--file", o.file);
        app.add_option("--rate", o.rate)->check(common::IntegerIn(0, 100000000, "bytes a second"));
        app.add_option("--chunk", o.chunk)->check(common::IntegerIn(1, 65536, "1-65536"));
    }
}

}  // namespace

bool ParseOptions(int argc, char **argv, Options &o, std::string &message)
{
    int i = 1;
    if (i < argc && (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help")) {
        o.help = true;
        return true;
    }
    if (i < argc && (std::string(argv[i]) == "--version" || std::string(argv[i]) == "version")) {
        o.version = true;
        return true;
    }
    if (i >= argc) {
        message = "no command given";
        return false;
    }
    o.command = argv[i++];
    if (FindCommand(o.command) == nullptr) {
        message = "unknown command '" + o.command + "'";
        o.command.clear();
        return false;
    }
    if (o.command == "help") {
        // kestrel help [COMMAND]: the command's help, or the overview.
        o.help = true;
        o.command = i < argc ? argv[i] : "";
        const CommandInfo *c = FindCommand(o.command);
        if (i + 1 < argc || (i < argc && (c == nullptr || c->run == nullptr))) {
            message = "help takes one command name: kestrel help COMMAND";
            o.command.clear();
            return false;
        }
        return true;
    }
    std::vector<std::string> positional;
    CLI::App app;
    common::PrepareCommandLine(app);
    AddCommandOptions(app, o, positional);
    switch (common::ParseCommandLine(app, argc - i, argv + i, message, o.command)) {
    case common::CommandLineOutcome::Help: o.help = true; return true;
    case common::CommandLineOutcome::Usage: return false;
    case common::CommandLineOutcome::Parsed: break;
    }
    if (!common::ResolvePassword(o.passwordSource, kPasswordEnv, o.password, message)) {
        return false;
    }
    // The library sends each name with a length byte, both in one command
    // packet, and stops a name at a NUL byte: it refuses what does not fit,
    // which would read as a refusal by the recorder.
    if (o.password.find('\0') != std::string::npos) {
        message = "the password holds a NUL byte, which the login cannot carry";
        return false;
    }
    if (o.user.size() + o.password.size() > kLoginNameBytes) {
        message = "the user name and password are " + std::to_string(o.user.size() + o.password.size()) +
                  " bytes together; the login carries at most " + std::to_string(kLoginNameBytes);
        return false;
    }
    // What each command needs.
    if (o.command == "param") {
        long code = 0;
        if (positional.empty() || (positional[0] != "get" && positional[0] != "set")) {
            message = "param needs get or set";
            return false;
        }
        o.action = positional[0];
        const size_t want = o.action == "get" ? 2 : 3;
        if (positional.size() != want) {
            message = o.action == "get" ? "param get needs CODE" : "param set needs CODE and HEX";
            return false;
        }
        if (!ParseLong(positional[1], 0, 0x7FFFFFFF, code)) {
            message = "bad parameter code '" + positional[1] + "'";
            return false;
        }
        o.code = static_cast<int32_t>(code);
        if (o.action == "set" && !ParseHex(positional[2], o.data)) {
            message = "bad hex bytes '" + positional[2] + "'";
            return false;
        }
        if (o.data.size() > 89) {
            message = "a parameter request carries at most 89 bytes";
            return false;
        }
        return true;
    }
    if (!positional.empty()) {
        message = "unexpected argument '" + positional[0] + "'";
        return false;
    }
    if (o.command == "search" && (!o.haveStart || !o.haveEnd)) {
        message = "search needs --from and --to";
        return false;
    }
    if (o.command == "search" && CompareTimes(o.start, o.end) > 0) {
        message = "--from is after --to: nothing to search";
        return false;
    }
    if (o.command == "playback" && !o.haveStart) {
        message = "playback needs --start";
        return false;
    }
    if (o.command == "download" && (!o.haveStart || !o.haveEnd || o.output == "-")) {
        message = "download needs --start, --end and -o FILE";
        return false;
    }
    if (o.command == "download" && CompareTimes(o.start, o.end) >= 0) {
        message = "--end must be after --start";
        return false;
    }
    if (o.command == "download" &&
        (o.start.nYear != o.end.nYear || o.start.nMonth != o.end.nMonth || o.start.nDay != o.end.nDay)) {
        message = "--start and --end are on different days, and the recorder's download request carries one "
                  "day: give one download per day";
        return false;
    }
    if (o.command == "talk" && o.file.empty()) {
        message = "talk needs --file";
        return false;
    }
    return true;
}

}  // namespace kn::cli
