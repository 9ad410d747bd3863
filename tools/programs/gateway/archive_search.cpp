#include "tools/programs/gateway/archive_search.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "tools/programs/gateway/json_text.h"

namespace kn::gateway {

namespace {

using DateTime = std::unique_ptr<GDateTime, decltype(&g_date_time_unref)>;

DateTime Local(UnixTime time) { return DateTime(g_date_time_new_from_unix_local(time), g_date_time_unref); }

// JSON string of text that holds no quote, backslash or control character
// (times, zone names, recorder names).

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

DvrTime ToDvrTime(UnixTime time)
{
    DvrTime d{};
    if (const DateTime t = Local(time)) {
        d.nYear = g_date_time_get_year(t.get());
        d.nMonth = g_date_time_get_month(t.get());
        d.nDay = g_date_time_get_day_of_month(t.get());
        d.nHour = g_date_time_get_hour(t.get());
        d.nMinute = g_date_time_get_minute(t.get());
        d.nSecond = g_date_time_get_second(t.get());
    }
    return d;
}

UnixTime FromDvrTime(const DvrTime &d)
{
    GDateTime *t = g_date_time_new_local(d.nYear, d.nMonth, d.nDay, d.nHour, d.nMinute, d.nSecond);
    if (t == nullptr) {
        return 0;
    }
    const UnixTime time = g_date_time_to_unix(t);
    g_date_time_unref(t);
    return time;
}

bool SearchRecordings(void *hSession, int channel, int selector, UnixTime from, UnixTime to,
                      std::vector<ArchiveRecording> &found, std::string &message)
{
    const DvrTime start = ToDvrTime(from);
    const DvrTime end = ToDvrTime(to);
    // Results of an earlier search, cut short, would come first otherwise.
    KR_4100_ClearFile(hSession);
    if (KR_4100_FindFile(hSession, channel, selector, &start, &end) != 1) {
        KR_4100_ClearFile(hSession);
        message = "the recorder did not answer the search";
        return false;
    }
    DvrFileRecord record{};
    while (KR_4100_FindNextFile(hSession, &record) == KR_4100_FIND_RECORD) {
        ArchiveRecording r;
        r.start = FromDvrTime(record.Start);
        r.end = FromDvrTime(record.End);
        r.value = record.dwValue;
        if (r.end >= r.start && r.end >= from && r.start <= to) {
            found.push_back(r);
        }
    }
    return true;
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
