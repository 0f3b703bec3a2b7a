#include "tests/support/SignalAnalysis.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <numbers>

namespace tolvane::test {

namespace {

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};
struct PlanDestroy {
    void operator()(fftw_plan p) const { fftw_destroy_plan(p); }
};
using RealBuffer = std::unique_ptr<double[], FftwFree>;
using ComplexBuffer = std::unique_ptr<fftw_complex[], FftwFree>;
using Plan = std::unique_ptr<std::remove_pointer_t<fftw_plan>, PlanDestroy>;

size_t nextPowerOfTwo(size_t n) {
    size_t p = 1;
    while (p < n) {
        p <<= 1;
    }
    return p;
}

// The spectrum of `x` zero-padded to `n` points (n / 2 + 1 bins).
ComplexBuffer forward(std::span<const double> x, size_t n) {
    RealBuffer in(fftw_alloc_real(n));
    ComplexBuffer out(fftw_alloc_complex(n / 2 + 1));
    Plan plan(fftw_plan_dft_r2c_1d(int(n), in.get(), out.get(), FFTW_ESTIMATE));
    std::fill(in.get(), in.get() + n, 0.0);
    std::copy(x.begin(), x.end(), in.get());
    fftw_execute(plan.get());
    return out;
}

double magnitude(const fftw_complex& c) {
    return std::hypot(c[0], c[1]);
}

} // namespace

std::vector<double> makeTone(double frequency, double sampleRate, double seconds,
                             double amplitude) {
    std::vector<double> out(size_t(std::max(0.0, seconds * sampleRate)));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = amplitude * std::sin(2.0 * std::numbers::pi * frequency * double(i) / sampleRate);
    }
    return out;
}

double estimateFrequency(std::span<const double> x, double sampleRate) {
    if (x.size() < 64) {
        return 0.0;
    }
    std::vector<double> windowed(x.begin(), x.end());
    const double m = double(windowed.size() - 1);
    for (size_t i = 0; i < windowed.size(); ++i) {
        windowed[i] *= 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / m);
    }
    // Padding to at least twice the length keeps the interpolation bias small.
    const size_t n = nextPowerOfTwo(2 * windowed.size());
    const ComplexBuffer spectrum = forward(windowed, n);
    const size_t bins = n / 2 + 1;
    size_t peak = 1;
    for (size_t k = 2; k + 1 < bins; ++k) {
        if (magnitude(spectrum[k]) > magnitude(spectrum[peak])) {
            peak = k;
        }
    }
    const double tiny = std::numeric_limits<double>::min();
    const double a = std::log(magnitude(spectrum[peak - 1]) + tiny);
    const double b = std::log(magnitude(spectrum[peak]) + tiny);
    const double c = std::log(magnitude(spectrum[peak + 1]) + tiny);
    const double denominator = a - 2.0 * b + c;
    const double offset = denominator == 0.0 ? 0.0 : 0.5 * (a - c) / denominator;
    return (double(peak) + offset) * sampleRate / double(n);
}

double rmsDb(std::span<const double> x) {
    if (x.empty()) {
        return -std::numeric_limits<double>::infinity();
    }
    double sum = 0.0;
    for (double v : x) {
        sum += v * v;
    }
    return 10.0 * std::log10(sum / double(x.size()));
}

std::vector<Segment> findSegments(std::span<const double> x, double sampleRate, double thresholdDb,
                                  double windowMs, double minGapMs) {
    std::vector<Segment> segments;
    const size_t window = std::max<size_t>(1, size_t(windowMs * sampleRate / 1000.0));
    const size_t minGap = size_t(minGapMs * sampleRate / 1000.0);
    for (size_t start = 0; start < x.size(); start += window) {
        const size_t end = std::min(x.size(), start + window);
        if (rmsDb(x.subspan(start, end - start)) <= thresholdDb) {
            continue;
        }
        if (!segments.empty() && start - segments.back().end <= minGap) {
            segments.back().end = end;
        } else {
            segments.push_back({start, end});
        }
    }
    // Refine each edge to the first and last sample reaching the peak of a sine
    // at the threshold level, looking one window beyond the coarse edge.
    const double peak = std::sqrt(2.0) * std::pow(10.0, thresholdDb / 20.0);
    for (Segment& s : segments) {
        const size_t from = s.begin >= window ? s.begin - window : 0;
        size_t begin = from;
        while (begin < s.end && std::abs(x[begin]) < peak) {
            ++begin;
        }
        const size_t to = std::min(x.size(), s.end + window);
        size_t end = to;
        while (end > begin && std::abs(x[end - 1]) < peak) {
            --end;
        }
        s = {begin, std::max(begin, end)};
    }
    return segments;
}

size_t findOnset(std::span<const double> x, double sampleRate, double thresholdDb) {
    const std::vector<Segment> segments = findSegments(x, sampleRate, thresholdDb);
    return segments.empty() ? x.size() : segments.front().begin;
}

Alignment crossCorrelate(std::span<const double> a, std::span<const double> b, size_t maxLag) {
    Alignment best;
    if (a.empty() || b.empty()) {
        return best;
    }
    const size_t n = nextPowerOfTwo(a.size() + b.size());
    const ComplexBuffer fa = forward(a, n);
    ComplexBuffer fb = forward(b, n);
    // conj(B) * A turns into sum_i a[i + lag] * b[i] at index lag (mod n).
    for (size_t k = 0; k < n / 2 + 1; ++k) {
        const std::complex<double> product = std::complex<double>(fa[k][0], fa[k][1]) *
                                             std::conj(std::complex<double>(fb[k][0], fb[k][1]));
        fb[k][0] = product.real();
        fb[k][1] = product.imag();
    }
    RealBuffer correlation(fftw_alloc_real(n));
    Plan plan(fftw_plan_dft_c2r_1d(int(n), fb.get(), correlation.get(), FFTW_ESTIMATE));
    fftw_execute(plan.get());

    const long limit = long(std::min(maxLag, n / 2 - 1));
    double bestValue = -std::numeric_limits<double>::infinity();
    for (long lag = -limit; lag <= limit; ++lag) {
        const double value = correlation[size_t(lag < 0 ? long(n) + lag : lag)];
        if (value > bestValue) {
            bestValue = value;
            best.lag = lag;
        }
    }
    // Normalise by the energies of the parts that overlap at that lag.
    double ea = 0.0;
    double eb = 0.0;
    for (size_t i = 0; i < b.size(); ++i) {
        const long j = long(i) + best.lag;
        if (j >= 0 && size_t(j) < a.size()) {
            ea += a[size_t(j)] * a[size_t(j)];
            eb += b[i] * b[i];
        }
    }
    best.coefficient = ea > 0.0 && eb > 0.0 ? bestValue / double(n) / std::sqrt(ea * eb) : 0.0;
    return best;
}

} // namespace tolvane::test
