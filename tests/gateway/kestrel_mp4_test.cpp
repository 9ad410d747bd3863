// kestrel writing MP4 files and watching live video: live, playback and
// download into .mp4 against kestrel-recorder, judged by ffmpeg's own
// demuxer and decoder; --stats lines and summary; --reconnect across a
// dropped stream.
#include "tests/gateway/media_tools_fixture.h"

#include <fstream>

#include "tools/testing/emulator/access_units.h"

namespace kn::test {
namespace {

class KestrelMp4Test : public CMediaToolsTest {
protected:
    RunResult Kestrel(std::vector<std::string> args, const std::string &name = "kestrel")
    {
        args.insert(args.end(), {"-p", std::to_string(m_wRecorderPort)});
        return Program(KN_KESTREL_BIN, args, name, 60s);
    }

    // The decoded pictures of the clip's first n units, one checksum each.
    std::vector<std::string> ClipPictures(size_t n)
    {
        emu::Bytes clip, stream;
        EXPECT_TRUE(emu::ReadFileBytes(KN_SOURCE_DIR "/tools/testing/clip/sample.h264", clip));
        const std::vector<emu::Bytes> units = emu::SplitAccessUnits(clip);
        for (size_t i = 0; i < n; ++i) {
            stream.insert(stream.end(), units[i % units.size()].begin(), units[i % units.size()].end());
        }
        std::ofstream(Path("clip.h264"), std::ios::binary)
            .write(reinterpret_cast<const char *>(stream.data()), static_cast<std::streamsize>(stream.size()));
        return Pictures(Path("clip.h264"));
    }

    std::vector<std::string> Pictures(const std::string &file)
    {
        // Every picture once, whatever its time (live video is timed as it came).
        const RunResult r = Program(
            KN_FFMPEG_BIN, {"-v", "error", "-i", file, "-fps_mode", "passthrough", "-f", "framemd5", "-"}, "framemd5");
        EXPECT_EQ(0, r.rc) << r.err;
        std::vector<std::string> sums;
        const std::regex line("[^\\n#]*, *([0-9a-f]{32})\\n");
        for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line); it != std::sregex_iterator(); ++it) {
            sums.push_back((*it)[1]);
        }
        return sums;
    }

    std::string Info(const std::string &file)
    {
        return Program(KN_FFPROBE_BIN,
                       {"-v", "error", "-count_frames", "-show_entries",
                        "stream=codec_name,avg_frame_rate,nb_read_frames:format=duration", "-of", "default=nw=1", file},
                       "info")
            .out;
    }
};

