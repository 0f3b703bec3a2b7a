// Decoding in no-device mode: what the engine hands to NOTIFY_WAVE_BUFFER is
// compared with madplay's output and with the signals the files were made of.
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace tolvane;
using namespace tolvane::test;

namespace {

class EngineDecode : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made"; }
    static std::filesystem::path file(const std::string& name) { return Mp3Files::get()[name]; }
};

// Index of the first sample where the two differ, or the shorter length.
size_t firstDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    const size_t n = std::min(a.size(), b.size());
    return size_t(std::mismatch(a.begin(), a.begin() + long(n), b.begin()).first - a.begin());
}

} // namespace

TEST_F(EngineDecode, MatchesMadplaySampleForSample) {
    for (const char* name :
         {"cbr44.mp3", "cbr44_notag.mp3", "vbr44.mp3", "vbr44_notag.mp3", "crc44.mp3", "mono22.mp3",
          "mono44.mp3", "mpeg25_8k.mp3", "vbr22_mono.mp3", "loud44.mp3", "layer2_44.mp3",
          "layer2_22.mp3", "ffmpeg44.mp3", "id3v2_44.mp3", "id3v1_44.mp3"}) {
        SCOPED_TRACE(name);
        std::vector<int16_t> reference;
        ASSERT_TRUE(madplayDecode(file(name), reference));
        EngineOutput out;
        std::string error;
        ASSERT_TRUE(engineDecode(file(name), out, error)) << error;
        ASSERT_FALSE(out.bufferBytes.empty());
        EXPECT_EQ(out.samples.size(), reference.size());
        const size_t at = firstDifference(out.samples, reference);
        EXPECT_EQ(at, std::min(out.samples.size(), reference.size()))
            << "first difference at sample " << at;
    }
}

TEST_F(EngineDecode, VbriStreamDecodesLikeItsAudioFrames) {
    const auto audio = readBytes(file("cbr44_notag.mp3"));
    const auto path = Mp3Files::get().dir() / "decode-vbri.mp3";
    ASSERT_TRUE(writeBytes(path, withVbriHeader(audio)));
    std::vector<int16_t> reference;
    ASSERT_TRUE(madplayDecode(file("cbr44_notag.mp3"), reference));
    EngineOutput out;
    std::string error;
    ASSERT_TRUE(engineDecode(path, out, error)) << error;
    EXPECT_TRUE(out.samples == reference);
}

TEST_F(EngineDecode, BuffersHoldWholeFramesOfAboutATenthOfASecond) {
    EngineOutput out;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), out, error)) << error;
    ASSERT_GT(out.bufferBytes.size(), 2u);
    for (size_t i = 0; i + 1 < out.bufferBytes.size(); ++i) {
        EXPECT_EQ(out.bufferBytes[i], 4u * 1152 * 4); // 4 frames at 44.1 kHz
    }
    EXPECT_LE(out.bufferBytes.back(), 4u * 1152 * 4);
    ASSERT_TRUE(engineDecode(file("mono22.mp3"), out, error)) << error;
    EXPECT_EQ(out.bufferBytes.front(), 4u * 576 * 4); // MulDiv(100, 22050, 576000) = 4
    // The run's events: playing first, stopped last.
    EXPECT_EQ(out.events.front(), NOTIFY_PLAYING);
    EXPECT_EQ(out.events.back(), NOTIFY_STOPPED);
}

