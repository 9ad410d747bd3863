#include "tools/testing/recorder/schedule.h"

#include <algorithm>

namespace kn::recorder {

emu::SearchAnswer ScheduleAnswer(const emu::SearchQuery &query)
{
    emu::SearchAnswer answer;
    for (int n = 0; n < kRecordingsPerDay; ++n) {
        emu::Recording r;
        r.startHour = static_cast<uint8_t>(n * 4);
        r.endHour = r.startHour;
        r.endMinute = 9;
        r.endSecond = 59;
        r.value = static_cast<uint32_t>(query.channel) * 256u + static_cast<uint32_t>(n + 1);
        answer.records.push_back(r);
    }
    return answer;
}

int SecondsLeftInRecording(int secondOfDay)
{
    if (secondOfDay < 0 || secondOfDay >= 24 * 3600) {
        return 0;
    }
    const int intoBlock = secondOfDay % (4 * 3600);
    return intoBlock < kRecordingSeconds ? kRecordingSeconds - intoBlock : 0;
}

int DownloadFrames(int startSecondOfDay, int endSecondOfDay, int capSeconds, int framesPerSecond)
{
    const int seconds = std::clamp(endSecondOfDay - startSecondOfDay, 1, std::max(1, capSeconds));
    return seconds * framesPerSecond;
}

}  // namespace kn::recorder
