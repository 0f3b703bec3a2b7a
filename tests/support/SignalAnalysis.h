#pragma once

#include <cstddef>
#include <span>
#include <vector>

// Measurements on one channel of audio held as doubles in [-1, 1).
namespace tolvane::test {

// A sine of `frequency` Hz at peak `amplitude` (1.0 = full scale).
std::vector<double> makeTone(double frequency, double sampleRate, double seconds, double amplitude);

// The frequency of the strongest spectral peak in Hz (Hann window, FFT, peak
// interpolated on the log spectrum); 0 for fewer than 64 samples. Over a second
// of a clean tone it is within a few hundredths of a percent.
double estimateFrequency(std::span<const double> x, double sampleRate);

// RMS level in dB relative to full scale (a full-scale sine is -3.01 dB);
// -inf for silence.
double rmsDb(std::span<const double> x);

// A run of sound: samples [begin, end).
struct Segment {
    size_t begin = 0;
    size_t end = 0;
    size_t length() const { return end - begin; }
};

// The runs where the level, measured over windows of `windowMs`, is above
// `thresholdDb`; quieter gaps shorter than `minGapMs` are bridged. Edges are
// refined to the first and last sample above the threshold amplitude, so they
// are accurate to about one period of the signal.
std::vector<Segment> findSegments(std::span<const double> x, double sampleRate,
                                  double thresholdDb = -40.0, double windowMs = 5.0,
                                  double minGapMs = 20.0);

// The first sample of the first segment, or x.size() when all is quiet.
size_t findOnset(std::span<const double> x, double sampleRate, double thresholdDb = -40.0);

// Best alignment of `b` against `a`: b[i] matches a[i + lag] for |lag| <= maxLag.
// `coefficient` is the normalised correlation at that lag (1 = identical shape).
struct Alignment {
    long lag = 0;
    double coefficient = 0.0;
};
Alignment crossCorrelate(std::span<const double> a, std::span<const double> b, size_t maxLag);

} // namespace tolvane::test
