#include "effects/Crc16.h"
#include "effects/VbrHeader.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace tolvane;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// Bit-by-bit CRC-16/ARC, independent of the table the parser uses.
uint16_t slowCrc(const uint8_t* data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        }
    }
    return crc;
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& path) {
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void put16(Bytes& b, size_t at, unsigned v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

// A sweep at amplitude 0.5 with noise bursts, so VBR rates vary.
void writeSignal(const fs::path& path, unsigned rate, unsigned channels, size_t frames) {
    test::WavAudio audio;
    audio.sampleRate = rate;
    audio.channels = uint16_t(channels);
    std::minstd_rand noise(7);
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const bool burst = (i / (rate / 5)) % 3 == 2;
        for (unsigned c = 0; c < channels; ++c) {
            double s = 0.5 * std::sin(2 * M_PI * (200 + 800 * t) * t + c);
            if (burst) {
                s = 0.45 * s + 0.05 * (double(noise()) / noise.max() - 0.5);
            }
            audio.samples.push_back(int16_t(std::lround(s * 32767)));
        }
    }
    std::string error;
    ASSERT_TRUE(test::writeWav(path, audio, error)) << error;
}

// The first frame libmad decodes, parsed the way the engine's opening step does.
struct Decoded {
    int result = -1;
    VbrHeader tag;
    size_t frameLength = 0;
    unsigned sampleRate = 0;
    bool lsf = false;
};

Decoded decodeFirstFrame(Bytes data) {
    data.resize(data.size() + MAD_BUFFER_GUARD);
    mad_stream stream;
    mad_frame frame;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_stream_buffer(&stream, data.data(), data.size());
    Decoded out;
    int failed = 0;
    while ((failed = mad_frame_decode(&frame, &stream)) != 0 && MAD_RECOVERABLE(stream.error)) {
    }
    if (!failed) {
        out.result = parseVbrHeader(out.tag, stream, frame.header);
        out.frameLength = size_t(stream.next_frame - stream.this_frame);
        out.sampleRate = frame.header.samplerate;
        out.lsf = (frame.header.flags & MAD_FLAG_LSF_EXT) != 0;
    }
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    return out;
}

// Offsets of every frame header libmad finds from `from` on.
std::vector<size_t> walkFrames(Bytes data, size_t from) {
    data.resize(data.size() + MAD_BUFFER_GUARD);
    mad_stream stream;
    mad_header header;
    mad_stream_init(&stream);
    mad_header_init(&header);
    mad_stream_buffer(&stream, data.data() + from, data.size() - from);
    std::vector<size_t> offsets;
    while (true) {
        if (mad_header_decode(&header, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) {
                continue;
            }
            break;
        }
        offsets.push_back(size_t(stream.this_frame - data.data()));
    }
    mad_stream_finish(&stream);
    return offsets;
}

struct Encoding {
    const char* name;
    unsigned rate;
    unsigned channels;
    const char* lameArgs;
    bool xingMagic;      // VBR and ABR write "Xing", CBR "Info"
    unsigned vbrMethod;  // 1 CBR, 2 ABR, 4 the default VBR
    unsigned stereoMode; // 0 mono, 1 stereo, 3 joint stereo
    unsigned kbps;       // the bit rate asked for CBR and ABR
};

class LameFile : public ::testing::TestWithParam<Encoding> {
  protected:
    static void SetUpTestSuite() {
        temp_ = std::make_unique<test::TempDir>("vbr_header_test");
        ASSERT_FALSE(temp_->path().empty());
        dir_ = temp_->path();
    }
    static void TearDownTestSuite() { temp_.reset(); }

    // Encodes 2 s of signal; returns the file and what lame printed.
    static Bytes encode(const Encoding& e, size_t samples, std::string* report) {
        const fs::path wav = dir_ / (std::string(e.name) + ".wav");
        const fs::path mp3 = dir_ / (std::string(e.name) + ".mp3");
        const fs::path log = dir_ / (std::string(e.name) + ".log");
        writeSignal(wav, e.rate, e.channels, samples);
        const std::string command =
            std::string("lame --nohist --resample ") + std::to_string(e.rate / 1000.0) + " " +
            e.lameArgs + " " + wav.string() + " " + mp3.string() + " >" + log.string() + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command << "\n" << readText(log);
        *report = readText(log);
        return readFile(mp3);
    }

    static std::unique_ptr<test::TempDir> temp_;
    static fs::path dir_;
};

std::unique_ptr<test::TempDir> LameFile::temp_;
fs::path LameFile::dir_;

TEST(Crc16, MatchesTheArcCheckValueAndContinues) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16Arc(text, 9), 0xBB3D);
    EXPECT_EQ(crc16Arc(text + 4, 5, crc16Arc(text, 4)), 0xBB3D);
    EXPECT_EQ(crc16Arc(text, 0), 0);
}

