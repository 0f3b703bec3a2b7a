#pragma once

#include <cstdint>

namespace tolvane {

// What the dialog shows once a second while audio plays (message 100, code
// 200, sent by pointer): the part played by bytes, the average bit rate, and
// the position and length as hours, minutes and seconds, and both again in
// milliseconds for the desktop's media controls.
struct PlaybackStatus {
    int32_t percent = 0; // 0 to 100
    int32_t bitrate = 0; // kbit/s
    int32_t positionHours = 0;
    int32_t positionMinutes = 0;
    int32_t positionSeconds = 0;
    int32_t lengthHours = 0;
    int32_t lengthMinutes = 0;
    int32_t lengthSeconds = 0;
    int64_t positionMs = 0;
    int64_t lengthMs = 0; // 0 while unknown
};

} // namespace tolvane
