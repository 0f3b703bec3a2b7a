#pragma once

#include "effects/VbrHeader.h"
#include "platform/EngineRecords.h"

#include <cstdint>

namespace tolvane {

// What the open stream is: its format from the first valid frame, its length,
// and the wave buffers chosen for it. Written only by the application thread
// while no run is going (opening and closing a stream); a run reads it.
struct StreamDescription {
    uint32_t sampleRate = 0;
    uint32_t layer = 0;
    uint32_t channelMode = 0;
    uint32_t channels = 0;
    uint32_t emphasis = 0;
    uint32_t modeExtension = 0;
    uint32_t firstBitrate = 0; // bit/s
    double averageBitrate = 0.0;
    double averageFrameSize = 0.0;
    uint32_t samplesPerFrame = 0;
    uint32_t headerFlags = 0;
    MP3_STREAM_INFO info{};
    unsigned long freeRate = 0;

    VbrHeader vbr;
    uint32_t vbrFrameSize = 0;
    bool vbrUsed = false;
    bool vbrFlag = false; // the frame scan saw different bit rates

    uint64_t totalSamples = 0;
    uint32_t lengthMs = 0;
    uint32_t totalFrames = 0;

    // The wave buffers: whole frames each, `bufferBytes` of 16-bit stereo;
    // in no-device mode there is one and nothing is played.
    uint32_t framesPerBuffer = 0;
    uint32_t bufferBytes = 0;
    bool noDevice = false;
};

} // namespace tolvane