TEST_P(LameFile, HeaderAgreesWithTheStreamLameWrote) {
    const Encoding& e = GetParam();
    const size_t samples = 2 * e.rate;
    std::string report;
    const Bytes file = encode(e, samples, &report);
    ASSERT_FALSE(file.empty());
    const Decoded d = decodeFirstFrame(file);
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.sampleRate, e.rate) << "lame resampled";
    const VbrHeader& tag = d.tag;
    const uint32_t expectedFlags =
        VbrHeader::kXingValid | VbrHeader::kLameValid | (e.xingMagic ? VbrHeader::kXingMagic : 0);
    EXPECT_EQ(tag.tagFlags, expectedFlags);
    EXPECT_TRUE(tag.hasFramesAndToc());
    // lame's report begins "LAME <version> ...".
    EXPECT_EQ(tag.encoder, ("LAME" + report.substr(5, report.find(' ', 5) - 5)).substr(0, 9));

    const std::vector<size_t> frames = walkFrames(file, d.frameLength);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front(), d.frameLength);
    EXPECT_EQ(tag.xing.frames, frames.size());
    EXPECT_EQ(tag.xing.bytes, file.size());

    // Each entry is the position of the frame at that percent of the play
    // time, in 256ths of the audio after the header frame.
    EXPECT_EQ(tag.xing.toc[0], 0);
    const double audio = double(file.size() - d.frameLength);
    const auto toc = [&](size_t k) {
        return k < frames.size() ? double(frames[k] - d.frameLength) * 256 / audio : 256.0;
    };
    for (size_t i = 0; i < 100; ++i) {
        const size_t j = i * frames.size() / 100;
        EXPECT_GE(tag.xing.toc[i], std::floor(toc(j > 0 ? j - 1 : 0)) - 1) << "entry " << i;
        EXPECT_LE(tag.xing.toc[i], toc(j + 1) + 1) << "entry " << i;
        if (i > 0) {
            EXPECT_GE(tag.xing.toc[i], tag.xing.toc[i - 1]);
        }
    }

    const LameData& lame = tag.lame;
    const unsigned perFrame = d.lsf ? 576 : 1152;
    EXPECT_EQ(lame.encoderDelay + samples + lame.padding, size_t(tag.xing.frames) * perFrame);
    EXPECT_EQ(lame.musicLength, file.size());
    EXPECT_EQ(lame.musicCrc, slowCrc(file.data() + d.frameLength, file.size() - d.frameLength));
    EXPECT_EQ(lame.vbrMethod, e.vbrMethod);
    EXPECT_EQ(lame.stereoMode, e.stereoMode);
    EXPECT_EQ(lame.sourceFrequency, e.rate == 44100 ? 1u : 0u);
    if (e.kbps != 0) {
        EXPECT_EQ(lame.bitrate, e.kbps);
    }
    const size_t gainAt = report.find("ReplayGain: ");
    ASSERT_NE(gainAt, std::string::npos) << report;
    const double gain = std::atof(report.c_str() + gainAt + 12);
    EXPECT_EQ(lame.radioGain.name, 1);
    EXPECT_EQ(lame.radioGain.adjustment, std::lround(gain * 10));
    if (std::strstr(e.lameArgs, "accurate")) {
        EXPECT_NEAR(double(lame.peak) / MAD_F_ONE, 0.5, 0.05);
    }
}

// Mono MPEG-1 and every MPEG-2/2.5 frame put the LAME tag CRC at 175 or 167,
// and the 56 kbit/s frame is only 182 bytes long; "-p" adds a frame CRC, after
// which lame's header starts two bytes before the ancillary data.
INSTANTIATE_TEST_SUITE_P(
    Encodings, LameFile,
    ::testing::Values(Encoding{"cbr_stereo_44k", 44100, 2, "-m j -b 128", false, 1, 3, 128},
                      Encoding{"vbr_stereo_44k", 44100, 2, "-m s -V 4 --replaygain-accurate", true,
                               4, 1, 0},
                      Encoding{"abr_stereo_44k", 44100, 2, "-m j --abr 96", true, 2, 3, 96},
                      Encoding{"vbr_mono_44k", 44100, 1, "-m m -V 4", true, 4, 0, 0},
                      Encoding{"vbr_stereo_22k", 22050, 2, "-m j -V 6", true, 4, 3, 0},
                      Encoding{"cbr_mono_22k", 22050, 1, "-m m -b 56", false, 1, 0, 56},
                      Encoding{"vbr_mono_8k", 8000, 1, "-m m -V 6", true, 4, 0, 0},
                      Encoding{"vbr_crc_44k", 44100, 2, "-p -m j -V 4", true, 4, 3, 0},
                      Encoding{"cbr_crc_44k", 44100, 2, "-p -m j -b 160", false, 1, 3, 160}),
    [](const auto& info) { return std::string(info.param.name); });

