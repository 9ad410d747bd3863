// kestrel-recorder: a recorder emulator to try a host against. See
// docs/recorder-emulator.md for what it serves and its conventions.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/testing/emulator/access_units.h"
#include "tools/testing/emulator/recorder_emulator.h"
#include "tools/testing/recorder/event_log.h"
#include "tools/testing/recorder/media_server.h"
#include "tools/testing/recorder/recorder_options.h"
#include "tools/testing/recorder/schedule.h"

#ifndef KN_DEFAULT_CLIP
#  define KN_DEFAULT_CLIP "sample.h264"
#endif

using namespace kn;

namespace {

// The bundled clip: an installed recorder finds it at a fixed place relative
// to its own binary; one run from the build tree reads the source tree's.
std::string DefaultClip()
{
#ifdef KN_INSTALLED_CLIP
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + KN_INSTALLED_CLIP;
        if (::access(path.c_str(), R_OK) == 0) {
            return path;
        }
    }
#endif
    return KN_DEFAULT_CLIP;
}

}  // namespace

int main(int argc, char **argv)
{
    bool help = false;
    std::string message;
    const auto options = recorder::ParseRecorderOptions(argc, argv, help, message);
    if (help) {
        std::fputs(recorder::RecorderUsage(), stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "kestrel-recorder: %s\n(kestrel-recorder --help lists the options)\n", message.c_str());
        return 2;
    }
    const std::string clipPath = options->clip.empty() ? DefaultClip() : options->clip;
    emu::Bytes clip;
    if (!emu::ReadFileBytes(clipPath, clip)) {
        std::fprintf(stderr, "kestrel-recorder: cannot read the clip %s\n", clipPath.c_str());
        return 1;
    }
    std::vector<emu::Bytes> frames;
    for (const emu::Bytes &unit : emu::SplitAccessUnits(clip)) {
        frames.push_back(emu::BuildFrame(emu::kClipFrameType, emu::WrapAccessUnit(unit)));
    }
    if (frames.empty()) {
        std::fprintf(stderr, "kestrel-recorder: %s holds no H.264 access units\n", clipPath.c_str());
        return 1;
    }

    // Signals are taken by this thread alone, with sigwait; every thread
    // started from here on inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);  // --raise-on-signal
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    recorder::CFrameLog frameLog;
    if (!options->frameLog.empty() && !frameLog.Open(options->frameLog, frames.size())) {
        std::fprintf(stderr, "kestrel-recorder: cannot write the frame log %s: %s\n", options->frameLog.c_str(),
                     std::strerror(errno));
        return 1;
    }
    emu::CRecorderEmulator emulator;
    recorder::CMediaServer server(emulator, frames, *options, options->frameLog.empty() ? nullptr : &frameLog);
    emulator.SetEventObserver([&server](const emu::EmulatorEvent &e) { server.OnEvent(e); });
    emulator.SetOpeningMedia([&server](const emu::ConnectionInfo &info, const emu::RecordedPacket &opening) {
        return server.OpeningMedia(info, opening);
    });
    if (options->answerSearches) {
        emulator.SetSearchHandler(recorder::ScheduleAnswer);
    } else {
        emulator.SetSearchHandler([](const emu::SearchQuery &) { return emu::SearchAnswer{false, {}, -1}; });
    }
    emulator.SetParamStore(true);
    emulator.SetKeepAudio(false);
    emulator.SetSilent(options->silent);
    // One login reply that both releases of the library read as accepted:
    // 1.0.0.13 takes payload byte 0 as the result, 1.0.0.1 reads byte 9 ('!').
    const uint8_t accepted = options->refuseLogin ? 0 : 1;
    emulator.SetLoginPayload({accepted, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(accepted ? '!' : 0)});
    emulator.SetCloseAfterLogin(options->dropAfterLogin);
    emulator.SetResetAfterPackets(options->dropAfterPackets);
    if (options->multicast) {
        emulator.SetLiveAnnounce(options->group, options->groupPort);
    }
    emulator.SetStreamId({0, 0, 0, 1});
    if (!emulator.Start(options->address.c_str(), options->port)) {
        std::fprintf(stderr, "kestrel-recorder: cannot listen on %s:%u (TCP and UDP): address in use or not local\n",
                     options->address.c_str(), static_cast<unsigned>(options->port));
        return 1;
    }
    recorder::LogEvent("listening on %s:%u, %d channels, %zu frames from %s", options->address.c_str(),
                       static_cast<unsigned>(emulator.Port()), options->channels, frames.size(), clipPath.c_str());

    int signal = 0;
    while (sigwait(&stopSignals, &signal) == 0 && signal == SIGUSR1) {
        server.Signal();
    }
    recorder::LogEvent("%s: stopping", signal == SIGINT ? "SIGINT" : "SIGTERM");
    server.Stop();
    emulator.Stop();
    if (!options->frameLog.empty()) {
        recorder::LogEvent("frame log: %llu frames in %s", frameLog.Close(), options->frameLog.c_str());
    }
    recorder::LogEvent("stopped");
    return 0;
}
