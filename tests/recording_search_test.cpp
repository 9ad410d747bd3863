// The search's day walk and result pages, without a recorder.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "net/messages.h"
#include "session/recording_search.h"

using kn::CRecordingSearch;

namespace {

struct Day {
    DvrTime start;
    DvrTime end;
};

std::vector<Day> Walk(const DvrTime &start, const DvrTime &end, int32_t *result = nullptr, size_t failAt = SIZE_MAX)
{
    std::vector<Day> days;
    const int32_t r = CRecordingSearch::WalkDays(start, end, [&](const DvrTime &s, const DvrTime &e) {
        days.push_back({s, e});
        return days.size() - 1 == failAt ? 0 : 1;
    });
    if (result) {
        *result = r;
    }
    return days;
}

bool Same(const DvrTime &a, const DvrTime &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

// A reply payload: count, four uninterpreted bytes, then the records.
std::vector<uint8_t> Payload(uint8_t count, const std::vector<std::array<uint8_t, 6>> &records)
{
    std::vector<uint8_t> p = {count, 0xAA, 0xBB, 0xCC, 0xDD};
    uint32_t value = 100;
    for (const auto &r : records) {
        p.insert(p.end(), r.begin(), r.end());
        for (int i = 0; i < 4; ++i) {
            p.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        ++value;
    }
    return p;
}

// A reply payload as the session hands it to the results.
kn::net::SearchPage Page(const uint8_t *payload, size_t len)
{
    kn::net::SearchPage page;
    kn::net::ReadSearchPage(payload, len, page);
    return page;
}

kn::net::SearchPage Page(const std::vector<uint8_t> &payload) { return Page(payload.data(), payload.size()); }

}  // namespace

TEST(SearchDayWalk, OneDayKeepsBothTimes)
{
    const auto days = Walk({2009, 5, 6, 10, 0, 0}, {2009, 5, 6, 12, 0, 0});
    ASSERT_EQ(1u, days.size());
    EXPECT_TRUE(Same(days[0].start, DvrTime{2009, 5, 6, 10, 0, 0}));
    EXPECT_TRUE(Same(days[0].end, DvrTime{2009, 5, 6, 12, 0, 0}));
}

TEST(SearchDayWalk, ThreeDaysSplitAtMidnight)
{
    const auto days = Walk({2009, 5, 6, 20, 0, 0}, {2009, 5, 8, 6, 0, 0});
    ASSERT_EQ(3u, days.size());
    EXPECT_TRUE(Same(days[0].start, DvrTime{2009, 5, 6, 20, 0, 0}));
    EXPECT_TRUE(Same(days[0].end, DvrTime{2009, 5, 6, 23, 59, 59}));
    EXPECT_TRUE(Same(days[1].start, DvrTime{2009, 5, 7, 0, 0, 0}));
    EXPECT_TRUE(Same(days[1].end, DvrTime{2009, 5, 7, 23, 59, 59}));
    EXPECT_TRUE(Same(days[2].start, DvrTime{2009, 5, 8, 0, 0, 0}));
    EXPECT_TRUE(Same(days[2].end, DvrTime{2009, 5, 8, 6, 0, 0}));
}

TEST(SearchDayWalk, EndBeforeStartAsksForTheStartDayOnly)
{
    const auto days = Walk({2009, 5, 6, 20, 0, 0}, {2009, 5, 1, 6, 30, 0});
    ASSERT_EQ(1u, days.size());
    EXPECT_TRUE(Same(days[0].start, DvrTime{2009, 5, 6, 20, 0, 0}));
    EXPECT_TRUE(Same(days[0].end, DvrTime{2009, 5, 6, 6, 30, 0}));
}

TEST(SearchDayWalk, MonthYearAndLeapDayRollOver)
{
    auto days = Walk({2008, 12, 31, 0, 0, 0}, {2009, 1, 1, 1, 0, 0});
    ASSERT_EQ(2u, days.size());
    EXPECT_TRUE(Same(days[1].start, DvrTime{2009, 1, 1, 0, 0, 0}));

    days = Walk({2008, 2, 28, 0, 0, 0}, {2008, 3, 1, 0, 0, 0});
    ASSERT_EQ(3u, days.size());
    EXPECT_EQ(29, days[1].start.nDay);
    EXPECT_EQ(3, days[2].start.nMonth);

    days = Walk({2100, 2, 28, 0, 0, 0}, {2100, 3, 1, 0, 0, 0});  // not a leap year
    ASSERT_EQ(2u, days.size());
}

TEST(SearchDayWalk, CappedAt1024DaysAndStopsAtFirstUnanswered)
{
    int32_t result = 0;
    auto days = Walk({2000, 1, 1, 0, 0, 0}, {2005, 6, 23, 0, 0, 0}, &result);
    EXPECT_EQ(1024u, days.size());
    EXPECT_EQ(1, result);
    EXPECT_EQ(59, days.back().end.nMinute);  // the cut walk never reaches the end's day

    days = Walk({2009, 1, 1, 0, 0, 0}, {2009, 1, 10, 0, 0, 0}, &result, 3);
    EXPECT_EQ(4u, days.size());
    EXPECT_EQ(0, result);
}

TEST(SearchDayWalk, InvalidFirstDateIsSentAsGiven)
{
    const auto days = Walk({2009, 4, 31, 0, 0, 0}, {2009, 5, 2, 0, 0, 0});
    ASSERT_FALSE(days.empty());
    EXPECT_EQ(4, days[0].start.nMonth);
    EXPECT_EQ(31, days[0].start.nDay);
}

TEST(SearchResults, FilterKeepsOverlapsWithInclusiveBounds)
{
    CRecordingSearch search;
    const auto p = Payload(3, {{9, 0, 0, 10, 0, 0}, {12, 0, 1, 13, 0, 0}, {11, 0, 0, 11, 30, 0}});
    ASSERT_TRUE(search.StorePage({2009, 5, 6, 10, 0, 0}, {2009, 5, 6, 12, 0, 0}, Page(p)));
    DvrFileRecord r;
    ASSERT_EQ(1000, search.NextFile(r));
    EXPECT_TRUE(Same(r.Start, DvrTime{2009, 5, 6, 9, 0, 0}));
    EXPECT_TRUE(Same(r.End, DvrTime{2009, 5, 6, 10, 0, 0}));
    EXPECT_EQ(100u, r.dwValue);
    ASSERT_EQ(1000, search.NextFile(r));
    EXPECT_EQ(11, r.Start.nHour);
    EXPECT_EQ(102u, r.dwValue);
    EXPECT_EQ(1003, search.NextFile(r));
    EXPECT_EQ(1001, search.NextFile(r));
}

TEST(SearchResults, NothingHeldAndAllFilteredOut)
{
    CRecordingSearch search;
    DvrFileRecord r;
    EXPECT_EQ(1001, search.NextFile(r));
    const auto p = Payload(1, {{1, 0, 0, 2, 0, 0}});
    ASSERT_TRUE(search.StorePage({2009, 5, 6, 10, 0, 0}, {2009, 5, 6, 12, 0, 0}, Page(p)));
    EXPECT_EQ(1003, search.NextFile(r));
    EXPECT_EQ(1001, search.NextFile(r));
}

TEST(SearchResults, LyingCountIsLoweredToWholeRecordsReceived)
{
    CRecordingSearch search;
    auto p = Payload(200, {{1, 0, 0, 2, 0, 0}, {3, 0, 0, 4, 0, 0}});
    p.push_back(7);  // a partial third record
    ASSERT_TRUE(search.StorePage({2009, 5, 6, 0, 0, 0}, {2009, 5, 6, 23, 59, 59}, Page(p)));
    DvrFileRecord r;
    EXPECT_EQ(1000, search.NextFile(r));
    EXPECT_EQ(1000, search.NextFile(r));
    EXPECT_EQ(1003, search.NextFile(r));

    const uint8_t shortPayload[3] = {5, 0, 0};
    ASSERT_TRUE(search.StorePage({2009, 5, 6, 0, 0, 0}, {2009, 5, 6, 23, 59, 59}, Page(shortPayload, 3)));
    EXPECT_EQ(1003, search.NextFile(r));
}

TEST(SearchResults, CountOf200IsUnsignedAndTableIsBounded)
{
    CRecordingSearch search;
    std::vector<std::array<uint8_t, 6>> records(200, {1, 0, 0, 2, 0, 0});
    const auto p = Payload(200, records);
    for (int i = 0; i < CRecordingSearch::kMaxPages; ++i) {
        ASSERT_TRUE(search.StorePage({2009, 5, 6, 0, 0, 0}, {2009, 5, 6, 23, 59, 59}, Page(p)));
    }
    EXPECT_FALSE(search.StorePage({2009, 5, 6, 0, 0, 0}, {2009, 5, 6, 23, 59, 59}, Page(p)));
    DvrFileRecord r;
    int handed = 0;
    while (search.NextFile(r) == 1000) {
        ++handed;
    }
    EXPECT_EQ(200 * CRecordingSearch::kMaxPages, handed);
}

TEST(SearchResults, SecondSearchAppendsAfterTheFirst)
{
    CRecordingSearch search;
    const auto a = Payload(1, {{1, 0, 0, 2, 0, 0}});
    const auto b = Payload(1, {{5, 0, 0, 6, 0, 0}});
    search.StorePage({2009, 5, 6, 0, 0, 0}, {2009, 5, 6, 23, 59, 59}, Page(a));
    DvrFileRecord r;
    ASSERT_EQ(1000, search.NextFile(r));
    search.StorePage({2010, 1, 2, 0, 0, 0}, {2010, 1, 2, 23, 59, 59}, Page(b));
    ASSERT_EQ(1000, search.NextFile(r));
    EXPECT_EQ(2010, r.Start.nYear);
    EXPECT_EQ(5, r.Start.nHour);
    EXPECT_EQ(1003, search.NextFile(r));
}
