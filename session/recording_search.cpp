#include "session/recording_search.h"

#include <algorithm>
#include <cstring>

namespace kn {
namespace {

// Days since 1970-01-01 in the proleptic Gregorian calendar. Months outside
// 1-12 and days outside the month are carried over arithmetically.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y += (m - 1 >= 0) ? (m - 1) / 12 : -((12 - m) / 12);
    m = ((m - 1) % 12 + 12) % 12 + 1;
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, DvrTime &t)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    t.nYear = static_cast<int32_t>(yoe + era * 400 + (m <= 2));
    t.nMonth = static_cast<int32_t>(m);
    t.nDay = static_cast<int32_t>(d);
}

// In 64 bits: the host's fields may hold any 32-bit value, and the sum of
// such values never overflows there.
int64_t SecondsOfDay(int64_t h, int64_t m, int64_t s) { return h * 3600 + m * 60 + s; }

}  // namespace

int32_t CRecordingSearch::WalkDays(const DvrTime &start, const DvrTime &end,
                                   const std::function<int32_t(const DvrTime &, const DvrTime &)> &query)
{
    const int64_t first = DaysFromCivil(start.nYear, start.nMonth, start.nDay);
    const int64_t last = DaysFromCivil(end.nYear, end.nMonth, end.nDay);
    const int64_t days = std::clamp<int64_t>(last - first + 1, 1, kMaxDays);

    for (int64_t i = 0; i < days; ++i) {
        DvrTime dayStart = start;  // the first day keeps the host's date as given
        if (i > 0) {
            CivilFromDays(first + i, dayStart);
            dayStart.nHour = dayStart.nMinute = dayStart.nSecond = 0;
        }
        DvrTime dayEnd = dayStart;
        // The end's time closes the end's own day, or the only day asked for.
        if (first + i == last || days == 1) {
            dayEnd.nHour = end.nHour;
            dayEnd.nMinute = end.nMinute;
            dayEnd.nSecond = end.nSecond;
        } else {
            dayEnd.nHour = 23;
            dayEnd.nMinute = 59;
            dayEnd.nSecond = 59;
        }
        if (query(dayStart, dayEnd) == 0) {
            return 0;
        }
    }
    return 1;
}

bool CRecordingSearch::StorePage(const DvrTime &queryStart, const DvrTime &queryEnd, const net::SearchPage &page)
{
    platform::CLockGuard lock(m_Mutex);
    if (m_nPageCount >= kMaxPages) {
        return false;
    }
    auto kept = std::make_unique<net::SearchPage>();
    const int64_t from = SecondsOfDay(queryStart.nHour, queryStart.nMinute, queryStart.nSecond);
    const int64_t to = SecondsOfDay(queryEnd.nHour, queryEnd.nMinute, queryEnd.nSecond);
    for (size_t i = 0; i < page.count; ++i) {
        const net::SearchRecord &r = page.records[i];
        const int64_t recStart = SecondsOfDay(r.startHour, r.startMinute, r.startSecond);
        const int64_t recEnd = SecondsOfDay(r.endHour, r.endMinute, r.endSecond);
        if (recStart <= to && recEnd >= from) {
            kept->records[kept->count++] = r;
        }
    }
    kept->declaredCount = static_cast<uint8_t>(kept->count);
    kept->length = net::kSearchPageHead + kept->count * net::kSearchRecordSize;

    m_SearchDates[m_nPageCount] = queryStart;
    m_SearchPages[m_nPageCount] = std::move(kept);
    ++m_nPageCount;
    return true;
}

int32_t CRecordingSearch::NextFile(DvrFileRecord &record)
{
    platform::CLockGuard lock(m_Mutex);
    while (m_nCurPage < kMaxPages && m_SearchPages[m_nCurPage] &&
           static_cast<size_t>(m_nCurRecord) >= m_SearchPages[m_nCurPage]->count) {
        ++m_nCurPage;
        m_nCurRecord = 0;
    }
    if (m_nCurPage >= kMaxPages || !m_SearchPages[m_nCurPage]) {
        if (m_nCurPage == 0) {
            m_nCurRecord = 0;
            return KR_4100_FIND_NONE;
        }
        ClearLocked();
        return KR_4100_FIND_FINISHED;
    }
    const net::SearchRecord &r = m_SearchPages[m_nCurPage]->records[m_nCurRecord];
    const DvrTime &date = m_SearchDates[m_nCurPage];
    record.Start = {date.nYear, date.nMonth, date.nDay, r.startHour, r.startMinute, r.startSecond};
    record.End = {date.nYear, date.nMonth, date.nDay, r.endHour, r.endMinute, r.endSecond};
    record.dwValue = r.value;
    ++m_nCurRecord;
    return KR_4100_FIND_RECORD;
}

void CRecordingSearch::Clear()
{
    platform::CLockGuard lock(m_Mutex);
    ClearLocked();
}

void CRecordingSearch::ClearLocked()
{
    m_nCurRecord = m_nCurPage = m_nPageCount = 0;
    for (auto &page : m_SearchPages) {
        page.reset();
    }
    std::memset(m_SearchDates, 0, sizeof(m_SearchDates));
}

}  // namespace kn
