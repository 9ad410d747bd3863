#include "tools/programs/gateway/site/config/gateway_options.h"

#include <arpa/inet.h>

#include "tools/common/command_line.h"
#include "tools/common/password_source.h"

namespace kn::gateway {

namespace {

constexpr const char *kDefaultPasswordEnv = "KESTREL_PASSWORD";
constexpr const char *kDefaultRtspPasswordEnv = "KESTREL_RTSP_PASSWORD";

bool ParsePort(const std::string &text, uint16_t &port)
{
    int v = 0;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        !CLI::detail::lexical_cast(text, v) || v > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(v);
    return true;
}

// A time option given in seconds (with an optional fraction), kept in ms.
void AddSeconds(CLI::App &app, const std::string &name, int64_t &ms, double lowest, const std::string &what)
{
    app.add_option_function<double>(name, [&ms](double seconds) { ms = static_cast<int64_t>(seconds * 1000 + 0.5); })
        ->check(common::NumberIn(lowest, 86400, what));
}

}  // namespace

bool SplitListen(const std::string &text, std::string &address, uint16_t &port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        // A bare port number, or a bare address with the default port.
        if (ParsePort(text, port)) {
            return true;
        }
        address = text;
        return !address.empty();
    }
    if (!ParsePort(text.substr(colon + 1), port)) {
        return false;
    }
    address = colon == 0 ? std::string("0.0.0.0") : text.substr(0, colon);
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
    common::PasswordSource password, rtspPassword;
    CLI::App app;
    common::PrepareCommandLine(app);
    app.add_option("--config", o.configPath);
    app.add_flag("--check", o.checkOnly);
    app.add_option("-H,--host", o.host);
    app.add_option("-p,--port", o.port)->check(common::IntegerIn(1, 65535, "a port number 1-65535"));
    app.add_option("-u,--user", o.user);
    app.add_option("--password", password.text)->each([&password](const std::string &) { password.textGiven = true; });
    app.add_option("--password-file", password.file);
    app.add_option("--password-env", password.env);
    app.add_option("--timeout", o.timeoutMs)->check(common::IntegerIn(1, 600000, "milliseconds 1-600000"));
    app.add_option_function<std::string>("--transport",
                                         [&o](const std::string &v) { o.transport = v == "tcp" ? 1 : 0; })
        ->check(common::Takes("tcp or udp", [](const std::string &v) { return v == "tcp" || v == "udp"; }));
    app.add_option("--channels", o.channels)->check(common::IntegerIn(1, 32, "a count 1-32"));
    app.add_option_function<std::string>("--listen", [&o](const std::string &v) {
        if (!SplitListen(v, o.listenAddress, o.listenPort)) {
            common::RefuseValue("--listen", "ADDRESS:PORT, ADDRESS or PORT", v);
        }
    });
    app.add_option_function<std::string>("--http", [&o](const std::string &v) {
        o.http = v != "off";
        if (o.http && !SplitListen(v, o.httpAddress, o.httpPort)) {
            common::RefuseValue("--http", "ADDRESS:PORT, ADDRESS, PORT or off", v);
        }
    });
    app.add_option_function<int64_t>("--web-buffer", [&o](int64_t kib) { o.webBufferBytes = kib * 1024; })
        ->check(common::IntegerIn(16, 65536, "KiB 16-65536"));
    app.add_option("--rtsp-user", o.rtspUser);
    app.add_option("--rtsp-password", rtspPassword.text)->each([&rtspPassword](const std::string &) {
        rtspPassword.textGiven = true;
    });
    app.add_option("--rtsp-password-file", rtspPassword.file);
    app.add_option("--rtsp-password-env", rtspPassword.env);
    AddSeconds(app, "--linger", o.lingerMs, 0, "seconds 0-86400");
    AddSeconds(app, "--stats", o.statsMs, 0, "seconds 0-86400");
    AddSeconds(app, "--idle-timeout", o.idleMs, 0.1, "seconds, at least 0.1 (at most 86400)");
    AddSeconds(app, "--give-up", o.giveUpMs, 0, "seconds 0-86400");
    AddSeconds(app, "--backoff-max", o.backoffMaxMs, 0.1, "seconds, at least 0.1 (at most 86400)");
    switch (common::ParseCommandLine(app, argc, argv, message, "kestrel gateway")) {
    case common::CommandLineOutcome::Help: o.help = true; return true;
    case common::CommandLineOutcome::Usage: return false;
    case common::CommandLineOutcome::Parsed: break;
    }

    if (o.checkOnly || !o.configPath.empty()) {
        if (o.configPath.empty()) {
            message = "--check needs --config FILE";
            return false;
        }
        if (app.count_all() != (o.checkOnly ? 2u : 1u)) {  // --config FILE and --check
            message = "--config takes everything from the site file: give it alone (or with --check)";
            return false;
        }
        return true;
    }
    // The passwords: a file or the environment keep them out of process
    // listings.
    if (!common::ResolvePassword(password, kDefaultPasswordEnv, o.password, message) ||
        !common::ResolvePassword(rtspPassword, kDefaultRtspPasswordEnv, o.rtspPassword, message, "RTSP password")) {
        return false;
    }
    o.passwordOnCommandLine = password.FromCommandLine();
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
           "Runs until Ctrl-C or SIGTERM; SIGUSR1 logs the state as JSON.\n"
           "Exit status: 0 stopped, 1 could not serve (GStreamer or an element missing, the library),\n"
           "2 usage error or bad site file, 3 a listen address (RTSP or HTTP) could not be opened:\n"
           "in use, not local or not allowed (--http off runs without the web side).\n";
}

}  // namespace kn::gateway