TEST_F(EngineDecode, MonoPlaysOnBothChannels) {
    EngineOutput out;
    std::string error;
    ASSERT_TRUE(engineDecode(file("mono22.mp3"), out, error)) << error;
    ASSERT_GT(out.samples.size(), 22050u);
    size_t differing = 0;
    int peak = 0;
    for (size_t i = 0; i + 1 < out.samples.size(); i += 2) {
        differing += out.samples[i] != out.samples[i + 1];
        peak = std::max(peak, std::abs(int(out.samples[i])));
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(peak, 8000);
}

TEST_F(EngineDecode, ChannelMixMakesBothSidesEqual) {
    EngineOutput plain;
    EngineOutput mixed;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), plain, error)) << error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), mixed, error, [](Mp3Engine& e) {
        e.MixChannels(1, 50, 50);
    })) << error;
    ASSERT_EQ(mixed.samples.size(), plain.samples.size());
    size_t differing = 0;
    for (size_t i = 0; i < mixed.samples.size(); i += 2) {
        differing += mixed.samples[i] != mixed.samples[i + 1];
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_NE(mixed.samples, plain.samples);
    MP3_STATUS status{};
    Mp3Engine engine;
    engine.MixChannels(1, 100, 0);
    engine.GetStatus(&status);
    EXPECT_EQ(status.fChannelMix, 1);
}

// A percentage too large for the fixed-point factor is held at the largest
// factor: the mix is loud but keeps the sign of its source.
TEST_F(EngineDecode, ChannelMixHoldsHugePercentagesAtTheLargestFactor) {
    EngineOutput plain;
    EngineOutput mixed;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), plain, error)) << error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), mixed, error, [](Mp3Engine& e) {
        e.MixChannels(1, 4000000000u, 0);
    })) << error;
    ASSERT_EQ(mixed.samples.size(), plain.samples.size());
    double agreement = 0;
    for (size_t i = 0; i < plain.samples.size(); i += 2) {
        agreement += double(plain.samples[i]) * mixed.samples[i];
    }
    EXPECT_GT(agreement, 0.0);
}

// Vocal cut of opposite channels near full scale: L - R overflows 16 bits and
// must hold at the limits instead of wrapping to the other sign.
TEST_F(EngineDecode, VocalCutSaturatesAtFullScale) {
    EngineOutput plain;
    EngineOutput cut;
    std::string error;
    ASSERT_TRUE(engineDecode(file("opposite44.mp3"), plain, error)) << error;
    ASSERT_TRUE(engineDecode(file("opposite44.mp3"), cut, error, [](Mp3Engine& e) {
        e.VocalCut(1);
    })) << error;
    ASSERT_EQ(cut.samples.size(), plain.samples.size());
    size_t clipped = 0;
    for (size_t i = 0; i < plain.samples.size(); i += 2) {
        const int l = plain.samples[i];
        const int r = plain.samples[i + 1];
        ASSERT_EQ(cut.samples[i], std::clamp(l - r, -32768, 32767)) << "at " << i;
        ASSERT_EQ(cut.samples[i + 1], std::clamp(r - l, -32768, 32767)) << "at " << i;
        clipped += std::abs(l - r) > 32767;
    }
    EXPECT_GT(clipped, 1000u); // the case is really exercised
}

TEST_F(EngineDecode, InternalVolumeScalesEachSide) {
    EngineOutput plain;
    EngineOutput scaled;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), plain, error)) << error;
    uint32_t left = 0;
    uint32_t right = 0;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), scaled, error, [&](Mp3Engine& e) {
        e.UseInternalVolume(1);
        e.SetVolume(150, 50);
        e.GetVolume(&left, &right);
    })) << error;
    EXPECT_EQ(left, 100u);
    EXPECT_EQ(right, 50u);
    ASSERT_EQ(scaled.samples.size(), plain.samples.size());
    const double half = 0.1 * std::pow(10.0, 0.5) - 0.1; // about 0.216
    for (size_t i = 0; i < plain.samples.size(); i += 2) {
        ASSERT_EQ(scaled.samples[i], plain.samples[i]); // gain exactly 1.0
        ASSERT_EQ(scaled.samples[i + 1], int16_t(plain.samples[i + 1] * half));
    }
}

