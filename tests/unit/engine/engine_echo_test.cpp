// The echo processor on the engine's real wave buffers in no-device mode: each
// buffer is echoed in two halves, the history starts empty in every run, and
// the Sfx operations keep their clamping and error texts.
#include "tests/unit/engine/EffectTestSupport.h"

#include <gtest/gtest.h>

#include <array>

using namespace tolvane;
using namespace tolvane::test;

namespace {

class EngineEcho : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made"; }
    static std::filesystem::path file(const std::string& name) { return Mp3Files::get()[name]; }
};

using Block = std::vector<int16_t>;

// The decoded buffers split as the echo sees them: each buffer's first half
// (frames / 2) and its second half, as interleaved samples.
std::vector<Block> halves(const EngineOutput& out) {
    std::vector<Block> blocks;
    size_t at = 0;
    for (const uint32_t bytes : out.bufferBytes) {
        const size_t frames = bytes / 4;
        const size_t first = frames / 2;
        for (const size_t length : {first, frames - first}) {
            blocks.emplace_back(out.samples.begin() + long(at),
                                out.samples.begin() + long(at + 2 * length));
            at += 2 * length;
        }
    }
    return blocks;
}

// Mode 0 at 0 dB: out = x/2 + 0.5 (x/2) + 0.2 (x/2 one half buffer earlier)
// + 0.1 (x/2 two half buffers earlier), each tap `offset` half buffers later.
std::vector<int16_t> modeZero(const EngineOutput& decoded, size_t offset) {
    std::vector<Block> halved = halves(decoded);
    for (Block& block : halved) {
        for (int16_t& s : block) {
            s = int16_t(s / 2);
        }
    }
    const std::array<double, 3> taps = {0.5, 0.2, 0.1};
    std::vector<int16_t> out;
    for (size_t b = 0; b < halved.size(); ++b) {
        for (size_t i = 0; i < halved[b].size(); ++i) {
            double echo = 0.0;
            for (size_t j = 0; j < taps.size(); ++j) {
                const size_t age = offset + j;
                echo += age <= b ? taps[j] * halved[b - age][i] : 0.0;
            }
            out.push_back(int16_t(std::clamp(halved[b][i] + echo, -32768.0, 32767.0)));
        }
    }
    return out;
}

} // namespace

// Delay 49 ms is history offset 0, 50 ms offset 1 (delay × 20 / 1000).
TEST_F(EngineEcho, ModeZeroFollowsItsFormulaOnTheEnginesBuffers) {
    EngineOutput decoded;
    std::string error;
    ASSERT_TRUE(engineDecode(file("cbr44.mp3"), decoded, error)) << error;
    for (const auto& [delayMs, offset] : {std::pair{49, 0}, std::pair{50, 1}}) {
        SCOPED_TRACE(delayMs);
        EngineOutput out;
        const int32_t delay = delayMs;
        const auto setup = [delay](Mp3Engine& engine) {
            EXPECT_EQ(engine.SetSfxParam(1, 0, delay, 0, 0, 0), 1);
        };
        ASSERT_TRUE(engineDecode(file("cbr44.mp3"), out, error, setup)) << error;
        EXPECT_EQ(out.bufferBytes, decoded.bufferBytes);
        EXPECT_LE(maxDifference(out.samples, modeZero(decoded, size_t(offset))), 1);
    }
}

// A second run of the same engine starts from an empty history: it sounds
// exactly like the first, with no echo of the first run's end.
TEST_F(EngineEcho, EveryRunStartsWithAnEmptyHistory) {
    OutputCollector collector;
    Mp3Engine engine;
    ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), kCollectMask), 1);
    ASSERT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
    ASSERT_EQ(engine.SetSfxParam(1, 2, 300, 0, -3, 0), 1);
    for (int run = 0; run < 2; ++run) {
        collector.resetStopped();
        ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
        ASSERT_TRUE(collector.waitStopped());
    }
    const EngineOutput out = collector.output();
    ASSERT_EQ(out.samples.size() % 2, 0u);
    const size_t half = out.samples.size() / 2;
    const std::span<const int16_t> all(out.samples);
    EXPECT_EQ(maxDifference(all.first(half), all.subspan(half)), 0);
}

TEST_F(EngineEcho, ParametersAreClampedAndBadArgumentsRefused) {
    Mp3Engine engine;
    ASSERT_EQ(engine.SetSfxParam(1, 12, 5000, 3, -2, 1), 1);
    int32_t mode = 0, delay = 0, dry = 0, wet = 0, output = 0;
    ASSERT_EQ(engine.GetSfxParam(&mode, &delay, &dry, &wet, &output), 1);
    EXPECT_EQ(mode, 9);
    EXPECT_EQ(delay, 1000);
    EXPECT_EQ(dry, 3);
    EXPECT_EQ(wet, -2);
    EXPECT_EQ(output, 1);
    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fEcho, 1);
    EXPECT_EQ(status.nEchoMode, 9);

    EXPECT_EQ(engine.GetSfxParam(&mode, nullptr, &dry, &wet, &output), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "GetSfxParam->Invalid parameters !");
    int32_t left[20] = {};
    int32_t right[20] = {};
    EXPECT_EQ(engine.SetSfxModeData(0, left, right, 19), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "SetSfxModeData->Invalid parameters !");
    // Mode 8's taps 0.025, 0.017 and 0.005 read back in whole percent.
    EXPECT_EQ(engine.GetSfxModeData(8, left, right), 20);
    EXPECT_EQ(left[5], 2);
    EXPECT_EQ(left[6], 1);
    EXPECT_EQ(left[7], 0);

    ASSERT_EQ(engine.SetSfxParam(0, 3, 100, 0, 0, 0), 1);
    engine.GetStatus(&status);
    EXPECT_EQ(status.fEcho, 0);
    EXPECT_EQ(status.nEchoMode, 3);
}
