// The archive's times and the stretches a clip is made of: ISO 8601 read
// with or without its zone and written with the offset, in winter and
// summer, and a clip's stretch cut to the recordings, at midnight and
// around the gaps between recordings. In Europe/Paris, so that no offset is
// zero.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tools/programs/gateway/archive/archive_search.h"

namespace kn::gateway {
namespace {

constexpr UnixTime kWinter = 1796799600;  // 2026-12-09T08:00:00+01:00
constexpr UnixTime kSummer = 1782900000;  // 2026-07-01T12:00:00+02:00

class ArchiveTimes : public ::testing::Test {
protected:
    void SetUp() override { setenv("TZ", "Europe/Paris", 1); }
};

TEST_F(ArchiveTimes, AreReadWithOrWithoutTheirZoneAndWrittenWithTheirOffset)
{
    const struct {
        const char *text;
        bool ok;
        UnixTime at;
    } cases[] = {
        {"2026-12-09T08:00:00+01:00", true, kWinter},
        {"2026-12-09T07:00:00Z", true, kWinter},
        {"2026-12-09T02:00:00-05:00", true, kWinter},
        {"2026-12-09T08:00:00", true, kWinter},  // local time
        {"2026-07-01T12:00:00", true, kSummer},  // local summer time
        {"", false, 0},
        {"yesterday", false, 0},
        {"2026-13-01T00:00:00", false, 0},
        {"2026-12-09T25:00:00", false, 0},
        {"2026-12-09T08:00:00+01:00 and more", false, 0},
    };
    for (const auto &c : cases) {
        UnixTime at = -1;
        EXPECT_EQ(ParseArchiveTime(c.text, at), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(at, c.at) << c.text;
        }
    }
    EXPECT_EQ(FormatArchiveTime(kWinter), "2026-12-09T08:00:00+01:00");
    EXPECT_EQ(FormatArchiveTime(kSummer), "2026-07-01T12:00:00+02:00");
    EXPECT_EQ(ArchiveTimeZone(), "Europe/Paris");
    const ArchiveClock d = ToArchiveClock(kSummer);
    EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20260701);
    EXPECT_EQ(d.hour * 3600 + d.minute * 60 + d.second, 12 * 3600);
    EXPECT_EQ(FromArchiveClock(d), kSummer);
}

TEST_F(ArchiveTimes, AClipIsCutToTheRecordingsAndAtMidnight)
{
    const auto at = [](int day, int h, int m, int s) { return FromArchiveClock(ArchiveClock{2026, 12, day, h, m, s}); };
    const std::vector<ArchiveRecording> recordings = {
        {at(9, 23, 50, 0), at(9, 23, 59, 59), 1},  // up to midnight
        {at(10, 0, 0, 0), at(10, 0, 9, 59), 2},    // the next day's first
        {at(10, 4, 0, 0), at(10, 4, 9, 59), 3},
        {at(10, 23, 59, 0), at(11, 0, 0, 59), 4},  // over midnight (a recorder of days cannot say so)
    };
    using Stretches = std::vector<std::pair<UnixTime, UnixTime>>;
    const struct {
        const char *what;
        UnixTime start, end;
        Stretches expected;
    } cases[] = {
        {"inside one recording", at(10, 4, 0, 5), at(10, 4, 0, 15), {{at(10, 4, 0, 5), at(10, 4, 0, 15)}}},
        {"past its end", at(10, 4, 9, 50), at(10, 4, 10, 30), {{at(10, 4, 9, 50), at(10, 4, 10, 0)}}},
        {"across midnight, two recordings",
         at(9, 23, 59, 50),
         at(10, 0, 0, 10),
         {{at(9, 23, 59, 50), at(10, 0, 0, 0)}, {at(10, 0, 0, 0), at(10, 0, 0, 10)}}},
        {"over a gap",
         at(10, 0, 9, 50),
         at(10, 4, 0, 10),
         {{at(10, 0, 9, 50), at(10, 0, 10, 0)}, {at(10, 4, 0, 0), at(10, 4, 0, 10)}}},
        {"one recording over midnight",
         at(10, 23, 59, 30),
         at(11, 0, 0, 30),
         {{at(10, 23, 59, 30), at(11, 0, 0, 0)}, {at(11, 0, 0, 0), at(11, 0, 0, 30)}}},
        {"nothing recorded", at(10, 2, 0, 0), at(10, 3, 0, 0), {}},
        {"ends where a recording begins", at(10, 3, 0, 0), at(10, 4, 0, 0), {}},
    };
    for (const auto &c : cases) {
        Stretches got;
        for (const ArchiveStretch &s : RecordedStretches(recordings, c.start, c.end)) {
            got.emplace_back(s.start, s.end);
        }
        EXPECT_EQ(got, c.expected) << c.what;
    }
}

}  // namespace
}  // namespace kn::gateway