// The header frame of a lame VBR file (MPEG-1 stereo: Xing at 36, LAME at 156).
class LameFrame : public ::testing::Test {
  protected:
    static constexpr size_t kLameAt = 156;

    void SetUp() override {
        const test::TempDir temp("vbr_frame_test");
        const fs::path& dir = temp.path();
        ASSERT_FALSE(dir.empty());
        writeSignal(dir / "a.wav", 44100, 2, 44100);
        const std::string command =
            "lame --quiet -V 4 " + (dir / "a.wav").string() + " " + (dir / "a.mp3").string();
        ASSERT_EQ(std::system(command.c_str()), 0);
        frame_ = readFile(dir / "a.mp3");
        frame_.resize(417);
        ASSERT_EQ(std::memcmp(&frame_[kLameAt], "LAME", 4), 0);
        std::memcpy(&frame_[kLameAt + 4], "3.100", 5);
        fixCrc();
    }

    void fixCrc() { put16(frame_, kLameAt + 34, slowCrc(frame_.data(), kLameAt + 34)); }

    // Parses the first `length` bytes, copied so that any read past them is caught.
    int parse(VbrHeader& tag, size_t length, size_t ancillaryByte = 36) {
        const Bytes exact(frame_.begin(), frame_.begin() + length);
        VbrFrame f{exact.data(), exact.size(), ancillaryByte * 8, (length - ancillaryByte) * 8, 3,
                   false,        44100};
        return parseVbrHeader(tag, f);
    }

    Bytes frame_;
};

TEST_F(LameFrame, OldEncoderVersionsRaiseTheReplayGain) {
    frame_[kLameAt + 15] = 0x2E; // radio, automatic, -11.7 dB
    frame_[kLameAt + 16] = 0x75;
    frame_[kLameAt + 17] = 0x4C; // audiophile, automatic, +5.0 dB
    frame_[kLameAt + 18] = 0x32;
    for (const auto& [version, radio, audiophile] :
         {std::tuple{"3.90 ", -111, 56}, std::tuple{"3.95 ", -117, 50}}) {
        std::memcpy(&frame_[kLameAt + 4], version, 5);
        fixCrc();
        VbrHeader tag;
        ASSERT_EQ(parse(tag, frame_.size()), 0);
        ASSERT_TRUE(tag.tagFlags & VbrHeader::kLameValid) << version;
        EXPECT_EQ(tag.lame.radioGain.adjustment, radio) << version;
        EXPECT_EQ(tag.lame.audiophileGain.name, 2);
        EXPECT_EQ(tag.lame.audiophileGain.adjustment, audiophile) << version;
    }
}

TEST_F(LameFrame, WrongCrcShortFrameAndBadRevisionDropOnlyTheExtension) {
    std::memset(&frame_[kLameAt + 9], 'U', 11);
    VbrHeader tag;
    ASSERT_EQ(parse(tag, frame_.size()), 0);
    EXPECT_EQ(tag.tagFlags, VbrHeader::kXingValid | VbrHeader::kXingMagic);
    EXPECT_STREQ(tag.encoder, "LAME3.100UUUUUUUUUUU");
    EXPECT_EQ(tag.lame.encoderDelay, 0);

    fixCrc();
    ASSERT_EQ(parse(tag, frame_.size()), 0);
    EXPECT_TRUE(tag.tagFlags & VbrHeader::kLameValid);
    EXPECT_STREQ(tag.encoder, "LAME3.100");
    frame_[200] ^= 0xFF; // past the CRC field
    ASSERT_EQ(parse(tag, frame_.size()), 0);
    EXPECT_TRUE(tag.tagFlags & VbrHeader::kLameValid);

    // One byte short of the extension: no LAME parse, the string ends at its padding.
    ASSERT_EQ(parse(tag, kLameAt + 35), 0);
    EXPECT_EQ(tag.tagFlags, VbrHeader::kXingValid | VbrHeader::kXingMagic);
    EXPECT_STREQ(tag.encoder, "LAME3.100");
    EXPECT_EQ(tag.xing.frames,
              0u + (frame_[44] << 24 | frame_[45] << 16 | frame_[46] << 8 | frame_[47]));

    frame_[kLameAt + 9] = 0xF5; // revision 15
    fixCrc();
    ASSERT_EQ(parse(tag, frame_.size()), 0);
    EXPECT_FALSE(tag.tagFlags & VbrHeader::kLameValid);
}

