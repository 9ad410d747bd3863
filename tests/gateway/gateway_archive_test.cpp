// The archive's playback control against the emulator, in-process: a
// control that waits for the library (here: for the archive while its
// session closes) holds no lock a frame needs, so the delivery of frames
// goes on meanwhile.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "api/exports.h"
#include "tools/programs/gateway/archive/archive_gate.h"
#include "tools/programs/gateway/archive/playback_feed.h"
#include "tools/programs/gateway/site/recorder_link.h"
#include "tools/testing/emulator/recorder_emulator.h"

namespace kn::gateway {
namespace {

using namespace std::chrono_literals;

TEST(GatewayPlaybackFeed, AControlWaitingForTheLibraryHoldsUpNoFrame)
{
    gst_init(nullptr, nullptr);
    emu::CRecorderEmulator recorder;
    ASSERT_TRUE(recorder.Start());
    recorder.SetRecordings(2026, 12, 9, {emu::Recording{8, 0, 0, 9, 0, 0, 1}});
    CLibraryHost library;
    ASSERT_TRUE(library.Start(1000));
    int32_t result = 0;
    void *session = KR_4100_Login("127.0.0.1", recorder.Port(), "admin", "", &result);
    ASSERT_NE(nullptr, session);
    auto gate = std::make_shared<CArchiveGate>("hall", 4, library);
    gate->LoggedIn(session);
    UnixTime start = 0;
    ASSERT_TRUE(ParseArchiveTime("2026-12-09T08:30:00", start));
    GstElement *appsrc = GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("appsrc", nullptr)));
    ASSERT_NE(nullptr, appsrc);
    auto feed = std::make_shared<CPlaybackFeed>(gate, 0, start, appsrc);
    std::string message;
    ASSERT_TRUE(feed->Start(message)) << message;
    feed->OpenPending();

    // The archive is held (its session is being closed): a pause waits.
    bool logoutNow = false;
    auto closing = gate->Closing(logoutNow);
    std::thread control([&] { feed->Pause(); });
    std::this_thread::sleep_for(100ms);  // the pause is under way
    std::atomic<bool> delivered{false};
    std::thread frame([&] {
        const unsigned char bytes[16] = {};
        feed->OnData(0, nullptr, 2, bytes, sizeof bytes);  // the delivery thread's next frame
        delivered = true;
    });
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (!delivered && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(delivered) << "the frame waited for the control";
    closing.unlock();
    control.join();
    frame.join();
    feed->Stop();
    if (logoutNow) {
        KR_4100_Logout(session);
    }
    library.Stop();
}

}  // namespace
}  // namespace kn::gateway
