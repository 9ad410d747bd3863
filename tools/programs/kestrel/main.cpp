// kestrel: a command-line host for networked video recorders, built on the
// library's public C interface alone.
#include <dlfcn.h>

#include <csignal>

#include <cstdio>
#include <cstring>
#include <string>

#include "api/exports.h"
#include "tools/programs/gateway/gateway.h"
#include "tools/programs/kestrel/commands.h"
#include "tools/programs/kestrel/exit_codes.h"
#include "tools/programs/kestrel/options.h"

#ifndef KN_TOOL_VERSION
#  define KN_TOOL_VERSION "unknown"
#endif

using namespace kn::cli;

namespace {

// The library reports no version of its own: name the file that was loaded,
// and the release by a difference in behaviour (release 1.0.0.1 refuses
// reply time-outs below 1000 ms).
int PrintVersion()
{
    std::printf("kestrel %s\n", KN_TOOL_VERSION);
    Dl_info info{};
    const bool found = ::dladdr(reinterpret_cast<void *>(&KR_4100_Init), &info) != 0 && info.dli_fname != nullptr;
    const bool early = KR_4100_SetConnectTime(999) == 0;
    KR_4100_SetConnectTime(3000);
    std::printf("library %s (%s)\n", early ? "1.0.0.1" : "1.0.0.13", found ? info.dli_fname : "file not known");
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv)
{
    // The gateway is a server with a command line of its own.
    if (argc > 1 && std::strcmp(argv[1], "gateway") == 0) {
        return kn::gateway::RunGateway(argc - 1, argv + 1);
    }
    if (argc == 3 && std::strcmp(argv[1], "help") == 0 && std::strcmp(argv[2], "gateway") == 0) {
        char name[] = "gateway", help[] = "--help";
        char *args[] = {name, help};
        return kn::gateway::RunGateway(2, args);
    }
    Options options;
    std::string message;
    if (!ParseOptions(argc, argv, options, message)) {
        std::fprintf(stderr, "kestrel: %s\n(kestrel %s--help describes the options)\n", message.c_str(),
                     options.command.empty() ? "" : (options.command + " ").c_str());
        return kExitUsage;
    }
    if (options.version) {
        return PrintVersion();
    }
    if (options.help) {
        std::fputs(Usage(options.command).c_str(), stdout);
        return kExitOk;
    }
    const CommandInfo *command = FindCommand(options.command);
    if (command == nullptr || command->run == nullptr) {
        std::fputs(Usage("").c_str(), stdout);
        return kExitOk;
    }
    InstallInterruptHandler();
    // A file size limit (ulimit -f) fails the write, which is then
    // reported, instead of killing kestrel without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    return command->run(options);
}
