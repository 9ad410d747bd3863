// Recording search against the recorder emulator: the day queries on the
// wire, the hour filter, the result walk and replies that lie or say little.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/recorder_fixture.h"

using kn::emu::Bytes;
using kn::emu::Recording;
using kn::emu::SearchAnswer;
using kn::emu::SearchQuery;
using kn::test::kWait;

namespace {

constexpr uint8_t kQuery = 69;
constexpr uint8_t kQueryReply = 71;

DvrTime T(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) { return {y, mo, d, h, mi, s}; }

Recording Rec(int sh, int sm, int ss, int eh, int em, int es, uint32_t value)
{
    return {static_cast<uint8_t>(sh),
            static_cast<uint8_t>(sm),
            static_cast<uint8_t>(ss),
            static_cast<uint8_t>(eh),
            static_cast<uint8_t>(em),
            static_cast<uint8_t>(es),
            value};
}

class SearchTest : public kn::test::LoggedInTest {
protected:
    void SetUp() override
    {
        LoggedInTest::SetUp();
        KR_4100_SetConnectTime(10000);
    }

    std::vector<Bytes> Queries() const
    {
        std::vector<Bytes> out;
        for (const auto &p : m_Emu.PacketsWithCode(kn::emu::ChannelKind::Command, kQuery)) {
            out.push_back(p.payload);
        }
        return out;
    }

    std::vector<DvrFileRecord> Drain(int32_t *last = nullptr)
    {
        std::vector<DvrFileRecord> out;
        DvrFileRecord r{};
        int32_t code;
        while ((code = KR_4100_FindNextFile(m_hSession, &r)) == KR_4100_FIND_RECORD && out.size() < 5000) {
            out.push_back(r);
        }
        if (last) {
            *last = code;
        }
        return out;
    }
};

bool Same(const DvrTime &a, const DvrTime &b)
{
    return a.nYear == b.nYear && a.nMonth == b.nMonth && a.nDay == b.nDay && a.nHour == b.nHour &&
           a.nMinute == b.nMinute && a.nSecond == b.nSecond;
}

}  // namespace

TEST_F(SearchTest, QueryBytesAndRecordFields)
{
    m_Emu.SetRecordings(2009, 7, 14, {Rec(8, 30, 5, 9, 45, 59, 0xA1B2C3D4)});
    const DvrTime start = T(2009, 7, 14, 0, 0, 0), end = T(2009, 7, 14, 23, 59, 59);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 3, 0x1234, &start, &end));
    ASSERT_EQ((std::vector<Bytes>{{9, 7, 14, 3, 0x34}}), Queries());

    const auto recs = Drain();
    ASSERT_EQ(1u, recs.size());
    EXPECT_TRUE(Same(T(2009, 7, 14, 8, 30, 5), recs[0].Start));
    EXPECT_TRUE(Same(T(2009, 7, 14, 9, 45, 59), recs[0].End));
    EXPECT_EQ(0xA1B2C3D4u, recs[0].dwValue);

    // Channel and selector go out as their low 8 bits.
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0x105, -1, &start, &end));
    EXPECT_EQ((Bytes{9, 7, 14, 5, 0xFF}), Queries().back());
}

TEST_F(SearchTest, DayWalkRollsOverMonthAndYear)
{
    const DvrTime start = T(2009, 12, 30, 20, 0, 0), end = T(2010, 1, 2, 6, 0, 0);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 1, 2, &start, &end));
    const std::vector<Bytes> expected = {{9, 12, 30, 1, 2}, {9, 12, 31, 1, 2}, {10, 1, 1, 1, 2}, {10, 1, 2, 1, 2}};
    EXPECT_EQ(expected, Queries());

    // 28 February of a leap year walks into 29 February, then March.
    const DvrTime s2 = T(2012, 2, 28), e2 = T(2012, 3, 1);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 1, 2, &s2, &e2));
    const auto q = Queries();
    ASSERT_EQ(7u, q.size());
    EXPECT_EQ((Bytes{12, 2, 29, 1, 2}), q[5]);
    EXPECT_EQ((Bytes{12, 3, 1, 1, 2}), q[6]);
}

TEST_F(SearchTest, HourFilterKeepsRecordingsTouchingTheBounds)
{
    m_Emu.SetRecordings(2015, 5, 5,
                        {Rec(9, 0, 0, 10, 0, 0, 1), Rec(12, 0, 1, 13, 0, 0, 2), Rec(12, 0, 0, 12, 30, 0, 3),
                         Rec(8, 0, 0, 9, 59, 59, 4), Rec(9, 0, 0, 14, 0, 0, 5), Rec(10, 30, 0, 11, 0, 0, 6)});
    const DvrTime start = T(2015, 5, 5, 10, 0, 0), end = T(2015, 5, 5, 12, 0, 0);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &start, &end));
    EXPECT_EQ(1u, Queries().size());
    std::vector<uint32_t> values;
    for (const auto &r : Drain()) {
        values.push_back(r.dwValue);
    }
    EXPECT_EQ((std::vector<uint32_t>{1, 3, 5, 6}), values);
}

