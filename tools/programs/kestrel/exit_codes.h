// Exit status of kestrel, one per kind of failure, so that scripts can tell
// them apart. Listed in every --help text and in the README.
#pragma once

namespace kn::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,        // anything else: library start, local files
    kExitUsage = 2,          // bad command line
    kExitUnreachable = 3,    // name not resolved or no TCP connection to the recorder
    kExitRefused = 4,        // the recorder refused the login (or closed the connection)
    kExitTimeout = 5,        // no reply within the reply time-out
    kExitStream = 6,         // a stream could not be opened, or the stream or recorder was lost (any command)
    kExitIncomplete = 7,     // the job ended early for another reason; what came is kept in FILE.part
    kExitNothing = 8,        // the stream brought no frame at all (no recording there, no such channel)
    kExitInterrupted = 130,  // Ctrl-C (SIGINT) or SIGTERM ended a job before its end
};

inline constexpr const char *kExitCodeHelp =
    "Exit status: 0 done, 1 other failure (files, library), 2 usage error,\n"
    "3 recorder unreachable, 4 login refused (or connection closed), 5 request timed\n"
    "out, 6 stream refused or lost (or the recorder lost, on every command),\n"
    "7 incomplete: ended before its end for another reason (what came is kept in\n"
    "FILE.part), 8 nothing received,\n"
    "130 interrupted by Ctrl-C before the end (a live view without --duration or\n"
    "--frames ends with Ctrl-C as asked: 0).\n";

}  // namespace kn::cli
