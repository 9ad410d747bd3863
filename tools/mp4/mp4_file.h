// CMp4File: H.264 access units written to an MP4 file that plays anywhere
// (browsers included) and is seekable: GStreamer's parser and MP4 muxer,
// with the index at the front of the file. Frames are timed at the
// recorder's 25 frames a second by their order, so a download that arrives
// faster than real time still lasts as long as the recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kn::mp4 {

// True when this build can write MP4 (GStreamer was found at configure time).
bool Available();

class CMp4File {
public:
    CMp4File();
    ~CMp4File();  // Close() when still open
    CMp4File(const CMp4File &) = delete;
    CMp4File &operator=(const CMp4File &) = delete;

    // Creates the file; false with a message.
    bool Open(const std::string &path, std::string &message);
    // One Annex B access unit. Units before the first keyframe are skipped
    // (a file starts on a keyframe); a keyframe without SPS and PPS gets the
    // last ones seen. False once writing has failed.
    bool Write(const uint8_t *unit, size_t size);
    // Ends the file and waits (bounded) for the muxer to finish it; false
    // with a message when the file is not complete.
    bool Close(std::string &message);

    long Frames() const;  // units written
    long Skipped() const;  // units before the first keyframe

private:
    struct State;
    std::unique_ptr<State> m_pState;
};

}  // namespace kn::mp4