TEST_F(EngineDecode, ImmediateFadesMuteAndRestore) {
    MP3_TIME zero{};
    EngineOutput muted;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), muted, error, [&](Mp3Engine& e) {
        e.FadeVolume(FADE_OUT, TIME_FORMAT_MS, &zero);
    })) << error;
    EXPECT_TRUE(
        std::all_of(muted.samples.begin(), muted.samples.end(), [](int16_t s) { return s == 0; }));
    EngineOutput plain;
    EngineOutput restored;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), plain, error)) << error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), restored, error, [&](Mp3Engine& e) {
        e.FadeVolume(FADE_OUT, TIME_FORMAT_MS, &zero);
        e.FadeVolume(FADE_IN, TIME_FORMAT_MS, &zero);
    })) << error;
    EXPECT_TRUE(restored.samples == plain.samples);

    Mp3Engine engine;
    EXPECT_EQ(engine.FadeVolume(FADE_IN, TIME_FORMAT_MS, nullptr), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "FadeVolume->MP3_TIME *pTime can't be 0");
    EXPECT_EQ(engine.FadeVolumeRestart(3, TIME_FORMAT_MS, &zero), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "FadeVolume->Invalid fMode !");
}

// Peak of each wave buffer's left channel.
std::vector<int> bufferPeaks(const EngineOutput& out) {
    std::vector<int> peaks;
    size_t at = 0;
    for (uint32_t bytes : out.bufferBytes) {
        int peak = 0;
        for (size_t i = at; i < at + bytes / 2; i += 2) {
            peak = std::max(peak, std::abs(int(out.samples[i])));
        }
        peaks.push_back(peak);
        at += bytes / 2;
    }
    return peaks;
}

TEST_F(EngineDecode, TimedFadeOutFallsToSilenceWithItsEvents) {
    MP3_TIME second{};
    second.nMilliseconds = 1000;
    EngineOutput out;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), out, error, [&](Mp3Engine& e) {
        e.FadeVolumeRestart(FADE_OUT, TIME_FORMAT_MS, &second);
    })) << error;
    const std::vector<int> peaks = bufferPeaks(out);
    ASSERT_GT(peaks.size(), 20u);
    // About ten buffers of 104 ms fall steadily; after a second all is silent.
    EXPECT_GT(peaks[1], 8000);
    for (size_t i = 2; i < 9; ++i) {
        EXPECT_LT(peaks[i], peaks[i - 1]) << "buffer " << i;
    }
    for (size_t i = 11; i < peaks.size(); ++i) {
        EXPECT_EQ(peaks[i], 0) << "buffer " << i;
    }
    const auto count = [&](uint32_t code) {
        return std::count(out.events.begin(), out.events.end(), code);
    };
    EXPECT_EQ(count(NOTIFY_FADEOUT_BEGIN), 1);
    EXPECT_EQ(count(NOTIFY_FADEOUT_END), 1);
    const auto begin = std::find(out.events.begin(), out.events.end(), NOTIFY_FADEOUT_BEGIN);
    const auto end = std::find(out.events.begin(), out.events.end(), NOTIFY_FADEOUT_END);
    EXPECT_LT(begin, end);
}

TEST_F(EngineDecode, FadeInRisesFromSilence) {
    MP3_TIME half{};
    half.nMilliseconds = 500;
    EngineOutput out;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), out, error, [&](Mp3Engine& e) {
        e.FadeVolumeRestart(FADE_IN, TIME_FORMAT_MS, &half);
    })) << error;
    const std::vector<int> peaks = bufferPeaks(out);
    ASSERT_GT(peaks.size(), 10u);
    EXPECT_LT(peaks[0], 1500);
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_GT(peaks[i], peaks[i - 1]) << "buffer " << i;
    }
    EXPECT_GT(peaks[8], 15000);
    EXPECT_EQ(std::count(out.events.begin(), out.events.end(), NOTIFY_FADEIN_END), 1);
}

// Where each of the codes first stands in the events, in the order given.
std::vector<long> firstPlaces(const EngineOutput& out, std::initializer_list<uint32_t> codes) {
    std::vector<long> places;
    for (uint32_t code : codes) {
        places.push_back(std::find(out.events.begin(), out.events.end(), code) -
                         out.events.begin());
    }
    return places;
}

