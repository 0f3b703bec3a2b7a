#pragma once

#include "platform/EngineRecords.h"

#include <cstdint>

namespace tolvane {

// Milliseconds of a time given in one of the engine's time formats; 0 for the
// byte format and unknown ones.
inline uint32_t toMilliseconds(uint32_t format, const MP3_TIME& time) {
    switch (format) {
    case TIME_FORMAT_MS:
        return time.nMilliseconds;
    case TIME_FORMAT_SEC:
        return time.nSeconds * 1000;
    case TIME_FORMAT_HMS:
        return time.nHmsHour * 3600000 + time.nHmsMinute * 60000 + time.nHmsSecond * 1000 +
               time.nHmsMillisecond;
    }
    return 0;
}

// Fills the millisecond, second and hour-minute-second fields of `time`.
inline void splitMilliseconds(uint32_t ms, MP3_TIME& time) {
    time.nMilliseconds = ms;
    time.nSeconds = ms / 1000;
    time.nHmsHour = ms / 3600000;
    time.nHmsMinute = (ms % 3600000) / 60000;
    time.nHmsSecond = (ms % 60000) / 1000;
    time.nHmsMillisecond = ms % 1000;
}

} // namespace tolvane
