#pragma once

#include "effects/FftwPlans.h"

#include <memory>

namespace tolvane {

// Real discrete Fourier transform of n points (a power of two), in place, in
// the packing the equalizer and the spectrum work with:
//   forward: a[0] = Σ x[j], a[1] = Σ x[j] cos(πj) (the n/2 term), and for
//   0 < k < n/2 a[2k] = Σ x[j] cos(2πjk/n), a[2k+1] = Σ x[j] sin(2πjk/n);
//   backward: the unscaled inverse of that packing, so that forward followed
//   by backward multiplies the data by n/2.
// One object may be used by one thread at a time; objects of the same size
// share FFTW's plans and may run on different threads at once.
class RealFft {
  public:
    // Null when n is not a power of two of at least 2, or memory is missing.
    static std::unique_ptr<RealFft> create(int n);

    int size() const { return n_; }
    void forward(float* a);
    void backward(float* a);

  private:
    RealFft(int n, fftwf_plan forward, fftwf_plan backward);

    int n_;
    fftwf_plan forwardPlan_;
    fftwf_plan backwardPlan_;
    std::unique_ptr<float, FftwFree> real_;
    std::unique_ptr<fftwf_complex, FftwFree> spectrum_;
};

} // namespace tolvane
