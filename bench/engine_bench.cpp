// Decoding a minute of music-like sound (pink noise, 192 kbit/s) through the
// engine in no-device mode, plainly and with each effect on. The CPU column is
// the process's CPU time per decode, every thread included; `extra_pct` is an
// effect's cost above plain decoding (run the plain case first, as listed).
// The BM_PairedExtra cases measure the same cost in alternating pairs, which
// holds steady on a busy machine:
//   build/default/bench/engine_bench --benchmark_filter=BM_PairedExtra
#include "engine/Mp3Engine.h"
#include "platform/Event.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

namespace tolvane {
namespace {

// Made once per run with sox and lame in a private temporary folder.
class NoiseFile {
  public:
    static const NoiseFile& get() {
        static NoiseFile file;
        return file;
    }
    const std::filesystem::path& path() const { return mp3_; }

  private:
    NoiseFile() {
        char pattern[] = "/tmp/tolvane-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            return;
        }
        dir_ = pattern;
        const std::string wav = (dir_ / "noise.wav").string();
        const std::string mp3 = (dir_ / "noise.mp3").string();
        const std::string command = "sox -V1 -n -r 44100 -b 16 -c 2 " + wav +
                                    " synth 60 pinknoise gain -8 && lame --quiet -b 192 " + wav +
                                    " " + mp3;
        if (std::system(command.c_str()) == 0) {
            mp3_ = mp3;
        }
    }
    ~NoiseFile() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path dir_;
    std::filesystem::path mp3_;
};

double processSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double gPlainSeconds = 0.0;

using Setup = void (*)(Mp3Engine&);

// An engine in no-device mode on the noise file, set up with one effect
// configuration, that decodes the whole file on demand.
class Decoder {
  public:
    bool open(Setup setup, std::string& error) {
        const auto& path = NoiseFile::get().path();
        if (path.empty()) {
            error = "sox or lame could not make the test file";
            return false;
        }
        const auto onStopped = [this](uint32_t code, uintptr_t, uintptr_t) {
            if (code == NOTIFY_STOPPED) {
                stopped_.set();
            }
            return 0;
        };
        if (!engine_.SetCallbackFunc(onStopped, NOTIFY_STOPPED) ||
            !engine_.OpenMp3File(path.c_str(), 0, 0, 0)) {
            error = engine_.GetLastErrorText();
            return false;
        }
        setup(engine_);
        return true;
    }

    // The process CPU seconds of one whole decode; negative when Play fails.
    double decode(std::string& error) {
        stopped_.reset();
        const double start = processSeconds();
        if (!engine_.Play()) {
            error = engine_.GetLastErrorText();
            return -1.0;
        }
        stopped_.wait();
        return processSeconds() - start;
    }

    double lengthSeconds() {
        MP3_TIME length{};
        engine_.GetSongLengthHMS(&length);
        return length.nMilliseconds * 0.001;
    }

  private:
    platform::Event stopped_{platform::Event::Reset::Manual};
    Mp3Engine engine_;
};

void BM_Decode(benchmark::State& state, Setup setup, bool plain) {
    Decoder decoder;
    std::string error;
    if (!decoder.open(setup, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    double cpu = 0.0;
    for (auto _ : state) {
        const double seconds = decoder.decode(error);
        if (seconds < 0.0) {
            state.SkipWithError(error.c_str());
            return;
        }
        cpu += seconds;
    }
    const double perDecode = cpu / double(state.iterations());
    if (plain) {
        gPlainSeconds = perDecode;
    }
    if (gPlainSeconds > 0.0) {
        state.counters["extra_pct"] = (perDecode / gPlainSeconds - 1.0) * 100.0;
    }
    state.counters["x_realtime"] = decoder.lengthSeconds() / perDecode;
}

// An effect configuration's cost measured in pairs: each iteration decodes
// plainly and with the effects, in alternating order, so that the machine's
// changing load falls on both sides alike. `extra_pct` is the ratio of the two
// CPU sums; use this one on a shared or busy machine.
void BM_PairedExtra(benchmark::State& state, Setup setup) {
    Decoder plain;
    Decoder effects;
    std::string error;
    if (!plain.open([](Mp3Engine&) {}, error) || !effects.open(setup, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    double sums[2] = {0.0, 0.0};
    bool plainFirst = true;
    for (auto _ : state) {
        for (int side : {plainFirst ? 0 : 1, plainFirst ? 1 : 0}) {
            const double seconds = (side == 0 ? plain : effects).decode(error);
            if (seconds < 0.0) {
                state.SkipWithError(error.c_str());
                return;
            }
            sums[side] += seconds;
        }
        plainFirst = !plainFirst;
    }
    state.counters["extra_pct"] = (sums[1] / sums[0] - 1.0) * 100.0;
}

int32_t kBandGains[10] = {6, 4, 2, 0, -2, -4, -2, 0, 2, 4};

void subband(Mp3Engine& engine) {
    engine.SetEqGains(0, -3, kBandGains, 10);
    engine.EnableEQ(1, 0);
}

void band(Mp3Engine& engine) {
    engine.SetEqGains(1, -3, kBandGains, 10);
    engine.EnableEQ(1, 1); // no-device mode: returns once the filter is designed
}

// Mode 0, the default, has three taps a channel; mode 2 uses all twenty.
void echo(Mp3Engine& engine) {
    engine.SetSfxParam(1, 0, 100, 0, -6, -3);
}

void echoAllTaps(Mp3Engine& engine) {
    engine.SetSfxParam(1, 2, 100, 0, -6, -3);
}

void mix(Mp3Engine& engine) {
    engine.MixChannels(1, 50, 50);
}

void vocalCut(Mp3Engine& engine) {
    engine.VocalCut(1);
}

void light(Mp3Engine& engine) {
    subband(engine);
    echo(engine);
    mix(engine);
    vocalCut(engine);
}

void everything(Mp3Engine& engine) {
    light(engine);
    band(engine);
}

#define DECODE_CASE(name, setup, plain)                                                            \
    BENCHMARK_CAPTURE(BM_Decode, name, setup, plain)                                               \
        ->MeasureProcessCPUTime()                                                                  \
        ->UseRealTime()                                                                            \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->MinTime(3.0)

DECODE_CASE(
    plain, [](Mp3Engine&) {}, true);
DECODE_CASE(subband_equalizer, subband, false);
DECODE_CASE(band_equalizer, band, false);
DECODE_CASE(echo, echo, false);
DECODE_CASE(echo_all_taps, echoAllTaps, false);
DECODE_CASE(channel_mix, mix, false);
DECODE_CASE(vocal_cut, vocalCut, false);
DECODE_CASE(subband_echo_mix_vocal_cut, light, false);
DECODE_CASE(all_effects, everything, false);

#define PAIRED_CASE(name, setup)                                                                   \
    BENCHMARK_CAPTURE(BM_PairedExtra, name, setup)                                                 \
        ->MeasureProcessCPUTime()                                                                  \
        ->UseRealTime()                                                                            \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->MinTime(10.0)

PAIRED_CASE(subband_echo_mix_vocal_cut, light);
PAIRED_CASE(band_equalizer, band);

} // namespace
} // namespace tolvane

BENCHMARK_MAIN();
