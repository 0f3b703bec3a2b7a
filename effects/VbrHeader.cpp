#include "effects/VbrHeader.h"

#include "effects/Crc16.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

namespace tolvane {

namespace {

constexpr uint32_t fourCc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 |
           uint32_t(uint8_t(text[2])) << 8 | uint32_t(uint8_t(text[3]));
}

constexpr uint32_t kXing = fourCc("Xing");
constexpr uint32_t kInfo = fourCc("Info");
constexpr uint32_t kLame = fourCc("LAME");
constexpr uint32_t kVbri = fourCc("VBRI");
// The last two bytes of "Xing" or "Info" and two zero flag bytes: an encoder
// put the header at the usual place although the frame carries a CRC, so it
// starts two bytes before the ancillary data.
constexpr uint32_t kXingTwoBytesEarly = 0x6E670000;
constexpr uint32_t kInfoTwoBytesEarly = 0x666F0000;

// Encoders write VBRI right after a 32-byte side information, whatever the
// frame's own side information size.
constexpr size_t kVbriOffset = 36;
constexpr size_t kVbriFixedBits = 26 * 8;
constexpr size_t kEncoderBits = 20 * 8;
constexpr size_t kLameBits = 36 * 8;

size_t bitsOf(size_t bytes) {
    return std::min(bytes, std::numeric_limits<size_t>::max() / 8) * 8;
}

// libmad's bit reader confined to the bits [begin, end) of a frame. A read
// that would pass the end reads nothing and yields 0; callers check left()
// where the format says how many bits a part needs.
class BitWindow {
  public:
    BitWindow(const unsigned char* frame, size_t begin, size_t end)
        : frame_(frame), begin_(begin), end_(end) {
        seek(begin);
    }

    size_t position() const { return position_; }
    size_t left() const { return end_ - position_; }

    void seek(size_t bit) {
        position_ = std::clamp(bit, begin_, end_);
        mad_bit_init(&ptr_, frame_ + position_ / 8);
        // A partial first byte holds bits before end_, so it lies in the frame.
        if (position_ % 8 != 0) {
            mad_bit_skip(&ptr_, unsigned(position_ % 8));
        }
    }

    void skip(size_t bits) { seek(position_ + std::min(bits, left())); }

    uint32_t read(unsigned bits) {
        if (bits == 0 || bits > 32 || bits > left()) {
            return 0;
        }
        position_ += bits;
        return uint32_t(mad_bit_read(&ptr_, bits));
    }

