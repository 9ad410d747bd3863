// The synthetic recording schedule of kestrel-recorder: every day, on every
// channel, six recordings of ten minutes, starting at 00:00, 04:00, 08:00,
// 12:00, 16:00 and 20:00 (HH:00:00 to HH:09:59). Each recording's value is
// channel * 256 + its number in the day (1-6).
#pragma once

#include <cstdint>

#include "tools/testing/emulator/recorder_emulator.h"

namespace kn::recorder {

inline constexpr int kRecordingsPerDay = 6;
inline constexpr int kRecordingSeconds = 600;
inline constexpr int kDefaultFramesPerSecond = 25;  // --fps
inline constexpr int kMaxDownloadSeconds = 60;      // the default cap

// The search reply for one day query.
emu::SearchAnswer ScheduleAnswer(const emu::SearchQuery &query);

// Seconds of recording left from a time of day (seconds since midnight) to
// the end of the recording that holds it; 0 when no recording holds it.
int SecondsLeftInRecording(int secondOfDay);

// Frames a download between two times of day carries: one second's worth
// (framesPerSecond) per second between them (at least 1 s, at most
// capSeconds).
int DownloadFrames(int startSecondOfDay, int endSecondOfDay, int capSeconds = kMaxDownloadSeconds,
                   int framesPerSecond = kDefaultFramesPerSecond);

}  // namespace kn::recorder
