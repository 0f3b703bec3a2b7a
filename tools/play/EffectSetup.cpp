#include "tools/play/EffectSetup.h"

#include "engine/Mp3Engine.h"

namespace tolvane::play {

namespace {

// Equalizer kinds of the engine's operations.
constexpr int32_t kSubband = 0;
constexpr int32_t kBand = 1;

bool applySubband(const SubbandEq& eq, Mp3Engine& engine) {
    std::array<int32_t, 10> gains = eq.gainsDb;
    return engine.SetEqGains(kSubband, eq.preampDb, gains.data(), int32_t(gains.size())) &&
           engine.EnableEQ(1, kSubband);
}

// The layout goes first: CreateEqBands resets every gain. Enabling comes last
// so that a single design covers layout and gains.
bool applyBand(const PlayOptions& o, Mp3Engine& engine) {
    if (o.eqBands) {
        std::vector<int32_t> points = *o.eqBands;
        if (!engine.CreateEqBands(points.data(), int32_t(points.size()))) {
            return false;
        }
    }
    std::vector<int32_t> gains = o.eqGains->gainsMilli;
    return engine.SetEqGainsMilli(kBand, o.eqGains->preampMilli, gains.data(),
                                  int32_t(gains.size())) &&
           engine.EnableEQ(1, kBand);
}

} // namespace

bool EffectSetup::apply(const PlayOptions& o, Mp3Engine& engine) {
    if (o.subbandEq && !applySubband(*o.subbandEq, engine)) {
        return false;
    }
    if (o.eqGains && !applyBand(o, engine)) {
        return false;
    }
    if (o.echo) {
        const EchoSettings& e = *o.echo;
        return engine.SetSfxParam(1, e.mode, e.delayMs, e.dryDb, e.wetDb, e.outputDb) == 1;
    }
    return true;
}

} // namespace tolvane::play
