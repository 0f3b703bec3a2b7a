// `tolvane-play decode`: the WAV it writes holds madplay's samples exactly,
// wherever it writes them, and each option reaches the engine as asked.
#include "tests/integration/play/PlayTestSupport.h"
#include "tests/support/SignalAnalysis.h"
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace tolvane::test;

namespace {

class PlayDecode : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(PlayFiles::get().ok()) << "test files not made"; }
    static std::filesystem::path file(const std::string& name) { return PlayFiles::get()[name]; }
};

// Sample frames in one of the engine's wave buffers: whole MPEG frames of
// about 100 ms (MulDiv(100, rate, samples per frame × 1000), at least one).
size_t bufferFrames(const std::map<std::string, long>& info) {
    const long layer = info.at("layer");
    const long samplesPerFrame = layer == 1                                   ? 384
                                 : layer == 4 && info.at("mpeg_version") != 1 ? 576
                                                                              : 1152;
    const long rate = info.at("sample_rate");
    const long perBuffer =
        std::max(1L, (100 * rate + samplesPerFrame * 500) / (samplesPerFrame * 1000));
    return size_t(perBuffer * samplesPerFrame);
}

// Checks that `out` holds `reference` sample for sample in every full wave
// buffer; only the partly filled last buffer may differ.
void expectFullBuffersEqual(const WavAudio& out, const WavAudio& reference, size_t bufferFrames) {
    ASSERT_EQ(out.channels, 2u);
    ASSERT_EQ(reference.channels, 2u);
    ASSERT_EQ(out.sampleRate, reference.sampleRate);
    const size_t full = out.frames() / bufferFrames * bufferFrames;
    ASSERT_GT(full, 0u);
    ASSERT_LE(full, reference.frames());
    EXPECT_LT(std::max(out.frames(), reference.frames()) - full, bufferFrames)
        << "lengths " << out.frames() << " and " << reference.frames();
    const auto end = out.samples.begin() + long(2 * full);
    const auto [at, _] = std::mismatch(out.samples.begin(), end, reference.samples.begin());
    EXPECT_EQ(at, end) << "first difference at sample frame " << (at - out.samples.begin()) / 2
                       << " of " << full;
}

std::vector<double> slice(const std::vector<double>& x, double from, double seconds, double rate) {
    const size_t begin = std::min(x.size(), size_t(from * rate));
    const size_t end = std::min(x.size(), begin + size_t(seconds * rate));
    return {x.begin() + long(begin), x.begin() + long(end)};
}

double levelAt(const WavAudio& audio, uint16_t channel, double from, double seconds = 0.1) {
    return rmsDb(slice(audio.channel(channel), from, seconds, audio.sampleRate));
}

// Where in sweep44.mp3 the 100 ms of `audio` around `at` come from: its
// sweep rises from 300 Hz tenfold over 4 seconds, so the pitch tells the second.
double sourceSecond(const WavAudio& audio, double at) {
    const double pitch = estimateFrequency(
        slice(audio.channel(0), at - 0.05, 0.1, audio.sampleRate), audio.sampleRate);
    return 4.0 * std::log10(pitch / 300.0);
}

// The encoder's delay, the seek's granularity and the frames a decoder
// restarted mid-stream cannot decode (their bit reservoir lies behind the
// seek point) move the sound by up to about four frames.
constexpr double kSweepTolerance = 0.12;

uint32_t headerField(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

} // namespace

TEST_F(PlayDecode, FullBuffersEqualMadplayForEveryEncoding) {
    const std::vector<std::string> names = PlayFiles::get().names();
    ASSERT_GE(names.size(), 20u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const auto info = infoOf(file(name));
        ASSERT_EQ(info.size(), 12u);
        WavAudio out;
        WavAudio reference;
        std::string error;
        ASSERT_TRUE(toolDecode(file(name), out, error)) << error;
        ASSERT_TRUE(madplayDecode(file(name), reference, error)) << error;
        EXPECT_EQ(long(out.sampleRate), info.at("sample_rate"));
        expectFullBuffersEqual(out, reference, bufferFrames(info));
    }
}