TEST_F(LameFrame, ExtensionWithoutXingPart) {
    Bytes lameOnly(frame_.begin(), frame_.begin() + 36);
    lameOnly.insert(lameOnly.end(), frame_.begin() + kLameAt, frame_.begin() + kLameAt + 36);
    lameOnly.resize(417);
    put16(lameOnly, 36 + 34, slowCrc(lameOnly.data(), 36 + 34));
    const uint16_t delay = uint16_t(frame_[kLameAt + 21] << 4 | frame_[kLameAt + 22] >> 4);
    frame_ = lameOnly;
    VbrHeader tag;
    ASSERT_EQ(parse(tag, frame_.size()), 0);
    EXPECT_EQ(tag.tagFlags, VbrHeader::kLameValid);
    EXPECT_EQ(tag.lame.encoderDelay, delay);
    EXPECT_FALSE(tag.hasFramesAndToc());
}

TEST_F(LameFrame, TruncatedXingAndTooFewAncillaryBits) {
    VbrHeader tag;
    ASSERT_EQ(parse(tag, 36 + 80), 0); // ends inside the table of contents
    EXPECT_EQ(tag.tagFlags, VbrHeader::kXingMagic);
    EXPECT_EQ(tag.xing.flags, 0u);
    EXPECT_EQ(tag.xing.frames, 0u);

    std::memset(static_cast<void*>(&tag), 0xAB, sizeof tag);
    EXPECT_EQ(parse(tag, 36 + 3), -1);
    EXPECT_EQ(tag.tagFlags, 0u);
    EXPECT_EQ(tag.xing.frames, 0u);
    EXPECT_EQ(tag.xing.toc[99], 0);
    EXPECT_EQ(tag.encoder[0], '\0');
    EXPECT_EQ(parse(tag, frame_.size(), frame_.size() + 100), -1); // ancillary start past the end
}

// An MPEG-1 stereo frame with only a frame count and another encoder's string.
TEST(VbrHeader, XingFramesOnlyAndForeignEncoderString) {
    Bytes frame(417, 0);
    put32(frame, 0, 0xFFFB9004);
    std::memcpy(&frame[36], "Xing", 4);
    put32(frame, 40, XingData::kFrames);
    put32(frame, 44, 1234);
    std::memcpy(&frame[48], "Enc 1.0UUUUUUUUUUUUUU", 20);
    VbrHeader tag;
    ASSERT_EQ(
        parseVbrHeader(tag, VbrFrame{frame.data(), frame.size(), 36 * 8, 381 * 8, 3, false, 44100}),
        0);
    EXPECT_EQ(tag.tagFlags, VbrHeader::kXingValid | VbrHeader::kXingMagic);
    EXPECT_EQ(tag.xing.frames, 1234u);
    EXPECT_FALSE(tag.hasFramesAndToc());
    EXPECT_STREQ(tag.encoder, "Enc 1.0");
}

TEST(VbrHeader, GarbageFramesHaveNoHeader) {
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        Bytes frame(1 + random() % 600);
        for (uint8_t& b : frame) {
            b = uint8_t(random());
        }
        const size_t start = random() % (frame.size() * 8 + 16);
        VbrHeader tag;
        EXPECT_EQ(parseVbrHeader(tag, VbrFrame{frame.data(), frame.size(), start, random() % 8000,
                                               3, false, 44100}),
                  -1);
        EXPECT_EQ(tag.tagFlags, 0u);
    }
}

// VBRI frames as encoders write them: "VBRI" 36 bytes after the first header
// byte whatever the side information size, then a table of bytes per entry.
struct Vbri {
    uint32_t header;
    unsigned sampleRate;
    size_t length;
    unsigned perFrame;
};

constexpr unsigned kEntries = 50;
constexpr unsigned kScale = 2;
constexpr unsigned kFramesPerEntry = 40;

