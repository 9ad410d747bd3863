// CPlaybackFeed: an RTSP client's playback of a recording
// (rtsp://HOST:PORT/NAME/CH?start=T). The client's pipeline is the live
// one (appsrc ! h264parse ! rtph264pay), but its source is seekable and
// fed by a playback stream of the library, timed by the frames' order at
// the recording's frame rate from the start time. The RTSP requests act on
// the recorder through the library's playback control: PLAY with a Range
// (a seek) opens the playback again at the start time plus that offset,
// PAUSE pauses the recorder, PLAY resumes it. The media's duration is what
// the recording holds from the start time, so players can seek within it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/access_unit.h"
#include "tools/common/parameter_sets.h"
#include "tools/programs/gateway/archive/archive_gate.h"
#include "tools/programs/gateway/archive/archive_search.h"
#include "tools/programs/gateway/site/recorder_link.h"
#include "tools/programs/mp4/frame_rate.h"

typedef struct _GstElement GstElement;
typedef struct _GstRTSPMedia GstRTSPMedia;
typedef struct _GstRTSPMediaFactory GstRTSPMediaFactory;

namespace kn::gateway {

class CPlaybackFeed final : public ILibraryClient, public std::enable_shared_from_this<CPlaybackFeed> {
public:
    CPlaybackFeed(std::shared_ptr<CArchiveGate> gate, int channel, UnixTime start, GstElement *appsrc);
    ~CPlaybackFeed() override;  // Stop()
    CPlaybackFeed(const CPlaybackFeed &) = delete;
    CPlaybackFeed &operator=(const CPlaybackFeed &) = delete;

    // Finds the recording at the start time and opens the playback; false
    // (the client is answered with an error) when nothing is recorded there
    // or the recorder does not open it.
    bool Start(std::string &message);
    // Stops the playback and takes no more frames.
    void Stop();
    // Opens the playback at the position asked for last (the start time,
    // or a seek's target), once (the source wants data).
    void OpenPending();
    // The client's RTSP requests.
    void Pause();
    void Resume();

    void OnData(int channel, void *hStream, uint32_t type, const unsigned char *data, int32_t len) override;
    void OnNotice() override {}

private:
    // Opens the playback at the start time plus offset.
    bool Open(uint64_t offsetNs);
    // A seek to the start time plus offset: stops the playback; the next
    // want of data opens it there.
    void Seek(uint64_t offsetNs);
    static int OnSeek(GstElement *appsrc, uint64_t offset, void *self);

    const std::shared_ptr<CArchiveGate> m_pGate;
    const int m_nChannel;
    const UnixTime m_Start;
    GstElement *m_pAppSrc;
    uint32_t m_nRoute = 0;
    std::atomic<bool> m_bStopped{false};

    std::mutex m_Mutex;  // the stream and its timing
    void *m_hStream = nullptr;
    bool m_bPending = true;  // an opening is to be made at m_nPendingNs
    uint64_t m_nPendingNs = 0;
    bool m_bOpening = false;  // frames of the opening under way are taken
    bool m_bPaused = false;
    uint64_t m_nBaseNs = 0;   // the media time of the playback's start
    long m_nFrames = 0;       // pushed since that start
    bool m_bStarted = false;  // a keyframe has been pushed since
    common::CParameterSets m_Sets;
    mp4::FrameRate m_Rate;
    std::vector<uint8_t> m_Unit;
};

// The media-configure step for a playback: when the client's URL asks for
// one (a start= in its query) and the factory serves a recorder's channel,
// makes the media a playback and returns true; false for live video.
bool ConfigurePlayback(GstRTSPMediaFactory *factory, GstRTSPMedia *media, int channel);
// Whether a media is a recording's playback (made by ConfigurePlayback).
bool IsPlayback(GstRTSPMedia *media);
// Marks a factory with the recorder's archive, for ConfigurePlayback.
void SetFactoryArchive(GstRTSPMediaFactory *factory, std::shared_ptr<CArchiveGate> gate);

}  // namespace kn::gateway
