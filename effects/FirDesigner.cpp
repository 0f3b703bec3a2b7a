#include "effects/FirDesigner.h"

#include <cmath>
#include <numbers>

namespace tolvane {

namespace {

// Ideal low-pass of cut-off f at tap offset n.
double lowPass(int n, double f, double fs) {
    const double x = 2.0 * std::numbers::pi * f * n / fs;
    const double sinc = n == 0 ? 1.0 : std::sin(x) / x;
    return 2.0 * f / fs * sinc;
}

double ideal(int n, const std::vector<float>& edges, const float* gains, double fs) {
    const double delta = n == 0 ? 1.0 : 0.0;
    const double nyquist = fs / 2.0;
    const size_t m = edges.size();
    // With no edge below the Nyquist frequency the first band covers it all.
    if (m == 0 || edges[0] >= nyquist) {
        return gains[0] * delta;
    }
    double below = lowPass(n, edges[0], fs);
    double h = gains[0] * below;
    size_t i = 1;
    for (; i < m && edges[i] < nyquist; ++i) {
        const double above = lowPass(n, edges[i], fs);
        h += gains[i] * (above - below);
        below = above;
    }
    // The band that reaches the Nyquist frequency, or else the last band, closes the sum.
    return h + gains[i] * (delta - below);
}

} // namespace

double FirDesigner::kaiserBeta(double a) {
    if (a > 50.0) {
        return 0.1102 * (a - 8.7);
    }
    if (a > 21.0) {
        return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
    }
    return 0.0;
}

double FirDesigner::besselI0(double x) {
    double sum = 1.0;
    double term = 1.0; // (x/2)^k / k!
    for (int k = 1; k <= 15; ++k) {
        term *= x / 2.0 / k;
        sum += term * term;
    }
    return sum;
}

bool FirDesigner::design(const std::vector<float>& edges, const float* gains, float fs,
                         float* taps) {
    if (!(fs > 0.0f)) {
        return false;
    }
    const double beta = kaiserBeta(kAttenuationDb);
    const double i0Beta = besselI0(beta);
    for (int i = 0; i < kTaps; ++i) {
        const int n = i - kCentre;
        const double r = double(n) / kCentre;
        const double window = besselI0(beta * std::sqrt(1.0 - r * r)) / i0Beta;
        taps[i] = float(ideal(n, edges, gains, fs) * window);
    }
    return true;
}

} // namespace tolvane
