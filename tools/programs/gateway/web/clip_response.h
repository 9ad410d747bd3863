// CClipResponse: one HTTP request for a clip (/NAME/CH.mp4?start=..&end=..),
// answered by a CClipJob. Nothing is sent until the muxer's first bytes,
// so a recorder that has nothing there, does not answer or is lost before
// the first frames gets an error status. Then the MP4 goes out as it is made
// (chunked). A job that fails after that cannot change the status: the
// connection is closed without the chunked body's end, which every HTTP
// client reports as a truncated transfer, never as a complete file.
//
// The bytes the client has not taken are bounded: past the bound the
// muxer waits, and with it the download (see CClipJob). A client that goes
// away cancels the job, which stops the download from the recorder.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/programs/gateway/archive/clip_job.h"

typedef struct _SoupServerMessage SoupServerMessage;

namespace kn::gateway {

class CClipResponse final : public std::enable_shared_from_this<CClipResponse> {
public:
    // Bytes made and not yet written to the client before the muxer waits.
    static constexpr size_t kMaxUntaken = 1u << 20;

    // filename: what Content-Disposition proposes; ended is called once
    // on the main loop when the response is over (sent, failed or gone).
    CClipResponse(SoupServerMessage *msg, std::string filename, std::function<void()> ended);
    ~CClipResponse();
    CClipResponse(const CClipResponse &) = delete;
    CClipResponse &operator=(const CClipResponse &) = delete;

    // On the main loop: holds the message and starts the job.
    void Start(std::shared_ptr<CArchiveGate> gate, int channel, UnixTime start, UnixTime end);
    // On the main loop: cancels the job (the gateway stops).
    void Cancel();

private:
    bool Output(const uint8_t *data, size_t size);  // the muxer's thread
    void Flush();                                   // main loop
    void Finish(const ClipResult &result);          // main loop
    void Abort();                                   // main loop: the connection ends without the body's end
    void Post(std::function<void()> call);          // onto the main loop

    SoupServerMessage *m_pMsg;
    const std::string m_Filename;
    std::function<void()> m_Ended;
    std::shared_ptr<CClipJob> m_pJob;
    std::string m_Peer;

    std::mutex m_Mutex;
    std::condition_variable m_Room;
    std::vector<uint8_t> m_Pending;
    std::vector<uint8_t> m_Taking;  // main loop
    size_t m_nUntaken = 0;          // made and not yet written to the client
    bool m_bScheduled = false;
    bool m_bGone = false;  // the client went away

    // Main loop only.
    bool m_bHeadersSent = false;
    bool m_bOver = false;
    bool m_bFinished = false;  // libsoup is done with the message (the client went away)
    uint64_t m_nSent = 0;
};

}  // namespace kn::gateway
