// Feeds arbitrary bytes to the VBR header parser two ways: as the frame libmad
// decodes from them (the engine's path) and as a frame with an ancillary
// window taken from the input. Each frame is copied into a buffer of exactly
// its length, so a read past it is an AddressSanitizer finding.
#include "effects/VbrHeader.h"

#include <mad.h>

#include <cstdint>
#include <cstring>
#include <vector>

using tolvane::VbrFrame;
using tolvane::VbrHeader;

namespace {

void parseExact(VbrFrame frame) {
    std::vector<unsigned char> exact(frame.data, frame.data + frame.length);
    frame.data = exact.data();
    VbrHeader tag;
    if (tolvane::parseVbrHeader(tag, frame) != 0 && tag.tagFlags != 0) {
        __builtin_trap(); // a miss must leave the record clear
    }
}

void parseDecodedFrames(const uint8_t* data, size_t size) {
    std::vector<unsigned char> buffer(data, data + size);
    buffer.resize(size + MAD_BUFFER_GUARD);
    mad_stream stream;
    mad_frame frame;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_stream_buffer(&stream, buffer.data(), buffer.size());
    for (int decoded = 0; decoded < 4;) {
        if (mad_frame_decode(&frame, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) {
                continue;
            }
            break;
        }
        ++decoded;
        parseExact(VbrFrame::fromDecoder(stream, frame.header));
    }
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
}

} // namespace

// The first byte chooses the path. Even: the rest goes through libmad. Odd:
// four bytes give the ancillary start and length, the layer and the sampling
// frequency, and the rest is the frame.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        parseDecodedFrames(data + 1, size - 1);
        return 0;
    }
    if (size < 5) {
        return 0;
    }
    static constexpr unsigned kRates[] = {8000,  11025, 12000, 16000, 22050,
                                          24000, 32000, 44100, 48000};
    VbrFrame frame;
    frame.ancillaryBit = size_t(data[1]) * 8 + (data[3] >> 5);
    frame.ancillaryBits = size_t(data[2]) * 64 + (data[3] & 0x1F);
    frame.layer = 1 + (data[4] & 3) % 3;
    frame.lowSamplingFrequency = (data[4] & 0x4) != 0;
    frame.sampleRate = kRates[(data[4] >> 3) % 9];
    frame.data = data + 5;
    frame.length = size - 5;
    parseExact(frame);
    return 0;
}
