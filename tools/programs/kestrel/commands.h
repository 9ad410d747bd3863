// The commands of kestrel; each returns its exit status (exit_codes.h).
// main() finds a command in the table by name; a new command is one more
// row (and its help text in options.cpp).
#pragma once

#include <string>

#include "tools/programs/kestrel/options.h"

namespace kn::cli {

int RunLogin(const Options &options);
int RunLive(const Options &options);
int RunPlayback(const Options &options);
int RunDownload(const Options &options);
int RunSearch(const Options &options);
int RunParam(const Options &options);
int RunTalk(const Options &options);

struct CommandInfo {
    const char *name;
    const char *summary;                 // one line of the overview
    int (*run)(const Options &options);  // null for help and version, which main() answers
};

// Every command, in the order the overview lists them.
const CommandInfo *CommandTable(size_t &count);
// The command of that name, or null.
const CommandInfo *FindCommand(const std::string &name);

// Set by SIGINT/SIGTERM: long commands stop as if their limit was reached.
bool Interrupted();
void InstallInterruptHandler();

}  // namespace kn::cli
