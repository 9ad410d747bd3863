// kestrel writing MP4 files and watching live video: live, playback and
// download into .mp4 against kestrel-recorder, judged by ffmpeg's own
// demuxer and decoder; --stats lines and summary; --reconnect across a
// dropped stream.
#include "tests/gateway/media_tools_fixture.h"

#include <fstream>

#include "tools/emulator/access_units.h"

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
        EXPECT_TRUE(emu::ReadFileBytes(KN_SOURCE_DIR "/tools/clip/sample.h264", clip));
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
        const RunResult r = Program(KN_FFMPEG_BIN, {"-v", "error", "-i", file, "-f", "framemd5", "-"}, "framemd5");
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
                        "stream=codec_name,avg_frame_rate,nb_read_frames:format=duration", "-of", "default=nw=1",
                        file},
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
    } cases[] = {
        {"live", {"live", "-c", "1", "--frames", "50"}},
        {"playback", {"playback", "--start", "2024-05-01 08:00:00", "--frames", "50"}},
        {"download", {"download", "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:02"}},
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
        EXPECT_NE(std::string::npos, info.find("avg_frame_rate=25/1")) << c.what << info;
        EXPECT_NE(std::string::npos, info.find("nb_read_frames=50")) << c.what << info;
        EXPECT_NE(std::string::npos, info.find("duration=2.000000")) << c.what << info;
        EXPECT_EQ(sent, Pictures(out)) << c.what;
        EXPECT_NE(0, ::access((out + ".part").c_str(), F_OK)) << c.what;
    }
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
