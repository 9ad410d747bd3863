#include "tools/programs/gateway/archive/archive_search.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "tools/programs/gateway/status/json_text.h"

namespace kn::gateway {

namespace {

using DateTime = std::unique_ptr<GDateTime, decltype(&g_date_time_unref)>;

DateTime Local(UnixTime time) { return DateTime(g_date_time_new_from_unix_local(time), g_date_time_unref); }

}  // namespace

bool ParseArchiveTime(const std::string &text, UnixTime &time)
{
    GTimeZone *local = g_time_zone_new_local();
    GDateTime *parsed = g_date_time_new_from_iso8601(text.c_str(), local);
    g_time_zone_unref(local);
    if (parsed == nullptr) {
        return false;
    }
    time = g_date_time_to_unix(parsed);
    g_date_time_unref(parsed);
    return true;
}

std::string FormatArchiveTime(UnixTime time)
{
    const DateTime t = Local(time);
    if (t == nullptr) {
        return "";
    }
    // Always the offset with its minutes (GLib's ISO 8601 writer leaves
    // them out, which some readers refuse).
    gchar *text = g_date_time_format(t.get(), "%Y-%m-%dT%H:%M:%S%:z");
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

std::string ArchiveTimeZone()
{
    GTimeZone *local = g_time_zone_new_local();
    std::string name = g_time_zone_get_identifier(local);
    g_time_zone_unref(local);
    return name;
}

ArchiveClock ToArchiveClock(UnixTime time)
{
    ArchiveClock c;
    if (const DateTime t = Local(time)) {
        c.year = g_date_time_get_year(t.get());
        c.month = g_date_time_get_month(t.get());
        c.day = g_date_time_get_day_of_month(t.get());
        c.hour = g_date_time_get_hour(t.get());
        c.minute = g_date_time_get_minute(t.get());
        c.second = g_date_time_get_second(t.get());
    }
    return c;
}

UnixTime FromArchiveClock(const ArchiveClock &c)
{
    GDateTime *t = g_date_time_new_local(c.year, c.month, c.day, c.hour, c.minute, c.second);
    if (t == nullptr) {
        return 0;
    }
    const UnixTime time = g_date_time_to_unix(t);
    g_date_time_unref(t);
    return time;
}

std::vector<std::pair<ArchiveClock, ArchiveClock>> SearchDays(UnixTime from, UnixTime to)
{
    std::vector<std::pair<ArchiveClock, ArchiveClock>> days;
    const ArchiveClock first = ToArchiveClock(from);
    const ArchiveClock last = ToArchiveClock(std::max(from, to));
    DateTime day(g_date_time_new_local(first.year, first.month, first.day, 0, 0, 0), g_date_time_unref);
    while (day != nullptr && static_cast<int>(days.size()) < kMaxSearchDays) {
        ArchiveClock start{g_date_time_get_year(day.get()),
                           g_date_time_get_month(day.get()),
                           g_date_time_get_day_of_month(day.get()),
                           0,
                           0,
                           0};
        ArchiveClock end{start.year, start.month, start.day, 23, 59, 59};
        if (days.empty()) {
            start = first;
        }
        const bool lastDay = start.year == last.year && start.month == last.month && start.day == last.day;
        if (lastDay) {
            end.hour = last.hour;
            end.minute = last.minute;
            end.second = last.second;
        }
        days.emplace_back(start, end);
        if (lastDay) {
            break;
        }
        day = DateTime(g_date_time_add_days(day.get(), 1), g_date_time_unref);
    }
    return days;
}

std::vector<ArchiveStretch> RecordedStretches(const std::vector<ArchiveRecording> &recordings, UnixTime start,
                                              UnixTime end)
{
    std::vector<ArchiveStretch> stretches;
    for (const ArchiveRecording &r : recordings) {
        ArchiveStretch s{std::max(start, r.start), std::min(end, r.end + 1)};
        if (s.start >= s.end) {
            continue;
        }
        // A download's times share one date: a stretch over midnight is two.
        while (s.start < s.end) {
            const DateTime day = Local(s.start);
            const DateTime next =
                DateTime(g_date_time_new_local(g_date_time_get_year(day.get()), g_date_time_get_month(day.get()),
                                               g_date_time_get_day_of_month(day.get()), 0, 0, 0),
                         g_date_time_unref);
            const DateTime midnight = DateTime(g_date_time_add_days(next.get(), 1), g_date_time_unref);
            const UnixTime cut = std::min(s.end, g_date_time_to_unix(midnight.get()));
            stretches.push_back({s.start, cut});
            s.start = cut;
        }
    }
    std::sort(stretches.begin(), stretches.end(),
              [](const ArchiveStretch &a, const ArchiveStretch &b) { return a.start < b.start; });
    return stretches;
}

std::string RecordingsJson(const std::string &recorder, int channel, int selector, UnixTime from, UnixTime to,
                           const std::vector<ArchiveRecording> &found)
{
    Json recordings = Json::array();
    for (const ArchiveRecording &r : found) {
        recordings.push_back({{"start", FormatArchiveTime(r.start)},
                              {"end", FormatArchiveTime(r.end)},
                              {"seconds", r.end - r.start + 1},
                              {"value", r.value}});
    }
    const Json root = {{"recorder", recorder},
                       {"channel", channel},
                       {"kind", selector},
                       {"from", FormatArchiveTime(from)},
                       {"to", FormatArchiveTime(to)},
                       {"time_zone", ArchiveTimeZone()},
                       {"recordings", std::move(recordings)}};
    return JsonDump(root);
}

}  // namespace kn::gateway
