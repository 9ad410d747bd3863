// kestrel: a command-line host for networked video recorders, built on the
// library's public C interface alone.
#include <cstdio>
#include <string>

#include "tools/kestrel/commands.h"
#include "tools/kestrel/exit_codes.h"
#include "tools/kestrel/options.h"

using namespace kn::cli;

int main(int argc, char **argv)
{
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