// madplay does not know VBRI headers; it decodes the audio frames alone.
TEST_F(PlayDecode, VbriFileEqualsMadplayOnItsAudioFrames) {
    const auto audio = readBytes(file("l3_cbr44_noheader.mp3"));
    const auto path = PlayFiles::get().dir() / "vbri44.mp3";
    ASSERT_TRUE(writeBytes(path, withVbriHeader(audio)));
    const auto info = infoOf(path);
    ASSERT_EQ(info.size(), 12u);
    EXPECT_GT(info.at("header_size"), 0);
    WavAudio out;
    WavAudio reference;
    std::string error;
    ASSERT_TRUE(toolDecode(path, out, error)) << error;
    ASSERT_TRUE(madplayDecode(file("l3_cbr44_noheader.mp3"), reference, error)) << error;
    expectFullBuffersEqual(out, reference, bufferFrames(info));
}

// The same samples reach a file, standard output redirected to a file and a
// pipe; a regular file gets the true sizes, a pipe the streaming header.
TEST_F(PlayDecode, WritesFilesStandardOutputAndPipes) {
    const auto dir = PlayFiles::get().dir();
    const std::string mp3 = file("tone44.mp3").string();
    ASSERT_EQ(runTool({"decode", mp3, (dir / "a.wav").string()}).exitCode, 0);
    ASSERT_EQ(runTool({"decode", mp3, "-"}, dir / "b.wav").exitCode, 0);
    const std::string pipe =
        toolPath().string() + " decode " + mp3 + " - | cat > " + (dir / "c.wav").string();
    ASSERT_EQ(std::system(pipe.c_str()), 0);

    const std::string a = readText(dir / "a.wav");
    ASSERT_GT(a.size(), 44u);
    EXPECT_EQ(readText(dir / "b.wav"), a);
    EXPECT_EQ(headerField(a, 4), a.size() - 8);
    EXPECT_EQ(headerField(a, 40), a.size() - 44);
    EXPECT_EQ(headerField(a, 24), 44100u);
    const std::string c = readText(dir / "c.wav");
    ASSERT_EQ(c.size(), a.size());
    EXPECT_EQ(headerField(c, 40), 0xFFFFFFFFu);
    EXPECT_EQ(c.substr(44), a.substr(44));

    const ProcessResult null = runTool({"decode", mp3, "/dev/null"});
    EXPECT_EQ(null.exitCode, 0) << null.err;
    EXPECT_EQ(runTool({"decode", mp3, "-"}, "/dev/null").exitCode, 0);
}

TEST_F(PlayDecode, SeekStartsLater) {
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("sweep44.mp3"), out, error, {"--seek", "2000"})) << error;
    EXPECT_NEAR(out.seconds(), 2.05, 0.15);
    EXPECT_NEAR(sourceSecond(out, 0.2), 2.2, kSweepTolerance);
}

TEST_F(PlayDecode, ReversePlaysBackwardsFromTheEndOrFromSeek) {
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("sweep44.mp3"), out, error, {"--reverse"})) << error;
    EXPECT_NEAR(out.seconds(), 4.05, 0.15);
    EXPECT_NEAR(sourceSecond(out, 0.5), 3.5, kSweepTolerance);
    EXPECT_NEAR(sourceSecond(out, 3.0), 1.0, kSweepTolerance);

    ASSERT_TRUE(toolDecode(file("sweep44.mp3"), out, error, {"--seek", "2000", "--reverse"}))
        << error;
    EXPECT_NEAR(out.seconds(), 2.0, 0.15);
    EXPECT_NEAR(sourceSecond(out, 0.5), 1.5, kSweepTolerance);
}

TEST_F(PlayDecode, LoopRepeatsThePart) {
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("sweep44.mp3"), out, error, {"--loop", "1000", "2000", "3"}))
        << error;
    EXPECT_NEAR(out.seconds(), 3.0, 0.2);
    for (double at : {0.5, 1.5, 2.5}) {
        EXPECT_NEAR(sourceSecond(out, at), 1.5, kSweepTolerance) << "at " << at;
    }
}

TEST_F(PlayDecode, VolumeSetsEachSide) {
    WavAudio plain;
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("tone44.mp3"), plain, error)) << error;
    ASSERT_TRUE(toolDecode(file("tone44.mp3"), out, error, {"--volume", "50", "0"})) << error;
    // 50 % is the gain 0.1 × 10^0.5 − 0.1.
    const double expected = 20 * std::log10(0.1 * std::pow(10.0, 0.5) - 0.1);
    EXPECT_NEAR(levelAt(out, 0, 1.0, 1.0) - levelAt(plain, 0, 1.0, 1.0), expected, 0.1);
    EXPECT_TRUE(std::isinf(levelAt(out, 1, 1.0, 1.0)));
}