// A fade-in asked for while a fade-out runs takes over from the level reached:
// the fade-out ends before the fade-in begins, and the sound comes back to
// full level, sample for sample the same as without fades.
TEST_F(EngineDecode, FadeInTakesOverARunningFadeOut) {
    EngineOutput plain;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), plain, error)) << error;
    MP3_TIME two{};
    two.nMilliseconds = 2000;
    MP3_TIME half{};
    half.nMilliseconds = 500;
    EngineOutput out;
    ASSERT_TRUE(engineDecode(
        file("cbr44.mp3"), out, error,
        [&](Mp3Engine& e) { e.FadeVolumeRestart(FADE_OUT, TIME_FORMAT_MS, &two); },
        [&](Mp3Engine& e, uint32_t index) {
            if (index == 4) {
                e.FadeVolume(FADE_IN, TIME_FORMAT_MS, &half);
            }
        }))
        << error;
    const std::vector<int> peaks = bufferPeaks(out);
    const std::vector<int> full = bufferPeaks(plain);
    ASSERT_EQ(out.bufferBytes, plain.bufferBytes);
    ASSERT_GT(peaks.size(), 20u);
    for (size_t i = 2; i <= 4; ++i) {
        EXPECT_LT(peaks[i], peaks[i - 1]) << "buffer " << i;
    }
    EXPECT_LT(peaks[4], full[4] * 3 / 4);
    for (size_t i = 7; i < 10; ++i) {
        EXPECT_GT(peaks[i], peaks[i - 1]) << "buffer " << i;
    }
    size_t from = 0;
    for (size_t i = 0; i < 12; ++i) {
        from += out.bufferBytes[i] / 2;
    }
    EXPECT_TRUE(std::equal(out.samples.begin() + long(from), out.samples.end(),
                           plain.samples.begin() + long(from)));
    for (uint32_t code :
         {NOTIFY_FADEOUT_BEGIN, NOTIFY_FADEOUT_END, NOTIFY_FADEIN_BEGIN, NOTIFY_FADEIN_END}) {
        EXPECT_EQ(std::count(out.events.begin(), out.events.end(), code), 1) << code;
    }
    const std::vector<long> at = firstPlaces(
        out, {NOTIFY_FADEOUT_BEGIN, NOTIFY_FADEOUT_END, NOTIFY_FADEIN_BEGIN, NOTIFY_FADEIN_END});
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end()));
}

// Answer 1 to the waiting form of a fade's begin cancels the fade: its end
// follows and nothing is faded.
TEST_F(EngineDecode, AnswerOneToTheFadeBeginCancelsTheFade) {
    EngineOutput plain;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), plain, error)) << error;
    const uint32_t waitingBegin = waitingForm(NOTIFY_FADEOUT_BEGIN);
    OutputCollector collector(
        [&](uint32_t code, uint32_t) { return code == waitingBegin ? 1 : 0; });
    Mp3Engine engine;
    ASSERT_TRUE(engine.SetCallbackFunc(collector.callback(), kCollectMask | waitingBegin));
    ASSERT_TRUE(engine.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0))
        << engine.GetLastErrorText();
    MP3_TIME second{};
    second.nMilliseconds = 1000;
    ASSERT_TRUE(engine.FadeVolumeRestart(FADE_OUT, TIME_FORMAT_MS, &second));
    ASSERT_TRUE(engine.Play()) << engine.GetLastErrorText();
    ASSERT_TRUE(collector.waitStopped());
    engine.CloseStream();
    const EngineOutput out = collector.output();
    EXPECT_TRUE(out.samples == plain.samples);
    EXPECT_EQ(collector.count(waitingBegin), 1u);
    EXPECT_EQ(collector.count(NOTIFY_FADEOUT_BEGIN), 1u);
    EXPECT_EQ(collector.count(NOTIFY_FADEOUT_END), 1u);
    const std::vector<long> at = firstPlaces(out, {NOTIFY_FADEOUT_BEGIN, NOTIFY_FADEOUT_END});
    EXPECT_LT(at[0], at[1]);
}