  private:
    const unsigned char* frame_;
    size_t begin_;
    size_t end_;
    size_t position_ = 0;
    mad_bitptr ptr_{};
};

unsigned samplesPerFrame(const VbrFrame& frame) {
    if (frame.layer == 1) {
        return 384;
    }
    if (frame.layer == 3 && frame.lowSamplingFrequency) {
        return 576;
    }
    return 1152;
}

// Reads flags, frames, bytes, table of contents and quality. When a flagged
// field lacks its bits the Xing part is invalid and comes back cleared.
bool readXing(BitWindow& bits, XingData& xing) {
    const auto fail = [&xing] {
        xing = XingData{};
        return false;
    };
    if (bits.left() < 32) {
        return fail();
    }
    xing.flags = bits.read(32);
    if (xing.flags & XingData::kFrames) {
        if (bits.left() < 32) {
            return fail();
        }
        xing.frames = bits.read(32);
    }
    if (xing.flags & XingData::kBytes) {
        if (bits.left() < 32) {
            return fail();
        }
        xing.bytes = bits.read(32);
    }
    if (xing.flags & XingData::kToc) {
        if (bits.left() < 800) {
            return fail();
        }
        for (uint8_t& entry : xing.toc) {
            entry = uint8_t(bits.read(8));
        }
    }
    if (xing.flags & XingData::kQuality) {
        if (bits.left() < 32) {
            return fail();
        }
        xing.quality = bits.read(32);
    }
    return true;
}

// Up to 20 printable characters; the read position stays at their start.
void readEncoder(BitWindow& bits, char (&encoder)[21]) {
    const size_t start = bits.position();
    if (bits.left() >= kEncoderBits) {
        for (size_t i = 0; i < 20; ++i) {
            const uint32_t c = bits.read(8);
            if (c < 0x20 || c >= 0x7F) {
                break;
            }
            encoder[i] = char(c);
        }
    }
    bits.seek(start);
}

ReplayGain readGain(BitWindow& bits) {
    ReplayGain gain;
    gain.name = uint8_t(bits.read(3));
    gain.originator = uint8_t(bits.read(3));
    const bool negative = bits.read(1) != 0;
    const int value = int(bits.read(9));
    gain.adjustment = int16_t(negative ? -value : value);
    return gain;
}

// Encoders before 3.95 stored replay gain 0.6 dB too low.
void adjustOldGains(const char (&version)[6], LameData& lame) {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    std::sscanf(version, "%u.%u.%u", &major, &minor, &patch);
    if (major != 3 || minor >= 95) {
        return;
    }
    for (ReplayGain* gain : {&lame.radioGain, &lame.audiophileGain}) {
        if (gain->name != 0) {
            gain->adjustment = int16_t(gain->adjustment + 6);
        }
    }
}

// Reads the 36-byte LAME extension that starts with the "LAME" encoder string
// at the read position. It counts only when its tag CRC matches the CRC of the
// frame's bytes before that field; otherwise the read position is restored.
bool readLame(BitWindow& bits, const unsigned char* frame, LameData& out) {
    const size_t start = bits.position();
    if (bits.left() < kLameBits) {
        return false;
    }
    LameData lame;
    bits.skip(32); // "LAME"
    char version[6] = {};
    for (size_t i = 0; i < 5; ++i) {
        version[i] = char(bits.read(8));
    }
    lame.revision = uint8_t(bits.read(4));
    if (lame.revision == 15) {
        bits.seek(start);
        return false;
    }
    lame.vbrMethod = bits.read(4);
    lame.lowpass = uint16_t(bits.read(8) * 100);
    lame.peak = mad_fixed_t(bits.read(32) << 5);
    lame.radioGain = readGain(bits);
    lame.audiophileGain = readGain(bits);
    adjustOldGains(version, lame);
    lame.flags = uint8_t(bits.read(4));
    lame.athType = uint8_t(bits.read(4));
    lame.bitrate = uint8_t(bits.read(8));
    lame.encoderDelay = uint16_t(bits.read(12));
    lame.padding = uint16_t(bits.read(12));
    lame.sourceFrequency = uint8_t(bits.read(2));
    if (bits.read(1) != 0) {
        lame.flags |= LameData::kUnwiseSettings;
    }
    lame.stereoMode = uint8_t(bits.read(3));
    lame.noiseShaping = uint8_t(bits.read(2));
    lame.mp3Gain = int8_t(bits.read(8));
    bits.skip(2);
    lame.surround = uint8_t(bits.read(3));
    lame.preset = uint16_t(bits.read(11));
    lame.musicLength = bits.read(32);
    lame.musicCrc = uint16_t(bits.read(16));
    const size_t crcCovers = bits.position() / 8;
    const uint16_t tagCrc = uint16_t(bits.read(16));
    if (tagCrc != crc16Arc(frame, crcCovers)) {
        bits.seek(start);
        return false;
    }
    out = lame;
    return true;
}

// The encoder string and, when it names LAME and the frame holds the whole
// extension, the LAME extension after it.
void readEncoderAndLame(BitWindow& bits, const VbrFrame& frame, VbrHeader& found) {
    readEncoder(bits, found.encoder);
    if (std::strncmp(found.encoder, "LAME", 4) == 0 &&
        bits.position() + kLameBits <= bitsOf(frame.length)) {
        if (readLame(bits, frame.data, found.lame)) {
            found.tagFlags |= VbrHeader::kLameValid;
            found.encoder[9] = '\0';
        }
        return;
    }
    if (char* padding = std::strchr(found.encoder, 'U')) {
        *padding = '\0';
    }
}

struct VbriTable {
    uint32_t entries = 0;
    uint32_t scale = 0;
    uint32_t entrySize = 0;
    uint32_t framesPerEntry = 0;
};

uint8_t tocEntry(double position, uint32_t streamBytes) {
    if (!(position > 0)) {
        return 0;
    }
    if (position >= double(streamBytes)) {
        return 255;
    }
    return uint8_t(std::min<uint64_t>(uint64_t(position) * 256 / streamBytes, 255));
}

// Turns the VBRI table (bytes per group of frames) into the 100-entry table of
// contents: for each percent of the play time, the byte position interpolated
// inside the table entry that holds that time.
void buildVbriToc(BitWindow& bits, const VbriTable& table, const VbrFrame& frame, XingData& xing) {
    const float total =
        float(samplesPerFrame(frame)) * float(xing.frames) * 1000.0f / float(frame.sampleRate);
    const float perEntry = total / float(table.entries + 1);
    const float framesPerEntry = float(table.framesPerEntry);
    uint64_t sum = 0;
    uint64_t last = 0;
    uint32_t read = 0;
    float time = 0;
    for (int i = 0; i < 100; ++i) {
        const float target = float(i) * 0.01f * total;
        while (time <= target && read < table.entries) {
            last = uint64_t(bits.read(table.entrySize * 8)) * table.scale;
            sum += last;
            time += perEntry;
            ++read;
        }
        const double framesBack = std::trunc(
            double(framesPerEntry * (1.0f / (2.0f * framesPerEntry) + (time - target) / perEntry)));
        const double bytesBack = std::trunc(framesBack * double(last) / table.framesPerEntry);
        xing.toc[i] = tocEntry(double(sum) - bytesBack, xing.bytes);
    }
}

int parseVbri(VbrHeader& tag, const VbrFrame& frame) {
    const size_t frameBits = bitsOf(frame.length);
    BitWindow bits(frame.data, std::min(kVbriOffset * 8, frameBits), frameBits);
    if (bits.left() < kVbriFixedBits || bits.read(32) != kVbri) {
        return -1;
    }
    VbrHeader found;
    bits.skip(16); // version
    found.lame.encoderDelay = uint16_t(bits.read(16));
    bits.skip(16); // quality
    found.xing.bytes = bits.read(32);
    found.xing.frames = bits.read(32);
    VbriTable table;
    table.entries = bits.read(16);
    table.scale = bits.read(16);
    table.entrySize = bits.read(16);
    table.framesPerEntry = bits.read(16);
    // Without these the table cannot be turned into positions; a table that
    // does not fit in the frame is not a header.
    if (table.entries == 0 || table.entrySize == 0 || table.entrySize > 4 ||
        table.framesPerEntry == 0 || found.xing.frames == 0 || found.xing.bytes == 0 ||
        frame.sampleRate == 0 || uint64_t(table.entries) * table.entrySize * 8 > bits.left()) {
        return -1;
    }
    buildVbriToc(bits, table, frame, found.xing);
    found.xing.flags = XingData::kFrames | XingData::kBytes | XingData::kToc;
    found.tagFlags = VbrHeader::kXingValid | VbrHeader::kFromVbri;
    tag = found;
    return 0;
}

} // namespace