TEST_F(PlayDecode, FadesRiseAtTheStartAndFallAtTheEnd) {
    WavAudio plain;
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("tone44.mp3"), plain, error)) << error;
    ASSERT_TRUE(
        toolDecode(file("tone44.mp3"), out, error, {"--fade-in", "1000", "--fade-out", "1000"}))
        << error;
    EXPECT_EQ(out.frames(), plain.frames());
    const double full = levelAt(plain, 0, 2.0);
    const double end = plain.seconds();
    EXPECT_LT(levelAt(out, 0, 0.05), full - 20);
    EXPECT_LT(levelAt(out, 0, 0.5), full - 3);
    EXPECT_NEAR(levelAt(out, 0, 1.5), full, 0.1);
    EXPECT_NEAR(levelAt(out, 0, 2.0), full, 0.1);
    EXPECT_LT(levelAt(out, 0, end - 0.5), full - 3);
    EXPECT_LT(levelAt(out, 0, end - 0.1), full - 20);

    // In a loop the fade falls at the end of the last repetition (each
    // repetition starts with a frame of silence).
    ASSERT_TRUE(toolDecode(file("tone44.mp3"), out, error,
                           {"--loop", "1000", "2000", "3", "--fade-out", "500"}))
        << error;
    EXPECT_NEAR(levelAt(out, 0, 2.3), full, 0.1);
    EXPECT_LT(levelAt(out, 0, out.seconds() - 0.1), full - 20);
}

TEST_F(PlayDecode, MixPutsTheChosenSideOnBoth) {
    WavAudio plain;
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("l3_cbr44_stereo.mp3"), plain, error)) << error;
    ASSERT_TRUE(toolDecode(file("l3_cbr44_stereo.mp3"), out, error, {"--mix", "0", "100"}))
        << error;
    const auto left = out.channel(0);
    const auto right = out.channel(1);
    const auto plainRight = plain.channel(1);
    // Both sides carry the right channel; only the dither tells them apart.
    const size_t from = 44100 / 2;
    const size_t n = 44100;
    EXPECT_GT(crossCorrelate(slice(left, 0.5, 1.0, 44100), slice(plainRight, 0.5, 1.0, 44100), 0)
                  .coefficient,
              0.999);
    double largest = 0;
    for (size_t i = from; i < from + n; ++i) {
        largest = std::max(largest, std::abs(left[i] - right[i]) * 32768);
    }
    EXPECT_LE(largest, 2.0);
}

TEST_F(PlayDecode, VocalCutRemovesTheCentre) {
    WavAudio plain;
    WavAudio out;
    std::string error;
    ASSERT_TRUE(toolDecode(file("centre44.mp3"), plain, error)) << error;
    ASSERT_TRUE(toolDecode(file("centre44.mp3"), out, error, {"--vocal-cut"})) << error;
    EXPECT_GT(levelAt(plain, 0, 1.0, 1.0), -12);
    EXPECT_LT(levelAt(out, 0, 1.0, 1.0), -60);
    EXPECT_LT(levelAt(out, 1, 1.0, 1.0), -60);
}

// The effects, on tones44.mp3: 350 Hz on the left, 5000 Hz on the right.
class PlayDecodeEffects : public PlayDecode {
  protected:
    void SetUp() override {
        PlayDecode::SetUp();
        std::string error;
        ASSERT_TRUE(toolDecode(file("tones44.mp3"), plain, error)) << error;
    }

    // The change in dB an effect makes on `channel` at the start and in the
    // middle of the file (the encoder's delay precedes 0.05 s).
    void expectChange(const WavAudio& out, uint16_t channel, double db, double tolerance) {
        for (double from : {0.05, 1.0}) {
            EXPECT_NEAR(levelAt(out, channel, from, 0.2) - levelAt(plain, channel, from, 0.2), db,
                        tolerance)
                << "channel " << channel << " from " << from << " s";
        }
    }

    WavAudio decode(const std::vector<std::string>& options) {
        WavAudio out;
        std::string error;
        EXPECT_TRUE(toolDecode(file("tones44.mp3"), out, error, options)) << error;
        EXPECT_EQ(out.frames(), plain.frames());
        return out;
    }

