// Host times with any 32-bit field values: every conversion to wire bytes and
// to seconds is defined (the sanitizer build aborts on signed overflow), and
// the bytes sent are the low 8 bits of each field as the wire format says.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "net/command_packet.h"
#include "net/messages.h"
#include "session/recording_search.h"
#include "support/frame_sink.h"
#include "support/recorder_fixture.h"

using kn::emu::ChannelKind;

namespace {

const DvrTime kExtremes[] = {
    {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX},
    {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN},
    {INT32_MAX - 47, 12, 31, 23, 59, 59},
    {-1, -1, -1, -1, -1, -1},
    {0, 0, 0, 0, 0, 0},
    {2024, 13, 40, 1000000, -1000000, INT32_MAX},
};

uint8_t Low8(int32_t v) { return static_cast<uint8_t>(static_cast<uint32_t>(v)); }

TEST(HostTime, YearByteIsDefinedForEveryYear)
{
    const struct {
        int32_t year;
        uint8_t byte;
    } cases[] = {{2000, 0},           {2009, 9},         {2255, 255}, {1999, 255}, {INT32_MAX, 0x2F},
                 {INT32_MAX - 47, 0}, {INT32_MIN, 0x30}, {-48, 0},    {-49, 255}};
    for (const auto &c : cases) {
        EXPECT_EQ(c.byte, kn::net::YearByte(c.year)) << c.year;
    }
}

// The day walk and the page filter take any host time without overflow and
// never walk more than their bound.
TEST(HostTime, SearchArithmeticIsDefinedForExtremeTimes)
{
    for (const DvrTime &start : kExtremes) {
        for (const DvrTime &end : kExtremes) {
            int days = 0;
            kn::CRecordingSearch::WalkDays(start, end, [&](const DvrTime &, const DvrTime &) {
                ++days;
                return 1;
            });
            EXPECT_GE(days, 1);
            EXPECT_LE(days, kn::CRecordingSearch::kMaxDays);
            kn::CRecordingSearch search;
            const uint8_t page[] = {1, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
            kn::net::SearchPage read;
            ASSERT_TRUE(kn::net::ReadSearchPage(page, sizeof page, read));
            EXPECT_TRUE(search.StorePage(start, end, read));
        }
    }
}

class HostTimeOnTheWire : public kn::test::RecorderTest {};

// Playback and download openings and a search with extreme times: the
// library sends the low 8 bits of each field (the year + 48) and nothing
// else goes wrong.
TEST_F(HostTimeOnTheWire, ExtremeTimesSendTheLowBytes)
{
    ASSERT_EQ(1, KR_4100_SetConnectTime(kn::test::kShortReplyTimeoutMs));
    m_Emu.SetSearchCount(0);
    void *session = Login();
    ASSERT_NE(nullptr, session);
    int n = 0;
    for (const DvrTime &t : kExtremes) {
        void *playback = KR_4100_PlayBack(session, 4, &t, kn::test::SinkCallback, 1);
        ASSERT_NE(nullptr, playback);
        void *download = KR_4100_DownLoad(session, 5, &t, &t, kn::test::SinkCallback, 2);
        ASSERT_NE(nullptr, download);
        const auto opens = m_Emu.PacketsWithCode(ChannelKind::Playback, 73);
        ASSERT_EQ(static_cast<size_t>(n + 1), opens.size());
        const std::vector<uint8_t> expected{Low8(static_cast<int32_t>(static_cast<uint32_t>(t.nYear) + 48u)),
                                            Low8(t.nMonth),
                                            Low8(t.nDay),
                                            4,
                                            Low8(t.nHour),
                                            Low8(t.nMinute),
                                            Low8(t.nSecond)};
        EXPECT_EQ(expected, opens.back().payload);
        const auto downloads = m_Emu.PacketsWithCode(ChannelKind::Download, 81);
        ASSERT_EQ(static_cast<size_t>(n + 1), downloads.size());
        EXPECT_EQ(Low8(t.nHour), downloads.back().payload.at(7));
        EXPECT_EQ(Low8(t.nSecond), downloads.back().payload.at(9));
        EXPECT_EQ(1, KR_4100_StopPlayBack(playback));
        EXPECT_EQ(1, KR_4100_StopDownLoad(download));
        KR_4100_FindFile(session, 1, 0, &t, &t);
        KR_4100_ClearFile(session);
        ++n;
    }
}

}  // namespace
