// The commands of kestrel; each returns its exit status (exit_codes.h).
#pragma once

#include "tools/kestrel/options.h"

namespace kn::cli {

int RunLogin(const Options &options);
int RunLive(const Options &options);
int RunPlayback(const Options &options);
int RunDownload(const Options &options);
int RunSearch(const Options &options);
int RunParam(const Options &options);
int RunTalk(const Options &options);

// Set by SIGINT/SIGTERM: long commands stop as if their limit was reached.
bool Interrupted();
void InstallInterruptHandler();

}  // namespace kn::cli