Bytes buildVbri(const Vbri& v, std::vector<uint32_t>& entries, uint32_t& total) {
    Bytes frame(v.length, 0);
    put32(frame, 0, v.header);
    std::memcpy(&frame[36], "VBRI", 4);
    put16(frame, 40, 1);
    put16(frame, 42, 1105); // delay
    put16(frame, 44, 75);
    put32(frame, 50, kEntries * kFramesPerEntry);
    put16(frame, 54, kEntries);
    put16(frame, 56, kScale);
    put16(frame, 58, 2); // bytes per entry
    put16(frame, 60, kFramesPerEntry);
    total = 0;
    for (unsigned k = 0; k < kEntries; ++k) {
        entries.push_back(kScale * (600 + 150 * ((k * 7) % 11) + (k < 25 ? 0 : 900)));
        put16(frame, 62 + 2 * k, entries.back() / kScale);
        total += entries.back();
    }
    put32(frame, 46, total);
    return frame;
}

class VbriFrame : public ::testing::TestWithParam<Vbri> {};

TEST_P(VbriFrame, TableOfContentsFollowsTheTable) {
    const Vbri& v = GetParam();
    std::vector<uint32_t> entries;
    uint32_t total = 0;
    const Bytes frame = buildVbri(v, entries, total);
    Bytes twice = frame;
    twice.insert(twice.end(), frame.begin(), frame.end()); // libmad checks the next header
    const Decoded d = decodeFirstFrame(twice);
    ASSERT_EQ(d.frameLength, v.length);
    ASSERT_EQ(d.result, 0);
    const VbrHeader& tag = d.tag;
    EXPECT_EQ(tag.tagFlags, VbrHeader::kXingValid | VbrHeader::kFromVbri);
    EXPECT_EQ(tag.xing.flags, 7u);
    EXPECT_EQ(tag.xing.frames, kEntries * kFramesPerEntry);
    EXPECT_EQ(tag.xing.bytes, total);
    EXPECT_EQ(tag.lame.encoderDelay, 1105);
    EXPECT_TRUE(tag.hasFramesAndToc());

    // Entry k covers play time [k, k + 1) × T ÷ (N + 1); positions in between
    // are interpolated, those past the table are at the end.
    const double lengthMs = double(v.perFrame) * kEntries * kFramesPerEntry * 1000 / v.sampleRate;
    const double perEntry = lengthMs / (kEntries + 1);
    EXPECT_EQ(tag.xing.toc[0], 0);
    for (unsigned i = 0; i < 100; ++i) {
        const double at = i * lengthMs / 100 / perEntry;
        const unsigned k = unsigned(at);
        double position = total;
        if (k < kEntries) {
            position = (at - k) * entries[k];
            for (unsigned j = 0; j < k; ++j) {
                position += entries[j];
            }
        }
        EXPECT_NEAR(tag.xing.toc[i], std::min(255.0, std::floor(position * 256 / total)), 1.0)
            << "entry " << i;
        if (i > 0) {
            EXPECT_GE(tag.xing.toc[i], tag.xing.toc[i - 1]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, VbriFrame,
                         ::testing::Values(Vbri{0xFFFB9004, 44100, 417, 1152},  // MPEG-1 stereo
                                           Vbri{0xFFFB90C4, 44100, 417, 1152},  // MPEG-1 mono
                                           Vbri{0xFFF380C4, 22050, 208, 576})); // MPEG-2 mono

TEST(VbriFrameChecks, UnusableTablesAreNoHeader) {
    std::vector<uint32_t> entries;
    uint32_t total = 0;
    const Bytes good = buildVbri(Vbri{0xFFFB9004, 44100, 417, 1152}, entries, total);
    const auto parse = [](const Bytes& frame, size_t length) {
        const Bytes exact(frame.begin(), frame.begin() + length);
        VbrHeader tag;
        const int result = parseVbrHeader(
            tag, VbrFrame{exact.data(), length, 36 * 8, (length - 36) * 8, 3, false, 44100});
        if (result != 0) {
            EXPECT_EQ(tag.tagFlags, 0u);
        }
        return result;
    };
    ASSERT_EQ(parse(good, good.size()), 0);
    EXPECT_EQ(parse(good, 62 + 2 * kEntries), 0);
    EXPECT_EQ(parse(good, 62 + 2 * kEntries - 1), -1); // table cut short
    EXPECT_EQ(parse(good, 61), -1);
    // Entry size 0 and 5, no frames per entry, no entries, no bytes, no frames.
    for (const auto& [at, value] : {std::pair{58, 0}, std::pair{58, 5}, std::pair{60, 0},
                                    std::pair{54, 0}, std::pair{46, 0}, std::pair{50, 0}}) {
        Bytes bad = good;
        put16(bad, size_t(at), unsigned(value));
        if (at == 46 || at == 50) {
            put32(bad, size_t(at), 0);
        }
        EXPECT_EQ(parse(bad, bad.size()), -1) << "field at " << at;
    }
}

} // namespace
