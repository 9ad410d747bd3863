#include "tools/programs/kestrel/commands.h"

#include <iterator>

namespace kn::cli {

namespace {

const CommandInfo kCommands[] = {
    {"login", "log in and out", RunLogin},
    {"live", "receive live video (until Ctrl-C without --duration or --frames)", RunLive},
    {"search", "list recordings", RunSearch},
    {"playback", "play a recording back", RunPlayback},
    {"download", "download recorded video", RunDownload},
    {"param", "read or write a device parameter", RunParam},
    {"talk", "send audio", RunTalk},
    {"gateway", "serve every channel over RTSP (kestrel gateway --help)", nullptr},
    {"help", "describe a command: kestrel help COMMAND", nullptr},
    {"version", "print the versions of kestrel and of the library it loaded", nullptr},
};

}  // namespace

const CommandInfo *CommandTable(size_t &count)
{
    count = std::size(kCommands);
    return kCommands;
}

const CommandInfo *FindCommand(const std::string &name)
{
    for (const CommandInfo &c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace kn::cli
