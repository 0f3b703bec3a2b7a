#pragma once

#include <fftw3.h>

namespace tolvane {

// Process-wide FFTW plans, made once per kind and size with FFTW_ESTIMATE and
// kept for the life of the process. FFTW's planner is not thread-safe, so plan
// creation is serialised by one mutex; executing a plan on new arrays
// (fftwf_execute_dft*) is thread-safe and needs no lock. Every plan is
// out-of-place and made on fftwf_malloc'd arrays, so it may be executed on any
// pair of distinct fftwf_malloc'd arrays of its size.
class FftwPlans {
  public:
    enum class Kind { RealForward, RealBackward, ComplexForward, ComplexBackward };

    // The plan of `kind` for size `n` (a power of two); null when FFTW cannot
    // make it or the memory for planning is missing.
    static fftwf_plan get(Kind kind, int n);
};

// fftwf_malloc'd memory released with fftwf_free.
struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};

} // namespace tolvane
