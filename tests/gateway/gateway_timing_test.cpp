// The gateway's timing end to end: live frames are timed as they arrive, so
// a recorder at 30 frames a second plays at 30 through RTSP, and a client
// joining an open channel gets its cached group of pictures at once, each
// frame at its true time; ffmpeg's own clients are the judges.
#include "tests/gateway/media_tools_fixture.h"

#include <algorithm>
#include <map>
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

// A warm channel: a joiner gets the cached group at once, but each frame at
// its true time, so a recording of 50 frames lasts 50 frame times (within
// a frame) over RTSP and over the long HTTP response (fMP4), as a cold one
// does; the group still arrives at once.
TEST_F(GatewayTimingTest, AWarmRecordingLastsItsFramesOverEachFrontAndTheGroupArrivesAtOnce)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    ASSERT_NE(0, StartGateway({"--http", "127.0.0.1:0"}));
    const uint16_t http = PortLogged(Path("gateway.log"), std::regex("serving http://127\\.0\\.0\\.1:([0-9]+)/"));
    ASSERT_NE(0, http);
    // The first client opens the channel; the others join half-way
    // through a group of pictures (the clip has a keyframe a second).
    CChildProcess first;
    ASSERT_TRUE(
        first.Start(KN_FFMPEG_BIN, RecordArgs(Url(2), 8, Path("first.mp4")), Path("first.out"), Path("first.err")));
    ASSERT_TRUE(Eventually([&] { return GatewayLog().find("channel 2: stream opened") != std::string::npos; }));
    std::this_thread::sleep_for(1500ms);
    const std::string web = "http://127.0.0.1:" + std::to_string(http) + "/live/2.mp4";
    const struct {
        const char *name;
        std::vector<std::string> args;
    } joiners[] = {
        {"rtsp", {"-v", "error", "-rtsp_transport", "tcp", "-timeout", "15000000", "-i", Url(2)}},
        {"http", {"-v", "error", "-rw_timeout", "15000000", "-i", web}},
        // The same over RTSP, timed by when each frame came.
        {"arrivals", {"-v", "error", "-use_wallclock_as_timestamps", "1", "-rtsp_transport", "tcp", "-i", Url(2)}},
    };
    std::map<std::string, std::vector<double>> times;
    for (const auto &j : joiners) {
        std::vector<std::string> args = j.args;
        const std::string file = Path(std::string(j.name) + ".mp4");
        args.insert(args.end(), {"-frames:v", "50", "-c", "copy", "-y", file});
        const RunResult r = Program(KN_FFMPEG_BIN, args, j.name);
        ASSERT_EQ(0, r.rc) << j.name << ": " << r.err;
        ExpectDecodesFromAKeyframe(file, 50);
        const RunResult packets =
            Program(KN_FFPROBE_BIN,
                    {"-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time", "-of", "csv=p=0", file},
                    "packets");
        ASSERT_EQ(0, packets.rc) << packets.err;
        times[j.name] = Times(packets.out);
        ASSERT_EQ(50u, times[j.name].size()) << j.name;
    }
    EXPECT_EQ(0, first.Wait(40s)) << ReadText(Path("first.err"));
    for (const char *name : {"rtsp", "http"}) {
        // 49 frame times from the first frame to the last. Frames are timed
        // as they arrive, so either end may be off by the receiver's delay
        // on a loaded machine (up to a frame each); a group played at once
        // would be short by all the frames in it.
        EXPECT_NEAR(49 * 0.04, times[name].back() - times[name].front(), 2 * 0.041) << name;
    }
    const std::string log = GatewayLog();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m,
                                  std::regex("channel 2: client \\S+ started with ([0-9]+) cached frames?, a "
                                             "keyframe first")))
        << log;
    const size_t burst = std::stoul(m[1]);
    ASSERT_GE(burst, 10u) << "joined half-way through a group";
    // The group came at once, not at the pace it lasts.
    const std::vector<double> &arrived = times["arrivals"];
    EXPECT_LT(arrived[burst - 1] - arrived[0], (burst - 1) * 0.04 / 2) << burst << " frames in the burst";
}

}  // namespace
}  // namespace kn::test
