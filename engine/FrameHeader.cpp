#include "engine/FrameHeader.h"

namespace tolvane {

uint32_t FrameHeader::samplesPerFrame(const mad_header& header) {
    if (header.layer == MAD_LAYER_I) {
        return 384;
    }
    if (header.layer == MAD_LAYER_III && (header.flags & MAD_FLAG_LSF_EXT)) {
        return 576;
    }
    return 1152;
}

int32_t FrameHeader::versionCode(const mad_header& header) {
    if (header.flags & MAD_FLAG_MPEG_2_5_EXT) {
        return 4;
    }
    return (header.flags & MAD_FLAG_LSF_EXT) ? 2 : 1;
}

int32_t FrameHeader::layerCode(const mad_header& header) {
    switch (header.layer) {
    case MAD_LAYER_I:
        return 1;
    case MAD_LAYER_II:
        return 2;
    case MAD_LAYER_III:
        return 4;
    }
    return 0;
}

int32_t FrameHeader::channelModeCode(const mad_header& header) {
    switch (header.mode) {
    case MAD_MODE_SINGLE_CHANNEL:
        return 1;
    case MAD_MODE_DUAL_CHANNEL:
        return 2;
    case MAD_MODE_JOINT_STEREO:
        return 4;
    case MAD_MODE_STEREO:
        return 8;
    }
    return 0;
}

int32_t FrameHeader::emphasisCode(const mad_header& header) {
    switch (header.emphasis) {
    case MAD_EMPHASIS_NONE:
        return 1;
    case MAD_EMPHASIS_50_15_US:
        return 2;
    case MAD_EMPHASIS_CCITT_J_17:
        return 4;
    case MAD_EMPHASIS_RESERVED:
        return 8;
    }
    return 0;
}

} // namespace tolvane
