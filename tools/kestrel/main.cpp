// kestrel: a command-line host for networked video recorders, built on the
// library's public C interface alone.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/gateway/gateway.h"
#include "tools/kestrel/commands.h"
#include "tools/kestrel/exit_codes.h"
#include "tools/kestrel/options.h"

using namespace kn::cli;

int main(int argc, char **argv)
{
    // The gateway is a server with a command line of its own.
    if (argc > 1 && std::strcmp(argv[1], "gateway") == 0) {
        return kn::gateway::RunGateway(argc - 1, argv + 1);
    }
    Options options;
    std::string message;
    if (!ParseOptions(argc, argv, options, message)) {
        std::fprintf(stderr, "kestrel: %s\n(kestrel %s--help describes the options)\n", message.c_str(),
                     options.command.empty() ? "" : (options.command + " ").c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(Usage(options.command).c_str(), stdout);
        return kExitOk;
    }
    InstallInterruptHandler();
    if (options.command == "login") {
        return RunLogin(options);
    }
    if (options.command == "live") {
        return RunLive(options);
    }
    if (options.command == "playback") {
        return RunPlayback(options);
    }
    if (options.command == "download") {
        return RunDownload(options);
    }
    if (options.command == "search") {
        return RunSearch(options);
    }
    if (options.command == "param") {
        return RunParam(options);
    }
    return RunTalk(options);
}
