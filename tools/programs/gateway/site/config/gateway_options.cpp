#include "tools/programs/gateway/site/config/gateway_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>

namespace kn::gateway {

namespace {

constexpr const char *kDefaultPasswordEnv = "KESTREL_PASSWORD";
constexpr const char *kDefaultRtspPasswordEnv = "KESTREL_RTSP_PASSWORD";

bool ParseInteger(const std::string &text, long long low, long long high, long long &out)
{
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

// Seconds with an optional fraction, as milliseconds.
bool ParseSeconds(const std::string &text, int64_t &outMs)
{
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0) || v > 86400) {
        return false;
    }
    outMs = static_cast<int64_t>(v * 1000 + 0.5);
    return true;
}

}  // namespace

bool ReadFirstLine(const std::string &path, std::string &out)
{
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::getline(in, out);
    if (!out.empty() && out.back() == '\r') {
        out.pop_back();
    }
    return true;
}

bool SplitListen(const std::string &text, std::string &address, uint16_t &port)
{
    const size_t colon = text.rfind(':');
    long long p = 0;
    if (colon == std::string::npos) {
        // A bare port number, or a bare address with the default port.
        if (ParseInteger(text, 0, 65535, p)) {
            port = static_cast<uint16_t>(p);
            return true;
        }
        address = text;
        return !address.empty();
    }
    if (!ParseInteger(text.substr(colon + 1), 0, 65535, p)) {
        return false;
    }
    address = colon == 0 ? std::string("0.0.0.0") : text.substr(0, colon);
    port = static_cast<uint16_t>(p);
    return true;
}

bool IsLoopback(const std::string &address)
{
    if (address == "localhost") {
        return true;
    }
    in_addr a{};
    if (::inet_pton(AF_INET, address.c_str(), &a) != 1) {
        return false;
    }
    return (ntohl(a.s_addr) >> 24) == 127;
}

bool ParseGatewayOptions(int argc, char **argv, GatewayOptions &o, std::string &message)
{
    std::string passwordFile, passwordEnv, rtspPasswordFile, rtspPasswordEnv;
    bool rtspPasswordGiven = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            return true;
        }
        if (arg == "--check") {
            o.checkOnly = true;
            continue;
        }
        if (i + 1 >= argc) {
            message = arg.rfind("--", 0) == 0 || arg.rfind('-', 0) == 0 ? arg + " needs a value or is unknown"
                                                                        : "unexpected argument '" + arg + "'";
            return false;
        }
        const std::string value = argv[++i];
        long long n = 0;
        auto bad = [&](const char *what) {
            message = arg + " takes " + what + ", not '" + value + "'";
            return false;
        };
        if (arg == "--config") {
            o.configPath = value;
            continue;
        } else if (arg == "--host" || arg == "-H") {
            o.host = value;
        } else if (arg == "--port" || arg == "-p") {
            if (!ParseInteger(value, 1, 65535, n)) {
                return bad("a port number 1-65535");
            }
            o.port = static_cast<uint16_t>(n);
        } else if (arg == "--user" || arg == "-u") {
            o.user = value;
        } else if (arg == "--password") {
            o.password = value;
            o.passwordOnCommandLine = true;
        } else if (arg == "--password-file") {
            passwordFile = value;
        } else if (arg == "--password-env") {
            passwordEnv = value;
        } else if (arg == "--timeout") {
            if (!ParseInteger(value, 1, 600000, n)) {
                return bad("milliseconds 1-600000");
            }
            o.timeoutMs = static_cast<uint32_t>(n);
        } else if (arg == "--transport") {
            if (value != "tcp" && value != "udp") {
                return bad("tcp or udp");
            }
            o.transport = value == "tcp" ? 1 : 0;
        } else if (arg == "--channels") {
            if (!ParseInteger(value, 1, 32, n)) {
                return bad("a count 1-32");
            }
            o.channels = static_cast<int>(n);
        } else if (arg == "--listen") {
            if (!SplitListen(value, o.listenAddress, o.listenPort)) {
                return bad("ADDRESS:PORT, ADDRESS or PORT");
            }
        } else if (arg == "--http") {
            o.http = value != "off";
            if (o.http && !SplitListen(value, o.httpAddress, o.httpPort)) {
                return bad("ADDRESS:PORT, ADDRESS, PORT or off");
            }
        } else if (arg == "--web-buffer") {
            if (!ParseInteger(value, 16, 65536, n)) {
                return bad("KiB 16-65536");
            }
            o.webBufferBytes = n * 1024;
        } else if (arg == "--rtsp-user") {
            o.rtspUser = value;
        } else if (arg == "--rtsp-password") {
            o.rtspPassword = value;
            rtspPasswordGiven = true;
        } else if (arg == "--rtsp-password-file") {
            rtspPasswordFile = value;
        } else if (arg == "--rtsp-password-env") {
            rtspPasswordEnv = value;
        } else if (arg == "--linger" || arg == "--stats" || arg == "--idle-timeout" || arg == "--give-up" ||
                   arg == "--backoff-max") {
            int64_t ms = 0;
            if (!ParseSeconds(value, ms)) {
                return bad("seconds");
            }
            const std::map<std::string, int64_t *> fields{{"--linger", &o.lingerMs},
                                                          {"--stats", &o.statsMs},
                                                          {"--idle-timeout", &o.idleMs},
                                                          {"--give-up", &o.giveUpMs},
                                                          {"--backoff-max", &o.backoffMaxMs}};
            *fields.at(arg) = ms;
            if ((arg == "--idle-timeout" || arg == "--backoff-max") && ms < 100) {
                return bad("at least 0.1 seconds");
            }
        } else {
            message = "unknown option " + arg;
            return false;
        }
    }

    if (o.checkOnly || !o.configPath.empty()) {
        if (o.configPath.empty()) {
            message = "--check needs --config FILE";
            return false;
        }
        if (argc != (o.checkOnly ? 3 : 2)) {
            message = "--config takes everything from the site file: give it alone (or with --check)";
            return false;
        }
        return true;
    }
    // The recorder's password: a file or the environment keep it out of
    // process listings.
    if (!passwordFile.empty()) {
        if (!ReadFirstLine(passwordFile, o.password)) {
            message = "cannot read the password file " + passwordFile;
            return false;
        }
        o.passwordOnCommandLine = false;
    } else if (!passwordEnv.empty() || (!o.passwordOnCommandLine && std::getenv(kDefaultPasswordEnv) != nullptr)) {
        const char *name = passwordEnv.empty() ? kDefaultPasswordEnv : passwordEnv.c_str();
        const char *v = std::getenv(name);
        if (v == nullptr) {
            message = std::string("the environment variable ") + name + " is not set";
            return false;
        }
        o.password = v;
        o.passwordOnCommandLine = false;
    }
    if (!rtspPasswordFile.empty()) {
        if (!ReadFirstLine(rtspPasswordFile, o.rtspPassword)) {
            message = "cannot read the RTSP password file " + rtspPasswordFile;
            return false;
        }
    } else if (!rtspPasswordEnv.empty() || (!rtspPasswordGiven && std::getenv(kDefaultRtspPasswordEnv) != nullptr)) {
        const char *name = rtspPasswordEnv.empty() ? kDefaultRtspPasswordEnv : rtspPasswordEnv.c_str();
        const char *v = std::getenv(name);
        if (v == nullptr) {
            message = std::string("the environment variable ") + name + " is not set";
            return false;
        }
        o.rtspPassword = v;
    }

    if (o.rtspUser.empty() != o.rtspPassword.empty()) {
        message = "RTSP authentication needs both --rtsp-user and an RTSP password";
        return false;
    }
    // Off loopback nothing is served to a client without credentials.
    for (const std::string *address : {&o.listenAddress, o.http ? &o.httpAddress : nullptr}) {
        if (address != nullptr && !IsLoopback(*address) && o.rtspUser.empty()) {
            message = "listening on " + *address +
                      " (not loopback) needs RTSP credentials, asked of RTSP and HTTP clients alike: "
                      "--rtsp-user and --rtsp-password-file, --rtsp-password-env or --rtsp-password";
            return false;
        }
    }
    return true;
}

