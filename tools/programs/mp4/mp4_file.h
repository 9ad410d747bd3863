// CMp4File: H.264 access units written to an MP4 file that plays anywhere
// (browsers included) and is seekable: GStreamer's parser and MP4 muxer,
// with the index at the front of the file. A recording is timed by its
// frames' order at the frame rate the stream declares (else a fallback
// rate), so a download that arrives faster than real time still lasts as
// long as the recording; live video is timed by when each unit arrives.
// Every wait is bounded: a muxer that fails (a full disk) or stops making
// progress ends the file with a message, and an abort check (Ctrl-C) is
// polled throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/programs/mp4/frame_rate.h"

namespace kn::mp4 {

// True when this build can write MP4 (GStreamer was found at configure time).
bool Available();

enum class Timing {
    FrameRate,  // recordings: by order, at the declared rate or the fallback
    Arrival,    // live video: at the time each unit is written
};

struct Mp4Timing {
    Timing timing = Timing::FrameRate;
    double fallbackFps = 25;  // for a stream that declares no rate
};

class CMp4File {
public:
    CMp4File();
    ~CMp4File();  // Close() when still open
    CMp4File(const CMp4File &) = delete;
    CMp4File &operator=(const CMp4File &) = delete;

    // Creates the file; false with a message.
    bool Open(const std::string &path, std::string &message, Mp4Timing timing = {});
    // The muxer's bytes as they come, on its streaming thread, for a reader
    // that takes them while they are made; false makes writing fail (the
    // reader went away). It may wait for the reader, if its abort check
    // (SetAbort) ends every wait of Write and Close.
    using Output = std::function<bool(const uint8_t *data, size_t size)>;
    // Fragmented MP4 (an init segment, then a fragment a second) to
    // output instead of a file: it plays while it loads. Write waits
    // beyond queueBytes queued for the muxer.
    bool OpenStream(Output output, std::string &message, Mp4Timing timing = {}, size_t queueBytes = 1u << 20);
    // Polled while a call waits for the muxer; true makes the wait give up.
    void SetAbort(std::function<bool()> abort);
    // One Annex B access unit. Units before the first keyframe are skipped
    // (a file starts on a keyframe); a keyframe without SPS and PPS gets the
    // last ones seen. Waits while the muxer is more than a few MiB behind.
    // False once writing has failed (Failure() says why).
    bool Write(const uint8_t *unit, size_t size);
    // Ends the file and waits for the muxer to finish it, as long as it
    // makes progress; false with a message when the file is not complete.
    bool Close(std::string &message);

    long Frames() const;   // units written
    long Skipped() const;  // units before the first keyframe
    // The rate frames are timed by (frame-rate timing, once the first
    // keyframe came); unknown before and for arrival timing.
    FrameRate Rate() const;
    // Why writing failed; "" while it has not.
    std::string Failure() const;

private:
    bool Build(const char *sinkFactory, std::string &message, Mp4Timing timing);

    struct State;
    std::unique_ptr<State> m_pState;
};

}  // namespace kn::mp4
