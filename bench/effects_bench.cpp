// Inner loops of the effects: the band equalizer's apply in frames per second
// (its share of decoding's CPU time is what matters), the sub-band equalizer,
// the filter design and the spectrum's transforms.
#include "effects/BandEqualizer.h"
#include "effects/FirDesigner.h"
#include "effects/RealFft.h"
#include "effects/SubbandEqualizer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

namespace tolvane {
namespace {

constexpr int kRate = 44100;
// One wave buffer of the engine at 44.1 kHz: 4 MPEG frames of 1152 samples.
constexpr int kWaveBufferFrames = 4 * 1152;

std::vector<int16_t> noise(size_t samples) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> dist(-16000, 16000);
    std::vector<int16_t> pcm(samples);
    for (auto& s : pcm) {
        s = int16_t(dist(rng));
    }
    return pcm;
}

void BM_BandEqualizerApply(benchmark::State& state) {
    BandEqualizer eq;
    const int32_t gains[10] = {6, 4, 2, 0, -2, -4, -2, 0, 2, 4};
    eq.setGains(0, gains, 10, false);
    const char* error = "";
    if (!eq.enable(true, error)) {
        state.SkipWithError(error);
        return;
    }
    eq.setStreamRate(kRate);
    eq.waitForDesigns(std::chrono::seconds(60));
    const int frames = int(state.range(0));
    const auto source = noise(size_t(frames) * 2);
    std::vector<int16_t> buffer = source;
    for (auto _ : state) {
        eq.apply(buffer.data(), frames);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.SetLabel("items = stereo frames");
}
BENCHMARK(BM_BandEqualizerApply)->Arg(kWaveBufferFrames)->Arg(FirDesigner::kTaps);

void BM_SubbandEqualizerApply(benchmark::State& state) {
    SubbandEqualizer eq;
    const int32_t gains[10] = {6, 4, 2, 0, -2, -4, -2, 0, 2, 4};
    eq.setGains(-3, gains, false);
    mad_frame frame;
    mad_frame_init(&frame);
    frame.header.layer = MAD_LAYER_III;
    frame.header.mode = MAD_MODE_STEREO;
    std::mt19937 rng(2);
    std::uniform_int_distribution<mad_fixed_t> dist(-0x08000000, 0x08000000);
    for (auto& channel : frame.sbsample) {
        for (auto& row : channel) {
            for (auto& s : row) {
                s = dist(rng);
            }
        }
    }
    for (auto _ : state) {
        eq.apply(frame);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 1152);
    mad_frame_finish(&frame);
}
BENCHMARK(BM_SubbandEqualizerApply);

void BM_FirDesign(benchmark::State& state) {
    const std::vector<float> edges = {115, 240, 455, 800, 2000, 4500, 9000, 13000, 15000};
    const std::vector<float> gains = {2.0f, 1.5f, 1.2f, 1.0f, 0.8f, 0.6f, 0.8f, 1.0f, 1.2f, 1.5f};
    std::vector<float> taps(16384, 0.0f);
    auto fft = RealFft::create(16384);
    for (auto _ : state) {
        FirDesigner::design(edges, gains.data(), kRate, taps.data());
        fft->forward(taps.data());
        benchmark::DoNotOptimize(taps.data());
    }
}
BENCHMARK(BM_FirDesign)->Unit(benchmark::kMillisecond);

void BM_RealFftForward(benchmark::State& state) {
    const int n = int(state.range(0));
    auto fft = RealFft::create(n);
    std::vector<float> a(size_t(n), 0.25f);
    for (auto _ : state) {
        fft->forward(a.data());
        benchmark::DoNotOptimize(a.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_RealFftForward)->RangeMultiplier(8)->Range(32, 16384);

} // namespace
} // namespace tolvane

BENCHMARK_MAIN();
