// The gateway's timing end to end: live frames are timed as they arrive, so
// a recorder at 30 frames a second plays at 30 through RTSP, and a client
// joining an open channel starts with its cached group of pictures and is
// at the live edge right after it; ffmpeg's own RTSP client is the judge.
#include "tests/gateway/media_tools_fixture.h"

#include <algorithm>
#include <sstream>

namespace kn::test {
namespace {

using GatewayTimingTest = CMediaToolsTest;

TEST_F(GatewayTimingTest, AThirtyFrameRecorderPlaysAtThirtyThroughRtsp)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder({"--clip", KN_SOURCE_DIR "/tools/testing/clip/sample30.h264", "--fps", "30"}));
    ASSERT_NE(0, StartGateway());
    // Four seconds of stream time: on a 25 grid 30 frames a second ran 20 %
    // ahead of the clock, and four seconds held only 100 of them.
    const RunResult r = Program(KN_FFMPEG_BIN, RecordArgs(Url(1), 4, Path("thirty.mp4")), "thirty");
    ASSERT_EQ(0, r.rc) << r.err;
    const RunResult info =
        Program(KN_FFPROBE_BIN,
                {"-v", "error", "-count_frames", "-show_entries",
                 "stream=avg_frame_rate,nb_read_frames:format=duration", "-of", "default=nw=1", Path("thirty.mp4")},
                "info");
    EXPECT_NEAR(120, Number(info.out, "nb_read_frames"), 8) << info.out;
    EXPECT_NEAR(30, Number(info.out, "avg_frame_rate"), 2) << info.out;
    ExpectDecodesFromAKeyframe(Path("thirty.mp4"), 100);
}

// One time a line, in seconds (ffprobe's csv), sorted.
std::vector<double> Times(const std::string &csv)
{
    std::vector<double> times;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line != "N/A") {
            times.push_back(std::stod(line));
        }
    }
    std::sort(times.begin(), times.end());
    return times;
}

TEST_F(GatewayTimingTest, AJoinerOfAnOpenChannelStartsWithTheCachedGroupAtTheLiveEdge)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway());
    // The first client opens the channel; the second joins half-way
    // through a group of pictures (the clip has a keyframe a second).
    CChildProcess first;
    ASSERT_TRUE(
        first.Start(KN_FFMPEG_BIN, RecordArgs(Url(2), 6, Path("first.mp4")), Path("first.out"), Path("first.err")));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("channel 2: stream opened") != std::string::npos; }));
    std::this_thread::sleep_for(1500ms);
    const RunResult joined = Program(KN_FFMPEG_BIN, RecordArgs(Url(2), 2, Path("joiner.mp4")), "joiner");
    ASSERT_EQ(0, joined.rc) << joined.err;
    EXPECT_EQ(0, first.Wait(40s)) << ReadText(Path("first.err"));
    // The joiner's first picture is the cached keyframe.
    ExpectDecodesFromAKeyframe(Path("joiner.mp4"), 40);
    std::smatch m;
    const std::string log = GatewayLog();
    ASSERT_TRUE(std::regex_search(log, m,
                                  std::regex("channel 2: client \\S+ started with ([0-9]+) cached frames?, a "
                                             "keyframe first")))
        << log;
    const size_t burst = std::stoul(m[1]);
    // The group came at once, stamped a millisecond apart: the first live
    // frame after it follows within a frame or two, where a joiner a whole
    // group behind would be burst x 40 ms later.
    const RunResult packets = Program(KN_FFPROBE_BIN,
                                      {"-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time", "-of",
                                       "csv=p=0", Path("joiner.mp4")},
                                      "packets");
    ASSERT_EQ(0, packets.rc) << packets.err;
    const std::vector<double> times = Times(packets.out);
    ASSERT_GT(times.size(), burst);
    EXPECT_LT(times[burst] - times[0], 0.15) << burst << " frames in the burst";
}

}  // namespace
}  // namespace kn::test
