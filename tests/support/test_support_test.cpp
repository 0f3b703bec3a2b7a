#include "tests/support/SignalAnalysis.h"
#include "tests/support/WavFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tolvane::test {
namespace {

std::filesystem::path scratchFile(const char* name) {
    return std::filesystem::temp_directory_path() /
           (std::string("tolvane-support-") + std::to_string(getpid()) + "-" + name);
}

TEST(WavFile, RoundTripKeepsFormatAndSamples) {
    WavAudio audio;
    audio.sampleRate = 22050;
    audio.channels = 2;
    audio.samples = {0, 1, -1, 32767, -32768, 1234};
    const auto path = scratchFile("roundtrip.wav");
    std::string error;
    ASSERT_TRUE(writeWav(path, audio, error)) << error;
    WavAudio back;
    ASSERT_TRUE(readWav(path, back, error)) << error;
    std::filesystem::remove(path);
    EXPECT_EQ(back.sampleRate, 22050u);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.samples, audio.samples);
    EXPECT_EQ(back.frames(), 3u);
    EXPECT_EQ(back.channel(1), (std::vector<double>{1 / 32768.0, 32767 / 32768.0, 1234 / 32768.0}));
}

TEST(WavFile, UnfinishedHeaderReadsToEndOfFile) {
    WavAudio audio;
    audio.channels = 1;
    audio.samples = {5, 6, 7, 8};
    const auto path = scratchFile("unfinished.wav");
    std::string error;
    ASSERT_TRUE(writeWav(path, audio, error)) << error;
    // A recorder killed before it fixed the header leaves a data size of 0.
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(40);
        const char zero[4] = {};
        f.write(zero, 4);
    }
    WavAudio back;
    ASSERT_TRUE(readWav(path, back, error)) << error;
    std::filesystem::remove(path);
    EXPECT_EQ(back.samples, audio.samples);
}

TEST(WavFile, RejectsWhatItCannotRead) {
    const auto path = scratchFile("bad.wav");
    std::string error;
    WavAudio back;
    for (const std::string& bytes :
         {std::string("RIFF"), std::string("RIFF\0\0\0\0WAVEdata\x04\0\0\0abcd", 24),
          std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x44\xac\0\0\0\0\0\0\x04\0\x20\0",
                      36),
          std::string("RIFF\0\0\0\0WAVEfmt \xff\xff\0\0", 20)}) {
        std::ofstream(path, std::ios::binary) << bytes;
        error.clear();
        EXPECT_FALSE(readWav(path, back, error)) << bytes.size();
        EXPECT_FALSE(error.empty());
    }
    std::filesystem::remove(path);
    EXPECT_FALSE(readWav(path, back, error));
}

TEST(SignalAnalysis, FrequencyOfToneWithinHundredthOfPercent) {
    for (double f : {440.0, 1000.0, 997.3, 5000.0}) {
        const auto tone = makeTone(f, 44100, 1.0, 0.5);
        EXPECT_NEAR(estimateFrequency(tone, 44100), f, f * 1e-4) << f;
    }
    // Short windows and noise still land well inside 1 %.
    auto tone = makeTone(1000, 48000, 0.1, 0.5);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] += 0.05 * (std::rand() / double(RAND_MAX) - 0.5);
    }
    EXPECT_NEAR(estimateFrequency(tone, 48000), 1000, 2.0);
    EXPECT_EQ(estimateFrequency(std::vector<double>(10, 0.1), 44100), 0.0);
}

TEST(SignalAnalysis, RmsOfSineIsThreeDecibelsBelowPeak) {
    EXPECT_NEAR(rmsDb(makeTone(1000, 44100, 1.0, 1.0)), -3.0103, 0.001);
    EXPECT_NEAR(rmsDb(makeTone(1000, 44100, 1.0, 0.5)), -9.0309, 0.001);
    EXPECT_TRUE(std::isinf(rmsDb(std::vector<double>(100, 0.0))));
}

TEST(SignalAnalysis, SegmentsFindToneBurstsToTheSample) {
    const double rate = 44100;
    std::vector<double> x(size_t(rate), 0.0);
    const auto burst = makeTone(1000, rate, 0.2, 0.5);
    // Bursts start at a zero crossing, so the edge is found within one period.
    std::copy(burst.begin(), burst.end(), x.begin() + 4410);
    std::copy(burst.begin(), burst.end(), x.begin() + 22050);
    const auto segments = findSegments(x, rate);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_NEAR(double(segments[0].begin), 4410, 44);
    EXPECT_NEAR(double(segments[0].length()), burst.size(), 88);
    EXPECT_NEAR(double(segments[1].begin), 22050, 44);
    EXPECT_NEAR(double(findOnset(x, rate)), 4410, 44);
    EXPECT_EQ(findOnset(std::vector<double>(1000, 0.0), rate), 1000u);
}

TEST(SignalAnalysis, CrossCorrelationFindsTheDelay) {
    std::vector<double> a(20000, 0.0);
    std::vector<double> b(5000);
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = std::sin(i * 0.05) * std::sin(i * 0.0013) + 0.3 * std::sin(i * 0.71);
    }
    std::copy(b.begin(), b.end(), a.begin() + 1234);
    const Alignment found = crossCorrelate(a, b, 5000);
    EXPECT_EQ(found.lag, 1234);
    EXPECT_NEAR(found.coefficient, 1.0, 1e-9);
    const Alignment behind = crossCorrelate(b, a, 5000);
    EXPECT_EQ(behind.lag, -1234);
}

} // namespace
} // namespace tolvane::test