TEST_F(SearchTest, ThreeDaysFilterEachDayByItsOwnHours)
{
    // Each day has a recording before 06:00 and one after 20:00.
    for (int d : {10, 11, 12}) {
        m_Emu.SetRecordings(2020, 3, d, {Rec(5, 0, 0, 5, 30, 0, d * 10 + 1), Rec(21, 0, 0, 21, 30, 0, d * 10 + 2)});
    }
    const DvrTime start = T(2020, 3, 10, 20, 0, 0), end = T(2020, 3, 12, 6, 0, 0);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &start, &end));
    EXPECT_EQ(3u, Queries().size());
    const auto recs = Drain();
    std::vector<uint32_t> values;
    for (const auto &r : recs) {
        values.push_back(r.dwValue);
    }
    EXPECT_EQ((std::vector<uint32_t>{102, 111, 112, 121}), values);
    ASSERT_EQ(4u, recs.size());
    EXPECT_EQ(11, recs[1].Start.nDay);
    EXPECT_EQ(11, recs[1].End.nDay);
}

TEST_F(SearchTest, EndBeforeStartAsksForTheStartDayOnly)
{
    m_Emu.SetRecordings(2018, 6, 20, {Rec(1, 0, 0, 2, 0, 0, 1), Rec(7, 0, 0, 8, 0, 0, 2)});
    const DvrTime start = T(2018, 6, 20, 0, 0, 0), end = T(2018, 6, 1, 3, 0, 0);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &start, &end));
    EXPECT_EQ((std::vector<Bytes>{{18, 6, 20, 0, 0}}), Queries());
    const auto recs = Drain();
    ASSERT_EQ(1u, recs.size());  // the day ends at the end's time of day
    EXPECT_EQ(1u, recs[0].dwValue);
}

TEST_F(SearchTest, LongSearchStopsAfter1024Days)
{
    const DvrTime start = T(2001, 1, 1), end = T(2006, 6, 23);  // 2000 days
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &start, &end));
    const auto q = Queries();
    ASSERT_EQ(1024u, q.size());
    EXPECT_EQ((Bytes{1, 1, 1, 0, 0}), q.front());
    EXPECT_EQ((Bytes{3, 10, 21, 0, 0}), q.back());  // 1 January 2001 + 1023 days
    int32_t last = 0;
    EXPECT_TRUE(Drain(&last).empty());
    EXPECT_EQ(KR_4100_FIND_NONE, last);
}

TEST_F(SearchTest, SilentDayEndsTheSearchAndKeepsEarlierPages)
{
    KR_4100_SetConnectTime(200);
    m_Emu.SetRecordings(2011, 4, 1, {Rec(1, 0, 0, 2, 0, 0, 1)});
    m_Emu.SetRecordings(2011, 4, 3, {Rec(1, 0, 0, 2, 0, 0, 3)});
    m_Emu.SetSearchSilentDate(2011, 4, 2);
    const DvrTime start = T(2011, 4, 1), end = T(2011, 4, 5, 23, 59, 59);
    EXPECT_EQ(0, KR_4100_FindFile(m_hSession, 0, 0, &start, &end));
    EXPECT_EQ(2u, Queries().size());
    int32_t last = 0;
    const auto recs = Drain(&last);
    ASSERT_EQ(1u, recs.size());
    EXPECT_EQ(1u, recs[0].dwValue);
    EXPECT_EQ(KR_4100_FIND_FINISHED, last);
}

