#include "effects/FrequencyAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>

namespace tolvane {

namespace {

constexpr int kFrameBytes = 4;
constexpr double kDegreesPerRadian = 57.29577951308232;

bool acceptedSize(int32_t n) {
    switch (n) {
    case 32:
    case 64:
    case 128:
    case 256:
    case 512:
    case 1024:
    case 2048:
    case 8192:
    case 16384:
        return true;
    default:
        return false;
    }
}

int16_t sampleAt(const uint8_t* data, int64_t offset) {
    int16_t value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

} // namespace

FrequencyAnalyzer::FrequencyAnalyzer() = default;
FrequencyAnalyzer::~FrequencyAnalyzer() = default;

FrequencyAnalyzer::Location FrequencyAnalyzer::locate(const OutputRingView& ring) {
    Location at;
    at.offset = std::max<int64_t>(ring.devicePosition() - ring.completedBytes(), 0);
    at.index = ring.playingIndex() % ring.bufferCount();
    return at;
}

uint32_t FrequencyAnalyzer::levelOf(double mean) {
    if (mean < 21.61) {
        return 0;
    }
    // 100 at a mean of 23169 or more; 33 steps per decade of amplitude.
    const double level = 100.0 + 33.0 * std::log10(mean / 23169.0);
    return uint32_t(std::clamp(level, 0.0, 100.0));
}

bool FrequencyAnalyzer::getVuData(const OutputRingView& ring, uint32_t* left, uint32_t* right,
                                  const char*& error) const {
    if (!left || !right) {
        error = "GetVUData->Invalid parameters !";
        return false;
    }
    *left = 0;
    *right = 0;
    if (!ring.running() || !ring.firstBufferDone() || ring.bufferCount() == 0) {
        return true;
    }
    // The device may have passed the end of the playing buffer before its
    // completion has been counted: then the next buffer plays from its start.
    Location at = locate(ring);
    int64_t bytes = ring.bufferBytes(at.index);
    if (at.offset > bytes) {
        at.index = (at.index + 1) % ring.bufferCount();
        at.offset = 0;
        bytes = ring.bufferBytes(at.index);
    }
    const uint8_t* data = ring.bufferData(at.index);
    // Half a buffer from the play position, moved back to fit inside the buffer.
    const int64_t span = bytes / 2;
    int64_t start = at.offset + span + kFrameBytes > bytes ? bytes - span - kFrameBytes : at.offset;
    start = std::max<int64_t>(start - start % kFrameBytes, 0);
    const int64_t frames = span / kFrameBytes;
    if (!data || frames == 0) {
        return true;
    }
    int64_t sumLeft = 0;
    int64_t sumRight = 0;
    for (int64_t f = 0; f < frames; ++f) {
        const int64_t offset = start + f * kFrameBytes;
        sumLeft += std::abs(int32_t(sampleAt(data, offset)));
        sumRight += std::abs(int32_t(sampleAt(data, offset + 2)));
    }
    *left = levelOf(double(sumLeft) / double(frames));
    *right = levelOf(double(sumRight) / double(frames));
    return true;
}

float FrequencyAnalyzer::windowValue(int32_t type, int32_t n, int32_t size) {
    using std::numbers::pi_v;
    const long double pi = pi_v<long double>;
    const long double m = size - 1;
    const long double x = n / m;
    const long double centre = m / 2;
    auto c = [&](int k) { return std::cos(2 * k * pi * n / m); };
    long double value = 1;
    switch (type) {
    case 2: // Hamming
        value = 0.53836L - 0.46164L * c(1);
        break;
    case 3: // Hann
        value = 0.5L * (1 - c(1));
        break;
    case 4: // sine
        value = std::sin(pi * n / m);
        break;
    case 5: { // Lanczos
        const long double t = 2 * x - 1;
        value = t == 0 ? 1 : std::sin(pi * t) / (pi * t);
        break;
    }
    case 6: // Bartlett, zero end points
        value = (centre - std::fabs(n - centre)) * 2 / m;
        break;
    case 7: // triangular
        value = (size / 2.0L - std::fabs(n - centre)) * 2 / size;
        break;
    case 8: { // Gauss
        const long double z = (n - centre) / (0.15L * m);
        value = std::exp(-0.5L * z * z);
        break;
    }
    case 9: // Bartlett–Hann
        value = 0.62L - 0.48L * std::fabs(x - 0.5L) - 0.38L * c(1);
        break;
    case 10: // Blackman
        value = 0.42L - 0.5L * c(1) + 0.08L * c(2);
        break;
    case 11: // Nuttall
        value = 0.355768L - 0.487396L * c(1) + 0.144232L * c(2) - 0.012604L * c(3);
        break;
    case 12: // Blackman–Harris
        value = 0.35875L - 0.48829L * c(1) + 0.14128L * c(2) - 0.01168L * c(3);
        break;
    case 13: // Blackman–Nuttall
        value = 0.3635819L - 0.4891755L * c(1) + 0.1365995L * c(2) - 0.0106411L * c(3);
        break;
    case 14: // flat top
        value = 1 - 1.93L * c(1) + 1.29L * c(2) - 0.388L * c(3) + 0.032L * c(4);
        break;
    default: // rectangular
        break;
    }
    return float(value);
}

void FrequencyAnalyzer::release() {
    size_ = 0;
    windowType_ = 0;
    fft_.reset();
    std::vector<float>().swap(samples_);
    std::vector<float>().swap(window_);
}

bool FrequencyAnalyzer::allocate(int32_t points, const char*& error) {
    release();
    if (!acceptedSize(points)) {
        error = "FFT_STRUCT->nFFTPoints parameter can be only one of these values:\n"
                "32, 64, 128, 512, 1024, 2048, 8192, 16384";
        return false;
    }
    try {
        samples_.assign(size_t(points), 0.0f);
        window_.assign(size_t(points), 0.0f);
        fft_ = RealFft::create(points);
    } catch (const std::bad_alloc&) {
        fft_.reset();
    }
    if (!fft_) {
        release();
        error = "GetFFTValues->Memory allocation error !";
        return false;
    }
    size_ = points;
    return true;
}

void FrequencyAnalyzer::fetch(const OutputRingView& ring, const Location& at, int channel) {
    // Frames from the play position on, into the following buffers as each
    // runs out, visiting each ring buffer at most once; zeros past that.
    const uint32_t count = ring.bufferCount();
    uint32_t index = at.index;
    int64_t offset = at.offset;
    uint32_t visited = 1;
    int32_t i = 0;
    while (i < size_) {
        const uint8_t* data = ring.bufferData(index);
        const int64_t bytes = data ? int64_t(ring.bufferBytes(index)) : 0;
        for (; i < size_ && bytes - offset >= kFrameBytes; ++i, offset += kFrameBytes) {
            samples_[size_t(i)] = float(sampleAt(data, offset + 2 * channel)) * window_[size_t(i)];
        }
        if (i == size_ || visited == count) {
            break;
        }
        index = (index + 1) % count;
        offset = 0;
        ++visited;
    }
    std::fill(samples_.begin() + i, samples_.end(), 0.0f);
}

void FrequencyAnalyzer::writeChannel(int32_t* amplitudes, int32_t* phases) const {
    const float* a = samples_.data();
    const int32_t half = size_ / 2;
    const double scale = std::sqrt(double(size_));
    auto dB = [scale](double magnitude) {
        return int32_t(20.0 * std::log10(magnitude / scale + 1.0));
    };
    if (amplitudes) {
        amplitudes[0] = dB(std::fabs(a[0]));
        amplitudes[half] = dB(std::fabs(a[1]));
        for (int32_t k = 1; k < half; ++k) {
            amplitudes[k] = dB(std::hypot(double(a[2 * k]), double(a[2 * k + 1])));
        }
    }
    if (phases) {
        phases[0] = 0;
        phases[half] = 0;
        for (int32_t k = 1; k < half; ++k) {
            const double re = a[2 * k];
            const double im = a[2 * k + 1];
            // An empty bin has no phase; 0/0 would be undefined.
            phases[k] = re == 0 && im == 0 ? 0 : int32_t(std::atan(im / re) * kDegreesPerRadian);
        }
    }
}

bool FrequencyAnalyzer::getFftValues(const OutputRingView& ring, FFT_STRUCT* request,
                                     const char*& error) {
    if (!request) {
        release();
        return true;
    }
    bool fresh = false;
    if (!fft_ || request->nFFTPoints != size_) {
        if (!allocate(request->nFFTPoints, error)) {
            return false;
        }
        fresh = true;
    }
    const int32_t values = size_ / 2 + 1;
    request->nValues = values;
    if (request->pnFrequencies) {
        const float step = float(ring.sampleRate()) / float(size_);
        request->pnFrequencies[0] = 0;
        for (int32_t j = 1; j < values; ++j) {
            request->pnFrequencies[j] = int32_t(step * float(j));
        }
    }
    if (fresh || request->nWindow != windowType_) {
        for (int32_t n = 0; n < size_; ++n) {
            window_[size_t(n)] = windowValue(request->nWindow, n, size_);
        }
        windowType_ = request->nWindow;
    }
    int32_t* amplitudes[2] = {request->pnLeftAmplitudes, request->pnRightAmplitudes};
    int32_t* phases[2] = {request->pnLeftPhases, request->pnRightPhases};
    const bool playing = ring.running() && ring.bufferCount() > 0;
    const Location at = playing ? locate(ring) : Location{};
    for (int channel = 0; channel < 2; ++channel) {
        if (!playing) {
            for (int32_t* out : {amplitudes[channel], phases[channel]}) {
                if (out) {
                    std::fill(out, out + values, 0);
                }
            }
        } else if (amplitudes[channel] || phases[channel]) {
            fetch(ring, at, channel);
            fft_->forward(samples_.data());
            writeChannel(amplitudes[channel], phases[channel]);
        }
    }
    return true;
}

} // namespace tolvane
