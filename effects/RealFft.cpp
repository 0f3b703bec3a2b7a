#include "effects/RealFft.h"

#include <cstring>

namespace tolvane {

std::unique_ptr<RealFft> RealFft::create(int n) {
    if (n < 2 || (n & (n - 1)) != 0) {
        return nullptr;
    }
    fftwf_plan forward = FftwPlans::get(FftwPlans::Kind::RealForward, n);
    fftwf_plan backward = FftwPlans::get(FftwPlans::Kind::RealBackward, n);
    if (!forward || !backward) {
        return nullptr;
    }
    std::unique_ptr<RealFft> fft(new RealFft(n, forward, backward));
    if (!fft->real_ || !fft->spectrum_) {
        return nullptr;
    }
    return fft;
}

RealFft::RealFft(int n, fftwf_plan forward, fftwf_plan backward)
    : n_(n), forwardPlan_(forward), backwardPlan_(backward), real_(fftwf_alloc_real(size_t(n))),
      spectrum_(fftwf_alloc_complex(size_t(n / 2 + 1))) {}

void RealFft::forward(float* a) {
    float* x = real_.get();
    fftwf_complex* X = spectrum_.get();
    std::memcpy(x, a, sizeof(float) * size_t(n_));
    fftwf_execute_dft_r2c(forwardPlan_, x, X);
    // FFTW's kernel is e^(-i...), so the sine sums are the negated imaginary parts.
    const int half = n_ / 2;
    a[0] = X[0][0];
    a[1] = X[half][0];
    for (int k = 1; k < half; ++k) {
        a[2 * k] = X[k][0];
        a[2 * k + 1] = -X[k][1];
    }
}

void RealFft::backward(float* a) {
    float* x = real_.get();
    fftwf_complex* X = spectrum_.get();
    // A full inverse of the halved spectrum gives the packing's unscaled inverse.
    const int half = n_ / 2;
    X[0][0] = 0.5f * a[0];
    X[0][1] = 0.0f;
    X[half][0] = 0.5f * a[1];
    X[half][1] = 0.0f;
    for (int k = 1; k < half; ++k) {
        X[k][0] = 0.5f * a[2 * k];
        X[k][1] = -0.5f * a[2 * k + 1];
    }
    fftwf_execute_dft_c2r(backwardPlan_, X, x);
    std::memcpy(a, x, sizeof(float) * size_t(n_));
}

} // namespace tolvane