VbrFrame VbrFrame::fromDecoder(const mad_stream& stream, const mad_header& header) {
    VbrFrame frame;
    frame.layer = unsigned(header.layer);
    frame.lowSamplingFrequency = (header.flags & MAD_FLAG_LSF_EXT) != 0;
    frame.sampleRate = header.samplerate;
    const unsigned char* begin = stream.this_frame;
    const unsigned char* end = stream.next_frame;
    const std::less_equal<const unsigned char*> notAfter;
    if (begin == nullptr || end == nullptr || !notAfter(begin, end)) {
        return frame;
    }
    frame.data = begin;
    frame.length = size_t(end - begin);
    const unsigned char* ancillary = stream.anc_ptr.byte;
    if (ancillary != nullptr && notAfter(begin, ancillary) && notAfter(ancillary, end)) {
        mad_bitptr frameStart;
        mad_bit_init(&frameStart, begin);
        frame.ancillaryBit = mad_bit_length(&frameStart, &stream.anc_ptr);
        frame.ancillaryBits = stream.anc_bitlen;
    }
    return frame;
}

int parseVbrHeader(VbrHeader& tag, const VbrFrame& frame) {
    tag = VbrHeader{};
    if (frame.data == nullptr || frame.length == 0) {
        return -1;
    }
    const size_t frameBits = bitsOf(frame.length);
    const size_t begin = std::min(frame.ancillaryBit, frameBits);
    const size_t end = begin + std::min(frame.ancillaryBits, frameBits - begin);
    BitWindow bits(frame.data, begin, end);
    if (bits.left() < 32) {
        return -1;
    }
    uint32_t magic = bits.read(32);
    if (magic == kXingTwoBytesEarly || magic == kInfoTwoBytesEarly) {
        bits.seek(begin + 16);
        magic >>= 16;
    } else if (magic != kXing && magic != kInfo && magic != kLame) {
        return parseVbri(tag, frame);
    }
    VbrHeader found;
    if ((magic & 0xFFFF) == (kXing & 0xFFFF)) {
        found.tagFlags |= VbrHeader::kXingMagic;
    }
    if (magic == kLame) {
        bits.seek(begin); // a LAME extension without a Xing part
    } else if (readXing(bits, found.xing)) {
        found.tagFlags |= VbrHeader::kXingValid;
    }
    readEncoderAndLame(bits, frame, found);
    tag = found;
    return 0;
}

int parseVbrHeader(VbrHeader& tag, const mad_stream& stream, const mad_header& header) {
    return parseVbrHeader(tag, VbrFrame::fromDecoder(stream, header));
}

} // namespace tolvane
