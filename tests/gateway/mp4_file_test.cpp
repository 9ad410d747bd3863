// CMp4File against ffmpeg's own demuxer and decoder: the file starts on a
// keyframe, holds exactly the pictures written, lasts frames / 25 seconds,
// has its index in front (seekable, playable while loading), and refuses
// what it cannot write.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tools/programs/mp4/mp4_file.h"
#include "tools/testing/emulator/access_units.h"

namespace kn::test {
namespace {

using namespace std::chrono_literals;

#if defined(KN_FFPROBE_BIN) && defined(KN_FFMPEG_BIN)

class Mp4FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrel-mp4-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_Dir = pattern;
        ASSERT_TRUE(emu::ReadFileBytes(KN_SOURCE_DIR "/tools/testing/clip/sample.h264", m_Clip));
        m_Units = emu::SplitAccessUnits(m_Clip);
        ASSERT_EQ(75u, m_Units.size());
    }
    void TearDown() override { std::system(("rm -rf '" + m_Dir + "'").c_str()); }

    std::string Path(const std::string &name) const { return m_Dir + "/" + name; }

    // The units from..to-1, round the clip.
    emu::Bytes Stream(size_t from, size_t to) const
    {
        emu::Bytes out;
        for (size_t i = from; i < to; ++i) {
            const emu::Bytes &u = m_Units[i % m_Units.size()];
            out.insert(out.end(), u.begin(), u.end());
        }
        return out;
    }

    std::string Tool(const char *program, const std::vector<std::string> &args)
    {
        CChildProcess p;
        EXPECT_TRUE(p.Start(program, args, Path("tool.out"), Path("tool.err")));
        EXPECT_EQ(0, p.Wait(30s)) << ReadText(Path("tool.err"));
        return ReadText(Path("tool.out"));
    }

    // One line per decoded picture: its checksum (framemd5), nothing else.
    std::vector<std::string> Pictures(const std::string &file)
    {
        const std::string text = Tool(KN_FFMPEG_BIN, {"-v", "error", "-i", file, "-f", "framemd5", "-"});
        std::vector<std::string> sums;
        size_t at = 0;
        while ((at = text.find('\n', at)) != std::string::npos) {
            const size_t next = text.find('\n', at + 1);
            const std::string line = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
            if (!line.empty() && line[0] != '#') {
                sums.push_back(line.substr(line.rfind(',') + 1));
            }
            at = next == std::string::npos ? text.size() : next;
        }
        return sums;
    }

    std::string m_Dir;
    emu::Bytes m_Clip;
    std::vector<emu::Bytes> m_Units;
};

TEST_F(Mp4FileTest, StartsOnAKeyframeAndHoldsExactlyThePicturesWrittenAtTwentyFiveASecond)
{
    // From the middle of the first picture group, twice round the clip.
    const size_t from = 10, to = 150;
    mp4::CMp4File file;
    std::string message;
    ASSERT_TRUE(file.Open(Path("out.mp4"), message)) << message;
    for (size_t i = from; i < to; ++i) {
        const emu::Bytes &u = m_Units[i % m_Units.size()];
        ASSERT_TRUE(file.Write(u.data(), u.size()));
    }
    ASSERT_TRUE(file.Close(message)) << message;
    EXPECT_EQ(15, file.Skipped()) << "units before the keyframe of unit 25";
    EXPECT_EQ(125, file.Frames());

    const std::string info = Tool(KN_FFPROBE_BIN, {"-v", "error", "-count_frames", "-show_entries",
                                                   "stream=codec_name,width,height,avg_frame_rate,nb_read_frames:"
                                                   "format=duration",
                                                   "-of", "default=nw=1", Path("out.mp4")});
    EXPECT_NE(std::string::npos, info.find("codec_name=h264")) << info;
    EXPECT_NE(std::string::npos, info.find("width=352")) << info;
    EXPECT_NE(std::string::npos, info.find("avg_frame_rate=25/1")) << info;
    EXPECT_NE(std::string::npos, info.find("nb_read_frames=125")) << info;
    EXPECT_NE(std::string::npos, info.find("duration=5.000000")) << info;

    // The same pictures as the elementary stream from that keyframe on.
    std::ofstream(Path("ref.h264"), std::ios::binary)
        .write(reinterpret_cast<const char *>(Stream(25, to).data()),
               static_cast<std::streamsize>(Stream(25, to).size()));
    const std::vector<std::string> written = Pictures(Path("out.mp4"));
    EXPECT_EQ(125u, written.size());
    EXPECT_EQ(Pictures(Path("ref.h264")), written);

    // The index stands before the media: seekable and playable as it loads.
    const std::string bytes = ReadText(Path("out.mp4"));
    const size_t moov = bytes.find("moov"), mdat = bytes.find("mdat");
    ASSERT_NE(std::string::npos, moov);
    ASSERT_NE(std::string::npos, mdat);
    EXPECT_LT(moov, mdat);
}

TEST_F(Mp4FileTest, RefusesAFileItCannotCreateAndOneWithoutAKeyframe)
{
    std::string message;
    {
        mp4::CMp4File file;
        EXPECT_FALSE(file.Open(Path("no/such/folder/out.mp4"), message));
        EXPECT_NE(std::string::npos, message.find("cannot write")) << message;
        EXPECT_FALSE(file.Write(m_Units[0].data(), m_Units[0].size()));
    }
    mp4::CMp4File file;
    ASSERT_TRUE(file.Open(Path("empty.mp4"), message)) << message;
    for (size_t i = 1; i < 20; ++i) {
        ASSERT_TRUE(file.Write(m_Units[i].data(), m_Units[i].size()));
    }
    message.clear();
    EXPECT_FALSE(file.Close(message));
    EXPECT_NE(std::string::npos, message.find("no keyframe")) << message;
    EXPECT_EQ(19, file.Skipped());
}

#endif

}  // namespace
}  // namespace kn::test