TEST_F(SearchTest, ResultWalkCodesAppendAndClear)
{
    DvrFileRecord r{};
    EXPECT_EQ(KR_4100_FIND_NONE, KR_4100_FindNextFile(m_hSession, &r));

    m_Emu.SetRecordings(2016, 1, 1, {Rec(1, 0, 0, 2, 0, 0, 1), Rec(3, 0, 0, 4, 0, 0, 2)});
    m_Emu.SetRecordings(2016, 1, 2, {Rec(5, 0, 0, 6, 0, 0, 3)});
    const DvrTime d1 = T(2016, 1, 1), d1e = T(2016, 1, 1, 23, 59, 59);
    const DvrTime d2 = T(2016, 1, 2), d2e = T(2016, 1, 2, 23, 59, 59);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &d1, &d1e));
    ASSERT_EQ(KR_4100_FIND_RECORD, KR_4100_FindNextFile(m_hSession, &r));
    EXPECT_EQ(1u, r.dwValue);
    // A second search without clearing: its results follow, the walk goes on.
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &d2, &d2e));
    int32_t last = 0;
    auto recs = Drain(&last);
    ASSERT_EQ(2u, recs.size());
    EXPECT_EQ(2u, recs[0].dwValue);
    EXPECT_EQ(3u, recs[1].dwValue);
    EXPECT_EQ(2, recs[1].Start.nDay);
    EXPECT_EQ(KR_4100_FIND_FINISHED, last);
    EXPECT_EQ(KR_4100_FIND_NONE, KR_4100_FindNextFile(m_hSession, &r));

    // ClearFile drops what is held and restarts the walk.
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &d1, &d1e));
    ASSERT_EQ(KR_4100_FIND_RECORD, KR_4100_FindNextFile(m_hSession, &r));
    EXPECT_EQ(1, KR_4100_ClearFile(m_hSession));
    EXPECT_EQ(KR_4100_FIND_NONE, KR_4100_FindNextFile(m_hSession, &r));
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &d2, &d2e));
    recs = Drain(&last);
    ASSERT_EQ(1u, recs.size());
    EXPECT_EQ(3u, recs[0].dwValue);

    // Every record filtered out: a page with nothing to hand out.
    const DvrTime late = T(2016, 1, 2, 22, 0, 0);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &late, &d2e));
    EXPECT_EQ(KR_4100_FIND_FINISHED, KR_4100_FindNextFile(m_hSession, &r));
}

TEST_F(SearchTest, CountsAreCheckedAgainstTheRecordsReceived)
{
    // 200 promised, 2 sent: only the 2 come out.
    m_Emu.SetRecordings(2013, 8, 8, {Rec(1, 0, 0, 2, 0, 0, 1), Rec(3, 0, 0, 4, 0, 0, 2)});
    m_Emu.SetSearchCount(200);
    const DvrTime s = T(2013, 8, 8), e = T(2013, 8, 8, 23, 59, 59);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &s, &e));
    int32_t last = 0;
    EXPECT_EQ(2u, Drain(&last).size());
    EXPECT_EQ(KR_4100_FIND_FINISHED, last);

    // 200 promised and present: all of them (the count is unsigned).
    std::vector<Recording> many;
    for (uint32_t i = 0; i < 200; ++i) {
        many.push_back(Rec(static_cast<int>(i / 10), static_cast<int>(i % 60), 0, 23, 0, 0, 1000 + i));
    }
    m_Emu.SetSearchCount(-1);
    m_Emu.SetRecordings(2013, 8, 9, many);
    const DvrTime s2 = T(2013, 8, 9), e2 = T(2013, 8, 9, 23, 59, 59);
    ASSERT_EQ(1, KR_4100_FindFile(m_hSession, 0, 0, &s2, &e2));
    const auto recs = Drain();
    ASSERT_EQ(200u, recs.size());
    for (uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ(1000 + i, recs[i].dwValue);
    }
}

TEST_F(SearchTest, RepliesWithoutRecordBytes)
{
    // The recorder says nothing by itself; the test answers each query by hand.
    m_Emu.SetSearchHandler([](const SearchQuery &) { return SearchAnswer{false, {}, -1}; });
    for (const Bytes &payload : {Bytes{}, Bytes{3}, Bytes{1, 0, 0, 0, 0, 1, 0, 0}}) {
        SCOPED_TRACE(payload.size());
        const size_t asked = Queries().size();
        std::thread recorder([&] {
            if (m_Emu.WaitFor([&] { return Queries().size() > asked; }, kWait)) {
                m_Emu.SendPacket(m_hCmd, kQueryReply, payload);
            }
        });
        const DvrTime s = T(2014, 2, 2), e = T(2014, 2, 2, 23, 59, 59);
        const int32_t result = KR_4100_FindFile(m_hSession, 0, 0, &s, &e);
        recorder.join();
        EXPECT_EQ(1, result);
        DvrFileRecord r{};
        // No payload: no page at all. A count without whole records: an
        // empty page, nothing handed out.
        EXPECT_EQ(payload.empty() ? KR_4100_FIND_NONE : KR_4100_FIND_FINISHED, KR_4100_FindNextFile(m_hSession, &r));
    }
}

TEST_F(SearchTest, NullArgumentsAreRefused)
{
    const DvrTime t = T(2010, 1, 1);
    EXPECT_EQ(0, KR_4100_FindFile(m_hSession, 0, 0, nullptr, &t));
    EXPECT_EQ(0, KR_4100_FindFile(m_hSession, 0, 0, &t, nullptr));
    EXPECT_EQ(0, KR_4100_FindNextFile(m_hSession, nullptr));
    EXPECT_EQ(0, KR_4100_FindFile(nullptr, 0, 0, &t, &t));
    DvrFileRecord r{};
    EXPECT_EQ(0, KR_4100_FindNextFile(nullptr, &r));
    EXPECT_EQ(0, KR_4100_ClearFile(reinterpret_cast<void *>(0x10)));
    EXPECT_TRUE(Queries().empty());
}
