// CMediaServer: the media side of kestrel-recorder. It watches the
// emulator's events and, for each acknowledged opening, runs a sender that
// feeds the clip's frames to that connection: live video at --fps frames a
// second until stopped, playback paced by the host's controls until the
// recording ends, download as fast as it is read, then closed. With
// --message-every, a sender of recorder messages runs on each command channel
// from its login on. With --raise and --raise-on-signal, bits of the
// message's words are set and cleared on a schedule and on SIGUSR1, each
// change a message on every logged-in command channel.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "tools/testing/emulator/recorder_emulator.h"
#include "tools/testing/recorder/frame_log.h"
#include "tools/testing/recorder/recorder_options.h"

namespace kn::recorder {

class CMediaServer {
public:
    // frames: the clip's frames as they go on the wire (header and payload);
    // frameLog (may be null) gets a line per live frame the senders send.
    CMediaServer(emu::CRecorderEmulator &emulator, std::vector<emu::Bytes> frames, const RecorderOptions &options,
                 CFrameLog *frameLog = nullptr);
    ~CMediaServer();  // Stop()
    CMediaServer(const CMediaServer &) = delete;
    CMediaServer &operator=(const CMediaServer &) = delete;

    // The emulator's observer: logs the event and starts or steers senders.
    void OnEvent(const emu::EmulatorEvent &event);
    // The emulator's opening media: with no start delay, the first frames of
    // an opening leave in the same write as its acknowledgement, as an eager
    // recorder sends them; its sender then goes on from there.
    emu::Bytes OpeningMedia(const emu::ConnectionInfo &info, const emu::RecordedPacket &opening);
    // Ends every sender; later events are only logged.
    void Stop();
    // SIGUSR1: flips the bits of --raise-on-signal.
    void Signal();

private:
    struct Sender;

    void OnPacket(const emu::EmulatorEvent &event);
    void OnCommand(const emu::RecordedPacket &packet);
    void StartSender(const emu::ConnectionInfo &info, const emu::RecordedPacket &opening);
    void StartMessenger(const emu::ConnectionInfo &info);  // --message-every
    void Launch(std::unique_ptr<Sender> s);                // under m_Mutex
    // Frames an opening asks for (-1 endless), as its packet says.
    long FramesToSend(const emu::ConnectionInfo &info, const emu::RecordedPacket &opening) const;
    void Run(Sender &s);
    void RunMessages(Sender &s);
    bool SendFrame(Sender &s, size_t ordinal);
    void ReapFinished();  // under m_Mutex
    void RunRaises();     // --raise
    // Sets or clears bits (on unset: flips it) and sends the words, in one
    // message, to every logged-in command channel.
    struct BitChange {
        int word;
        int bit;
        std::optional<bool> on;
    };
    void ChangeBits(const std::vector<BitChange> &changes);
    static void Steer(Sender &s, uint8_t op, int level);  // under m_Mutex

    emu::CRecorderEmulator &m_Emulator;
    const std::vector<emu::Bytes> m_Frames;
    const RecorderOptions m_Options;
    CFrameLog *const m_pFrameLog;

    std::mutex m_Mutex;  // everything below and each sender's steering
    std::condition_variable m_Cond;
    bool m_bStopping = false;
    std::list<std::unique_ptr<Sender>> m_Senders;
    uint32_t m_nNextStreamId = 1;
    std::map<int, long> m_SentWithReply;  // connection: frames that left with its acknowledgement
    // Playback controls (operation, level) that came for the stream id the
    // last acknowledgement gave, before its sender started: a host may steer
    // a playback as soon as the acknowledgement is in.
    std::vector<std::pair<uint8_t, int>> m_EarlyControls;
    emu::Id4 m_EarlyControlsFor{};
    std::atomic<bool> m_bDroppedLive{false};  // --drop-live-after has been done
    std::set<int> m_LoggedIn;                 // command channels that logged in and are open
    std::mutex m_WordsMutex;                  // the words and the messages' order
    std::array<uint16_t, 3> m_Words{};
    uint32_t m_nRaised = 0;  // messages of --raise and --raise-on-signal sent
    std::thread m_Raiser;
};

}  // namespace kn::recorder