TEST_F(KestrelMp4Test, LivePlaybackAndDownloadWriteMp4WithExactlyThePicturesSentAtTwentyFiveASecond)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    const struct {
        const char *what;
        std::vector<std::string> args;
        bool byArrival;  // live video is timed as it came: 2 s within a frame
    } cases[] = {
        {"live", {"live", "-c", "1", "--frames", "50"}, true},
        {"playback", {"playback", "--start", "2024-05-01 08:00:00", "--frames", "50"}, false},
        {"download", {"download", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:02"}, false},
    };
    const std::vector<std::string> sent = ClipPictures(50);  // each stream starts at the clip's first unit
    ASSERT_EQ(50u, sent.size());
    for (const auto &c : cases) {
        const std::string out = Path(std::string(c.what) + ".mp4");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", out});
        const RunResult r = Kestrel(args, c.what);
        ASSERT_EQ(0, r.rc) << c.what << ": " << r.err;
        const std::string info = Info(out);
        EXPECT_NE(std::string::npos, info.find("codec_name=h264")) << c.what << info;
        EXPECT_NE(std::string::npos, info.find("nb_read_frames=50")) << c.what << info;
        if (c.byArrival) {
            EXPECT_NEAR(25, Number(info, "avg_frame_rate"), 2) << c.what << info;
            // The frames the recorder sent with its acknowledgement keep
            // a frame time apart: 50 frames last 50 frame times.
            EXPECT_NEAR(2.0, Number(info, "duration"), 0.041) << c.what << info;
        } else {
            EXPECT_NE(std::string::npos, info.find("avg_frame_rate=25/1")) << c.what << info;
            EXPECT_NE(std::string::npos, info.find("duration=2.000000")) << c.what << info;
        }
        EXPECT_EQ(sent, Pictures(out)) << c.what;
        EXPECT_NE(0, ::access((out + ".part").c_str(), F_OK)) << c.what;
    }
}

// A 30 fps recorder: recordings last exactly as long as they are at the rate
// the stream declares, live video as long as it took, and a download is
// complete when its span came at 30 a second (not 25: 9 s of it would pass
// for 10 s at 25 a second).
TEST_F(KestrelMp4Test, AThirtyFrameRecorderGivesMp4FilesOfTheirTrueDurationAndDownloadsJudgedAtThirty)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder({"--clip", KN_SOURCE_DIR "/tools/testing/clip/sample30.h264", "--fps", "30",
                                "--download-cap", "9"}));
    const struct {
        const char *what;
        std::vector<std::string> args;
        int frames;
        double duration, tolerance;
    } cases[] = {
        {"live", {"live", "--duration", "3"}, 0, 2.8, 0.25},  // frames start 0.2 s after the opening
        {"playback", {"playback", "--start", "2024-05-01 08:00:00", "--frames", "45"}, 45, 1.5, 0},
        {"download", {"download", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:04"}, 120, 4.0, 0},
    };
    for (const auto &c : cases) {
        const std::string out = Path(std::string(c.what) + "30.mp4");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", out});
        const RunResult r = Kestrel(args, c.what);
        ASSERT_EQ(0, r.rc) << c.what << ": " << r.err;
        const std::string info = Info(out);
        EXPECT_NEAR(30, Number(info, "avg_frame_rate"), c.tolerance > 0 ? 1.5 : 0) << c.what << info;
        if (c.tolerance > 0) {
            // Live video lasts as long as its frames took to come: at 30 a
            // second whatever the load did to when the run was stopped.
            EXPECT_NEAR(Number(info, "nb_read_frames") / 30.0, Number(info, "duration"), c.tolerance) << c.what << info;
            EXPECT_GE(Number(info, "duration"), c.duration - c.tolerance) << c.what << info;
        } else {
            EXPECT_NEAR(c.duration, Number(info, "duration"), 1e-6) << c.what << info;
        }
        if (c.frames > 0) {
            EXPECT_EQ(c.frames, Number(info, "nb_read_frames")) << c.what << info;
        }
    }
    // 9 s of a 10 s span: 270 frames, which would be 10.8 s at 25 a second.
    const RunResult capped = Kestrel({"download", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:10",
                                      "--h264", "-o", Path("cap.h264")},
                                     "capped");
    EXPECT_EQ(7, capped.rc) << capped.err;
    EXPECT_NE(std::string::npos, capped.err.find("ended the download after 9.0 s of the 10 s asked (270 frames, "))
        << capped.err;
    EXPECT_NE(std::string::npos, capped.err.find("at 30 frames a second, as the stream declares)")) << capped.err;
}

// The MP4 muxer cannot write (its temporary file meets a full disk, here a
// file size limit): the job ends at once with the muxer's reason and status
// 1, whether the library is delivering a fast download or live video, and
// leaves no file that is not one.
TEST_F(KestrelMp4Test, AFailingMuxerEndsTheJobAtOnceWithItsReason)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    const std::string p = std::to_string(m_wRecorderPort);
    const struct {
        const char *what;
        std::string command;
    } cases[] = {
        // 60 s of recording: 1500 frames, over 7 s at the emulator's pace.
        {"download", "download --start '2024-05-01 08:00:00' --end '2024-05-01 08:01:00'"},
        {"live", "live"},
    };
    // Live video never ends by itself, so ending at all within the bound is
    // the proof there; a download shows it by being cut off at the recorder
    // long before its last frame, however loaded the machine is.
    for (const auto &c : cases) {
        const std::string out = Path(std::string(c.what) + ".mp4");
        const RunResult r =
            Program("/bin/sh",
                    {"-c", "ulimit -f 64; exec '" KN_KESTREL_BIN "' " + c.command + " -p " + p + " -o '" + out + "'"},
                    c.what, 30s);
        EXPECT_EQ(1, r.rc) << c.what << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find("kestrel: the MP4 muxer failed: ")) << c.what << ": " << r.err;
        EXPECT_NE(0, ::access(out.c_str(), F_OK)) << c.what;
    }
    std::smatch m;
    const std::string log = RecorderLog();
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex("download channel 0: ([0-9]+) frames sent, [0-9]+ payload bytes, connection gone")))
        << log;
    EXPECT_LT(std::stoi(m[1].str()), 1000) << "the download ran on after the muxer failed";
}

// Ctrl-C ends live video into an MP4 file as asked: the file is finished and
// plays; a second Ctrl-C is not needed.
TEST_F(KestrelMp4Test, CtrlCEndsLiveVideoIntoAFinishedMp4File)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    CChildProcess k;
    const std::string out = Path("ctrl-c.mp4");
    ASSERT_TRUE(k.Start(KN_KESTREL_BIN, {"live", "-p", std::to_string(m_wRecorderPort), "-o", out}, Path("k.out"),
                        Path("k.err")));
    ASSERT_TRUE(Eventually([&] { return RecorderLog().find("live channel 0 requested") != std::string::npos; }));
    std::this_thread::sleep_for(2s);
    k.Signal(SIGINT);
    EXPECT_EQ(0, k.Wait(20s)) << ReadText(Path("k.err"));
    ExpectDecodesFromAKeyframe(out, 25);
}

TEST_F(KestrelMp4Test, LiveStatsPrintsASecondlyLineAndASummary)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder());
    const RunResult r = Kestrel({"live", "--duration", "3.5", "--stats", "--h264", "-o", Path("live.h264")});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_GE(Count(r.err, std::regex("kestrel: live: [0-9]+ frames, [0-9.]+ fps, [0-9]+ kbit/s\\n")), 2u) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("2[0-9]\\.[0-9] fps"))) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("kestrel: [0-9]+ frames in 3\\.[0-9] s: 2[0-9.]+ fps, [0-9]+ kbit/s on average, "
                          "0 reconnections")))
        << r.err;
}

TEST_F(KestrelMp4Test, LiveReconnectKeepsOneRecordingGoingAcrossADroppedStream)
{
    KN_NEED_FFMPEG();
    ASSERT_NE(0, StartRecorder({"--drop-live-after", "30"}));
    const RunResult r = Kestrel({"live", "--reconnect", "--stats", "--duration", "5", "-o", Path("across.mp4")});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("reconnecting")) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("reconnected after [0-9.]+ s"))) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("on average, 1 reconnection\\n"))) << r.err;
    EXPECT_EQ(2u, Count(RecorderLog(), std::regex("live channel 0 requested")));
    ExpectDecodesFromAKeyframe(Path("across.mp4"), 60);  // more than the 30 before the drop
}

}  // namespace
}  // namespace kn::test
