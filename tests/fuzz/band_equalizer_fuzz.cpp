// Drives the band equalizer's apply path with layouts, gains, sample rates and
// buffer sizes taken from the input: the layout and gains go through the
// equalizer's setters, the filter is designed from the resulting edges and
// gains, and the input's samples are filtered in buffers of the given sizes.
// With no design (a rate of 0 or below) the output must be the input delayed
// by the filter's latency.
#include "effects/BandEqualizer.h"
#include "effects/FirDesigner.h"
#include "effects/FirFilter.h"
#include "effects/RealFft.h"

#include <cstdint>
#include <cstring>
#include <vector>

using namespace tolvane;

namespace {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    template <class T> T take() {
        T value{};
        const size_t n = std::min(sizeof(T), size_ - at_);
        if (n > 0) {
            std::memcpy(&value, data_ + at_, n);
            at_ += n;
        }
        return value;
    }
    bool empty() const { return at_ == size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

constexpr int32_t kRates[] = {8000, 11025, 22050, 32000, 44100, 48000, 96000};
constexpr int32_t kMaxFrames = 4 * FirFilter::kTaps;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    BandEqualizer eq;
    const char* error = "";
    const uint8_t layout = in.take<uint8_t>();
    if (layout % 4 != 0) {
        std::vector<int32_t> points(2 + layout % 13);
        for (auto& p : points) {
            p = in.take<uint8_t>() % 2 ? in.take<int32_t>() : in.take<uint16_t>();
        }
        eq.createBands(points.data(), int32_t(points.size()), error);
    }
    std::vector<int32_t> gains(size_t(eq.getGains(nullptr, nullptr, false)) + 2);
    for (auto& g : gains) {
        g = in.take<int16_t>();
    }
    const uint8_t options = in.take<uint8_t>();
    eq.setGains(in.take<int16_t>(), gains.data(), int32_t(gains.size()), options & 1);
    const uint8_t rateChoice = in.take<uint8_t>();
    const int32_t rate = rateChoice < 7 * 32 ? kRates[rateChoice % 7] : in.take<int32_t>();

    auto filter = FirFilter::create();
    const bool designed = [&] {
        std::vector<float> spectrum(FirFilter::kSize, 0.0f);
        const auto filterGains = eq.filterGains();
        if (!FirDesigner::design(eq.designerEdges(), filterGains.data(), float(rate),
                                 spectrum.data())) {
            return false;
        }
        RealFft::create(FirFilter::kSize)->forward(spectrum.data());
        filter->publish(spectrum.data());
        return true;
    }();

    std::vector<int16_t> source;
    std::vector<int16_t> output;
    while (!in.empty() && int32_t(source.size() / 2) < kMaxFrames) {
        const int32_t frames = in.take<uint16_t>() % 12000;
        const int16_t seed = in.take<int16_t>();
        std::vector<int16_t> buffer(size_t(frames) * 2);
        for (size_t i = 0; i < buffer.size(); ++i) {
            buffer[i] = int16_t(seed * int32_t(i % 7) - int32_t(i) * 331);
        }
        source.insert(source.end(), buffer.begin(), buffer.end());
        if (filter->apply(buffer.data(), frames) != frames) {
            __builtin_trap();
        }
        output.insert(output.end(), buffer.begin(), buffer.end());
    }
    if (!designed) {
        const size_t delay = 2 * size_t(FirFilter::kLatencyFrames);
        for (size_t i = 0; i < output.size(); ++i) {
            if (output[i] != (i < delay ? 0 : source[i - delay])) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
