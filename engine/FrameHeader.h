#pragma once

#include <mad.h>

#include <cstdint>

namespace tolvane {

// What the engine reads from a decoded MPEG audio frame header.
struct FrameHeader {
    // PCM samples per channel: 384 for Layer I, 576 for Layer III with the
    // low-sampling-frequency extension, else 1152.
    static uint32_t samplesPerFrame(const mad_header& header);

    // The interface codes of MP3_STREAM_INFO.
    static int32_t versionCode(const mad_header& header);     // 1, 2, 4 = MPEG-1, -2, -2.5
    static int32_t layerCode(const mad_header& header);       // 1, 2, 4 = Layer I, II, III
    static int32_t channelModeCode(const mad_header& header); // 1 single, 2 dual, 4 joint, 8 stereo
    static int32_t emphasisCode(const mad_header& header);    // 1 none, 2 50/15, 4 J.17, 8 reserved

    // True when the bytes start with an MPEG audio frame sync.
    static bool isSync(const uint8_t* bytes) { return bytes[0] == 0xFF && bytes[1] >= 0xE0; }
};

} // namespace tolvane
