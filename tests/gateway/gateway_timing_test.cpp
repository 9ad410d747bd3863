// The gateway's timing end to end: live frames are timed as they arrive, so
// a recorder at 30 frames a second plays at 30 through RTSP, with ffmpeg's
// own RTSP client as the judge.
#include "tests/gateway/media_tools_fixture.h"

namespace kn::test {
namespace {

using GatewayTimingTest = CMediaToolsTest;

TEST_F(GatewayTimingTest, AThirtyFrameRecorderPlaysAtThirtyThroughRtsp)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder({"--clip", KN_SOURCE_DIR "/tools/clip/sample30.h264", "--fps", "30"}));
    ASSERT_NE(0, StartGateway());
    // Four seconds of stream time: on a 25 grid 30 frames a second ran 20 %
    // ahead of the clock, and four seconds held only 100 of them.
    const RunResult r = Program(KN_FFMPEG_BIN, RecordArgs(Url(1), 4, Path("thirty.mp4")), "thirty");
    ASSERT_EQ(0, r.rc) << r.err;
    const RunResult info = Program(KN_FFPROBE_BIN,
                                   {"-v", "error", "-count_frames", "-show_entries",
                                    "stream=avg_frame_rate,nb_read_frames:format=duration", "-of", "default=nw=1",
                                    Path("thirty.mp4")},
                                   "info");
    EXPECT_NEAR(120, Number(info.out, "nb_read_frames"), 8) << info.out;
    EXPECT_NEAR(30, Number(info.out, "avg_frame_rate"), 2) << info.out;
    ExpectDecodesFromAKeyframe(Path("thirty.mp4"), 100);
}

}  // namespace
}  // namespace kn::test
