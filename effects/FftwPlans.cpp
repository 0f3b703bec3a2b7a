#include "effects/FftwPlans.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace tolvane {

namespace {

std::mutex gPlannerMutex;

fftwf_plan makePlan(FftwPlans::Kind kind, int n) {
    // Real transforms need n floats and n/2 + 1 complex values; complex ones n
    // complex values on both sides.
    std::unique_ptr<fftwf_complex, FftwFree> in(fftwf_alloc_complex(size_t(n)));
    std::unique_ptr<fftwf_complex, FftwFree> out(fftwf_alloc_complex(size_t(n)));
    if (!in || !out) {
        return nullptr;
    }
    float* real = reinterpret_cast<float*>(in.get());
    switch (kind) {
    case FftwPlans::Kind::RealForward:
        return fftwf_plan_dft_r2c_1d(n, real, out.get(), FFTW_ESTIMATE);
    case FftwPlans::Kind::RealBackward:
        return fftwf_plan_dft_c2r_1d(n, out.get(), real, FFTW_ESTIMATE);
    case FftwPlans::Kind::ComplexForward:
        return fftwf_plan_dft_1d(n, in.get(), out.get(), FFTW_FORWARD, FFTW_ESTIMATE);
    case FftwPlans::Kind::ComplexBackward:
        return fftwf_plan_dft_1d(n, in.get(), out.get(), FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    return nullptr;
}

} // namespace

fftwf_plan FftwPlans::get(Kind kind, int n) {
    std::lock_guard lock(gPlannerMutex);
    // Never destroyed: a detached worker may still execute a plan at exit.
    static auto* plans = new std::map<std::pair<Kind, int>, fftwf_plan>;
    const auto key = std::make_pair(kind, n);
    if (auto found = plans->find(key); found != plans->end()) {
        return found->second;
    }
    fftwf_plan plan = makePlan(kind, n);
    if (plan) {
        plans->emplace(key, plan);
    }
    return plan;
}

} // namespace tolvane
