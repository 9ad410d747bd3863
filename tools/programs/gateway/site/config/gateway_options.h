// The command line of `kestrel gateway`.
#pragma once

#include <cstdint>
#include <string>

namespace kn::gateway {

struct GatewayOptions {
    bool help = false;
    std::string configPath;  // --config: everything comes from this site file
    bool checkOnly = false;  // --check: read the site file and stop
    // The recorder
    std::string host = "127.0.0.1";
    uint16_t port = 5050;
    std::string user = "admin";
    std::string password;
    bool passwordOnCommandLine = false;  // visible in process listings: warned about
    uint32_t timeoutMs = 3000;
    int transport = 1;  // 1 TCP, 0 UDP, as KR_4100_RealPlay takes it
    int channels = 4;   // channels 0 .. channels-1 are served
    // The RTSP side
    std::string listenAddress = "127.0.0.1";
    uint16_t listenPort = 8554;  // 0: any free port (logged)
    // The clients' credentials, asked for by RTSP and HTTP alike.
    std::string rtspUser;
    std::string rtspPassword;
    // The HTTP side (web page, fMP4, snapshots, status)
    bool http = true;  // --http off: none
    std::string httpAddress = "127.0.0.1";
    uint16_t httpPort = 8560;          // 0: any free port (logged)
    int64_t webBufferBytes = 1 << 20;  // a web client's outstanding bytes before it skips
    // Timing, in milliseconds
    int64_t lingerMs = 10000;  // a stream stays open this long after its last client
    int64_t statsMs = 10000;   // statistics line interval; 0 none
    int64_t idleMs = 5000;     // a stream that delivers nothing this long is lost
    int64_t giveUpMs = 60000;  // an outage this long ends the clients' sessions
    int64_t backoffMaxMs = 30000;
};

// Fills options from the arguments after "gateway"; false with a message on
// a usage error. Passwords are taken from files and the environment here.
bool ParseGatewayOptions(int argc, char **argv, GatewayOptions &options, std::string &message);

// "ADDRESS:PORT", "ADDRESS" (port unchanged), "PORT" (address unchanged) or
// ":PORT" (any address).
bool SplitListen(const std::string &text, std::string &address, uint16_t &port);

// True for 127.0.0.0/8 and "localhost".
bool IsLoopback(const std::string &address);

const char *GatewayUsage();

}  // namespace kn::gateway
