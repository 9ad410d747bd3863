// The recorder's archive in the gateway's words: times in ISO 8601 with
// their zone, the recordings of a channel between two times, and the
// stretches of recording a clip between two times is made of.
//
// A recorder keeps its clock in local time and says nothing of its zone:
// the gateway takes the recorder's times to be in its own local time zone
// (TZ), reads times without a zone in it, and writes every time with its
// offset.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kn::gateway {

// Seconds since 1970-01-01 UTC.
using UnixTime = int64_t;

// An ISO 8601 date and time ("2026-12-09T08:00:00+01:00", "...Z", or
// without a zone: local time); false for anything else.
bool ParseArchiveTime(const std::string &text, UnixTime &time);
// The time in ISO 8601, local time with its offset ("2026-12-09T08:00:00+01:00",
// "...+00:00" in UTC).
std::string FormatArchiveTime(UnixTime time);
// The local time zone's name ("Europe/Paris", "UTC").
std::string ArchiveTimeZone();
// A time as the recorder's clock reads it (local time), field by field.
struct ArchiveClock {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};
ArchiveClock ToArchiveClock(UnixTime time);
UnixTime FromArchiveClock(const ArchiveClock &clock);

struct ArchiveRecording {
    UnixTime start = 0;
    UnixTime end = 0;    // its last second
    uint32_t value = 0;  // the recorder's value for it
};

// Searches asked for at most this many days.
constexpr int kMaxSearchDays = 1024;

// The days of a search from..to as the recorder's clock reads them, one
// query each: the first from the start's time, the last to the end's time,
// the others whole days; at most kMaxSearchDays.
std::vector<std::pair<ArchiveClock, ArchiveClock>> SearchDays(UnixTime from, UnixTime to);

// A stretch of one recording, from start up to (not including) end; never
// across midnight, since a recorder downloads within one day.
struct ArchiveStretch {
    UnixTime start = 0;
    UnixTime end = 0;
};

// What the recordings hold of start..end (end not included), in order.
std::vector<ArchiveStretch> RecordedStretches(const std::vector<ArchiveRecording> &recordings, UnixTime start,
                                              UnixTime end);

// The JSON document of /api/recordings.
std::string RecordingsJson(const std::string &recorder, int channel, int selector, UnixTime from, UnixTime to,
                           const std::vector<ArchiveRecording> &found);

}  // namespace kn::gateway