const char *GatewayUsage()
{
    return "usage: kestrel gateway --config FILE\n"
           "       kestrel gateway [options]\n"
           "Serves every channel of every recorder of a site file as rtsp://LISTEN/NAME/CH, or of\n"
           "one recorder given by the options below as rtsp://LISTEN/live/CH (RTP over TCP or UDP),\n"
           "and on a web page (http://127.0.0.1:8560/), opening a recorder's live stream when the first\n"
           "client of a channel arrives.\n"
           "\n"
           "  --config FILE            the site file (YAML; see docs/gateway.md): recorders, listen\n"
           "                           addresses, client credentials. SIGHUP or a change of the\n"
           "                           file reloads it.\n"
           "  --check                  with --config: read the site file, say what is wrong, exit\n"
           "\n"
           "The recorder:\n"
           "  -H, --host HOST          recorder address (default 127.0.0.1)\n"
           "  -p, --port PORT          recorder port (default 5050)\n"
           "  -u, --user USER          user name (default admin)\n"
           "  --password-file FILE     the password is the file's first line\n"
           "  --password-env NAME      the password is in environment variable NAME\n"
           "                           (KESTREL_PASSWORD is read when set and nothing else is given)\n"
           "  --password PASS          visible in process listings: prefer the two above\n"
           "  --timeout MS             reply time-out of the recorder (default 3000)\n"
           "  --transport tcp|udp      how video comes from the recorder (default tcp)\n"
           "  --channels N             serve channels 0 .. N-1 (default 4)\n"

           "\n"
           "RTSP:\n"
           "  --listen ADDR:PORT       where to listen (default 127.0.0.1:8554; port 0 picks a free one)\n"
           "  --rtsp-user USER         clients must authenticate (digest or basic), over RTSP and HTTP;\n"
           "                           required when listening on an address other than loopback\n"
           "  --rtsp-password-file FILE, --rtsp-password-env NAME (default KESTREL_RTSP_PASSWORD),\n"
           "  --rtsp-password PASS     the clients' password\n"
           "\n"
           "HTTP (web page /, video /NAME/CH.mp4, snapshots /NAME/CH.jpg, /api/status, /metrics):\n"
           "  --http ADDR:PORT|off     where to listen (default 127.0.0.1:8560; port 0 picks a free one)\n"
           "  --web-buffer KIB         video a web client may have outstanding before it skips to the\n"
           "                           next keyframe (default 1024)\n"
           "\n"
           "Timing (seconds):\n"
           "  --linger S               keep a channel's stream open after its last client (default 10)\n"
           "  --stats S                a statistics line per channel every S seconds (default 10; 0 none)\n"
           "  --idle-timeout S         a stream silent this long counts as lost (default 5)\n"
           "  --give-up S              after an outage this long, end the clients' sessions (default 60)\n"
           "  --backoff-max S          longest wait between reconnection attempts (default 30)\n"
           "\n"
           "Runs until Ctrl-C or SIGTERM; SIGUSR1 logs the state as JSON. Exit status: 0 stopped,\n"
           "1 could not serve (GStreamer, listen address in use), 2 usage error or bad site file.\n";
}

}  // namespace kn::gateway
