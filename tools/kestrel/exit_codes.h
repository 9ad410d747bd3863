// Exit status of kestrel, one per kind of failure, so that scripts can tell
// them apart. Listed in every --help text and in the README.
#pragma once

namespace kn::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,  // anything else: library start, local files
    kExitUsage = 2,  // bad command line
    kExitUnreachable = 3,  // name not resolved or no TCP connection to the recorder
    kExitRefused = 4,  // the recorder refused the login (or closed the connection)
    kExitTimeout = 5,  // no reply within the reply time-out
    kExitStream = 6,  // a stream could not be opened or was lost
};

inline constexpr const char *kExitCodeHelp =
    "Exit status: 0 done, 1 other failure (files, library), 2 usage error,\n"
    "3 recorder unreachable, 4 login refused, 5 request timed out,\n"
    "6 stream refused or lost.\n";

}  // namespace kn::cli
