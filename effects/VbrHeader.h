#pragma once

#include <mad.h>

#include <cstddef>
#include <cstdint>

namespace tolvane {

// Xing part of a VBR header (also filled from a VBRI header).
struct XingData {
    static constexpr uint32_t kFrames = 0x1;
    static constexpr uint32_t kBytes = 0x2;
    static constexpr uint32_t kToc = 0x4;
    static constexpr uint32_t kQuality = 0x8;

    uint32_t flags = 0;
    uint32_t frames = 0; // audio frames, the header frame not counted
    uint32_t bytes = 0;  // stream bytes, the header frame counted
    // Entry i: byte position at i % of the play time, in 256ths of `bytes`.
    uint8_t toc[100] = {};
    uint32_t quality = 0;
};

struct ReplayGain {
    uint8_t name = 0;       // 0 not set, 1 radio, 2 audiophile
    uint8_t originator = 0; // 0 unspecified, 1 artist, 2 user, 3 automatic
    int16_t adjustment = 0; // tenths of a dB
};

// LAME extension of a Xing header.
struct LameData {
    static constexpr uint8_t kUnwiseSettings = 0x10; // in `flags`; the low four bits are
                                                     // the encoding flags

    uint8_t revision = 0;
    uint8_t flags = 0;
    uint32_t vbrMethod = 0;
    uint16_t lowpass = 0; // Hz
    mad_fixed_t peak = 0; // signal peak, 1.0 = MAD_F_ONE
    ReplayGain radioGain;
    ReplayGain audiophileGain;
    uint8_t athType = 0;
    uint8_t bitrate = 0;         // kbit/s: the average (ABR) or minimal (VBR) bit rate
    uint16_t encoderDelay = 0;   // samples added at the start
    uint16_t padding = 0;        // samples added at the end
    uint8_t sourceFrequency = 0; // 0 up to 32 kHz, 1 44.1 kHz, 2 48 kHz, 3 above
    uint8_t stereoMode = 0;
    uint8_t noiseShaping = 0;
    int8_t mp3Gain = 0;
    uint8_t surround = 0;
    uint16_t preset = 0;
    uint32_t musicLength = 0;
    uint16_t musicCrc = 0;
};

// The VBR header record of a stream: what the first frame said about the
// frame count, byte count and seek table, and the encoder's own details.
struct VbrHeader {
    static constexpr uint32_t kXingValid = 0x1;   // from a Xing or a VBRI header
    static constexpr uint32_t kLameValid = 0x2;   // LAME extension read and its CRC right
    static constexpr uint32_t kFromVbri = 0x4;    // the Xing data came from a VBRI header
    static constexpr uint32_t kXingMagic = 0x100; // the magic was "Xing", not "Info"

    uint32_t tagFlags = 0;
    XingData xing;
    LameData lame;
    char encoder[21] = {};

    // True when the stream's length and seek table can be taken from this
    // header: its frame count and table of contents are both present.
    bool hasFramesAndToc() const {
        return (tagFlags & kXingValid) && (xing.flags & XingData::kFrames) &&
               (xing.flags & XingData::kToc);
    }
};

// The candidate header frame as the parser sees it. The parser reads only
// data[0, length); the ancillary bits are clipped to that range.
struct VbrFrame {
    const unsigned char* data = nullptr; // the frame's first header byte
    size_t length = 0;                   // bytes up to the next frame
    size_t ancillaryBit = 0;             // ancillary data start, in bits from `data`
    size_t ancillaryBits = 0;            // ancillary data length in bits
    unsigned layer = 3;                  // 1, 2 or 3
    bool lowSamplingFrequency = false;   // MPEG-2 or MPEG-2.5
    unsigned sampleRate = 0;

    // Describes the frame libmad decoded last: the frame between the stream's
    // this_frame and next_frame, and the ancillary bits it designated. When
    // those bits lie outside the frame (main data from the bit reservoir) the
    // frame has no ancillary data here.
    static VbrFrame fromDecoder(const mad_stream& stream, const mad_header& header);
};

// Reads a Xing/Info (with the LAME extension) or VBRI header from the frame.
// The record is cleared first. Returns 0 when a known header was found, -1
// otherwise (and the record then stays clear).
int parseVbrHeader(VbrHeader& tag, const VbrFrame& frame);

// The same for the frame libmad has just decoded with mad_frame_decode: pass
// the stream and that frame's header.
int parseVbrHeader(VbrHeader& tag, const mad_stream& stream, const mad_header& header);

} // namespace tolvane