    WavAudio plain;
};

// The first design is done before decoding starts: the very first samples are
// equalized, and nothing of the filter's latency shows in the output.
TEST_F(PlayDecodeEffects, BandEqualizerCutsTheBandFromTheFirstSample) {
    WavAudio out = decode({"--eq-bands", "0,1000,96000", "--eq-gains", "0", "-12,0"});
    expectChange(out, 0, -12, 0.5);
    expectChange(out, 1, 0, 0.5);

    // The engine's own ten bands: 350 Hz lies in the third (240 to 455 Hz),
    // 5000 Hz in the seventh (4500 to 9000 Hz); gains take fractions of a dB.
    out = decode({"--eq-gains", "-6.5", "0,0,-12,0,0,0,3.25,0,0,0"});
    expectChange(out, 0, -18.5, 0.5);
    expectChange(out, 1, -3.25, 0.5);
}

TEST_F(PlayDecodeEffects, BandEqualizerAtZeroDecibelsChangesNothing) {
    const WavAudio out = decode({"--eq-gains", "0", "0,0,0,0,0,0,0,0,0,0"});
    ASSERT_EQ(out.samples.size(), plain.samples.size());
    int largest = 0;
    for (size_t i = 0; i < out.samples.size(); ++i) {
        largest = std::max(largest, std::abs(int(out.samples[i]) - int(plain.samples[i])));
    }
    EXPECT_LE(largest, 1);
}

TEST_F(PlayDecodeEffects, SubbandEqualizerSetsItsBandsAndClipsTheGain) {
    // 350 Hz lies in sub-band 0 (band 0), 5000 Hz in sub-band 7 (band 5).
    WavAudio out = decode({"--eq-subband", "0", "-12,0,0,0,0,0,0,0,0,0"});
    expectChange(out, 0, -12, 0.5);
    expectChange(out, 1, 0, 0.5);
    // -30 + 50 dB is clipped to the largest factor, 7.99999999627471.
    out = decode({"--eq-subband", "-30", "50,0,0,0,0,0,0,0,0,0"});
    expectChange(out, 0, 20 * std::log10(7.99999999627471), 0.2);
    expectChange(out, 1, -30, 0.2);
}

// Mode 0's taps are 0.5, 0.2 and 0.1 on the halved signal, the first one
// `offset` half buffers back (delay × 20 ÷ 1000), each further one half a
// buffer more; dry and echo factors are 10^((gain + output gain) ÷ 20).
TEST_F(PlayDecodeEffects, EchoAddsModeZerosTapsHalfABufferApart) {
    const size_t buffer = bufferFrames(infoOf(file("tones44.mp3")));
    ASSERT_EQ(buffer % 2, 0u);
    const size_t half = buffer / 2;
    struct Case {
        std::string echo;
        size_t offset;
        double dry;
        double wet;
    };
    for (const Case& c : {Case{"0,0,0,0,0", 0, 0, 0}, Case{"0,50,-6,-3,2", 1, -4, -1}}) {
        SCOPED_TRACE(c.echo);
        const WavAudio out = decode({"--echo", c.echo});
        const double dry = std::pow(10.0, c.dry / 20);
        const double wet = std::pow(10.0, c.wet / 20);
        // Whole buffers only: the last, partly filled one has shorter halves.
        const size_t frames = plain.frames() / buffer * buffer;
        auto halved = [&](size_t frame, size_t back, size_t channel) {
            return frame >= back ? double(plain.samples[2 * (frame - back) + channel] / 2) : 0.0;
        };
        int largest = 0;
        for (size_t k = 0; k < frames; ++k) {
            for (size_t ch = 0; ch < 2; ++ch) {
                const double taps = 0.5 * halved(k, c.offset * half, ch) +
                                    0.2 * halved(k, (c.offset + 1) * half, ch) +
                                    0.1 * halved(k, (c.offset + 2) * half, ch);
                const double expected =
                    std::clamp(std::trunc(halved(k, 0, ch) * dry + taps * wet), -32768.0, 32767.0);
                largest = std::max(largest, int(std::abs(expected - out.samples[2 * k + ch])));
            }
        }
        EXPECT_LE(largest, 1);
    }
}
