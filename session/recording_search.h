// The results of recording searches held by a session: one page per day that
// had recordings, handed out one record at a time. The day walk that drives
// the queries lives here too, so it can be checked without a recorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/host_types.h"
#include "net/messages.h"
#include "platform/mutex.h"

namespace kn {

class CRecordingSearch {
public:
    static constexpr int kMaxPages = 1024;
    static constexpr int kMaxDays = 1024;

    CRecordingSearch() = default;
    CRecordingSearch(const CRecordingSearch &) = delete;
    CRecordingSearch &operator=(const CRecordingSearch &) = delete;

    // Calls query(dayStart, dayEnd) for each calendar day from start's date
    // to end's date, at most kMaxDays days. The first day starts at start's
    // time, later days at 00:00:00; the last (or only) day ends at end's
    // time, earlier days at 23:59:59. Returns 0 as soon as a query does,
    // else 1.
    static int32_t WalkDays(const DvrTime &start, const DvrTime &end,
                            const std::function<int32_t(const DvrTime &, const DvrTime &)> &query);

    // Keeps one search reply as the page of the day queried from queryStart
    // to queryEnd, without the records that lie outside those hours (a page
    // whose records all lie outside is kept, empty). Returns false (and
    // stores nothing) when the page table is full.
    bool StorePage(const DvrTime &queryStart, const DvrTime &queryEnd, const net::SearchPage &page);

    // KR_4100_FIND_RECORD with record filled in, KR_4100_FIND_NONE when
    // nothing is held, KR_4100_FIND_FINISHED when all was handed out (the
    // results are then cleared).
    int32_t NextFile(DvrFileRecord &record);
    void Clear();

private:
    void ClearLocked();

    platform::CMutex m_Mutex;
    std::unique_ptr<net::SearchPage> m_SearchPages[kMaxPages];
    DvrTime m_SearchDates[kMaxPages] = {};
    int32_t m_nCurRecord = 0;
    int32_t m_nCurPage = 0;
    int32_t m_nPageCount = 0;
};

}  // namespace kn
