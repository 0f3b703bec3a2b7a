#include "effects/BandEqualizer.h"

#include "effects/FirDesigner.h"
#include "effects/RealFft.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>

namespace tolvane {

namespace {

constexpr int32_t kDefaultPoints[] = {0, 115, 240, 455, 800, 2000, 4500, 9000, 13000, 15000, 96000};
constexpr float kLowestPoint = 0.0f;
constexpr float kHighestPoint = 96000.0f;

int32_t toMilli(int32_t dB) {
    return int32_t(std::clamp(int64_t(dB) * 1000, int64_t(std::numeric_limits<int32_t>::min()),
                              int64_t(std::numeric_limits<int32_t>::max())));
}

float linearGain(int32_t preampMilli, int32_t gainMilli) {
    const double dB = (double(preampMilli) + double(gainMilli)) / 1000.0;
    return float(std::min(std::pow(10.0, dB * 0.05), double(FLT_MAX)));
}

} // namespace

struct BandEqualizer::Core {
    struct Snapshot {
        std::vector<float> edges;
        std::vector<float> gains;
        int32_t rate = 0;
        uint64_t generation = 0;
    };

    mutable std::mutex mutex;
    mutable std::condition_variable designsChanged;
    std::vector<float> points;
    std::vector<int32_t> gainsMilli;
    int32_t preampMilli = 0;
    // One set of filter gains serves both channels: the setters always give
    // left and right the same values, so one design serves both.
    std::vector<float> filterGains;
    std::vector<float> edges;
    // Changes with the layout and the stream rate; a design made for an older
    // generation is dropped.
    uint64_t generation = 0;
    int32_t streamRate = 0;
    int32_t designedRate = 0;
    // Requests of the current control thread (`epoch`) not yet finished.
    uint64_t epoch = 0;
    uint64_t pendingDesigns = 0;
    std::atomic<bool> ready{false};
    std::unique_ptr<FirFilter> filter;

    bool setLayout(const int32_t* newPoints, int32_t count, bool requireFilter);
    void updateFilterGains();
    void design(const std::atomic<bool>* cancelled);
    void noteFinished(uint64_t designEpoch);
};

bool BandEqualizer::Core::setLayout(const int32_t* newPoints, int32_t count, bool requireFilter) {
    std::vector<float> p, e, fg;
    std::vector<int32_t> g;
    try {
        p.assign(newPoints, newPoints + count);
        g.assign(size_t(count) - 1, 0);
        fg.assign(size_t(count) + 1, 1.0f);
        const size_t first = p.front() == kLowestPoint ? 1 : 0;
        const size_t end = p.back() == kHighestPoint ? p.size() - 1 : p.size();
        if (first < end) {
            e.assign(p.begin() + ptrdiff_t(first), p.begin() + ptrdiff_t(end));
        }
        if (!filter) {
            filter = FirFilter::create();
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!filter && requireFilter) {
        return false;
    }
    points.swap(p);
    edges.swap(e);
    filterGains.swap(fg);
    gainsMilli.swap(g);
    preampMilli = 0;
    ++generation;
    // The new layout has no design yet: samples pass through delayed until it has.
    if (filter) {
        filter->publishEmpty();
        filter->requestClear();
    }
    return true;
}

void BandEqualizer::Core::updateFilterGains() {
    if (points.empty()) {
        return;
    }
    // Without a point at 0 Hz the range below the first point passes unchanged,
    // and likewise above the last point unless it is 96000 Hz.
    const size_t offset = points.front() == kLowestPoint ? 0 : 1;
    if (offset == 1) {
        filterGains[0] = 1.0f;
    }
    for (size_t i = 0; i < gainsMilli.size(); ++i) {
        filterGains[i + offset] = linearGain(preampMilli, gainsMilli[i]);
    }
    if (points.back() != kHighestPoint) {
        filterGains[points.size()] = 1.0f;
    }
}

namespace {

// The spectrum of the design in RealFft's packing; empty when memory is missing.
std::vector<float> designSpectrum(const BandEqualizer::Core::Snapshot& snapshot) {
    try {
        std::vector<float> taps(FirFilter::kSize, 0.0f);
        FirDesigner::design(snapshot.edges, snapshot.gains.data(), float(snapshot.rate),
                            taps.data());
        auto fft = RealFft::create(FirFilter::kSize);
        if (!fft) {
            return {};
        }
        fft->forward(taps.data());
        return taps;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

} // namespace

void BandEqualizer::Core::design(const std::atomic<bool>* cancelled) {
    Snapshot snapshot;
    {
        std::lock_guard lock(mutex);
        if (!filter || (cancelled && cancelled->load())) {
            return;
        }
        snapshot = Snapshot{edges, filterGains, streamRate, generation};
    }
    // A rate of 0 (no stream) designs nothing and leaves the tables as they are.
    std::vector<float> spectrum;
    if (snapshot.rate > 0) {
        spectrum = designSpectrum(snapshot);
        if (spectrum.empty()) {
            return;
        }
    }
    std::lock_guard lock(mutex);
    if ((cancelled && cancelled->load()) || snapshot.generation != generation) {
        return;
    }
    if (!spectrum.empty()) {
        filter->publish(spectrum.data());
    }
    designedRate = snapshot.rate;
    ready.store(true);
}

void BandEqualizer::Core::noteFinished(uint64_t designEpoch) {
    std::lock_guard lock(mutex);
    if (designEpoch == epoch && pendingDesigns > 0) {
        --pendingDesigns;
    }
    designsChanged.notify_all();
}

BandEqualizer::BandEqualizer() : core_(std::make_shared<Core>()) {
    std::lock_guard lock(core_->mutex);
    // Without filter memory the layout still stands; apply() then leaves the
    // samples alone and createBands() tries again.
    core_->setLayout(kDefaultPoints, int32_t(std::size(kDefaultPoints)), false);
}

BandEqualizer::~BandEqualizer() {
    control_.stop();
}

bool BandEqualizer::ready() const {
    return core_->ready.load();
}

bool BandEqualizer::enable(bool on, const char*& error) {
    if (!on) {
        control_.stop();
        std::lock_guard lock(core_->mutex);
        // After the stop no design of the old thread can publish any more.
        core_->ready.store(false);
        ++core_->epoch;
        core_->pendingDesigns = 0;
        core_->designsChanged.notify_all();
        return true;
    }
    if (!control_.running()) {
        uint64_t epoch;
        {
            std::lock_guard lock(core_->mutex);
            epoch = core_->epoch;
        }
        auto core = core_;
        const bool started = control_.start([core, epoch](const std::atomic<bool>& cancelled) {
            core->design(&cancelled);
            core->noteFinished(epoch);
        });
        if (!started) {
            error = "EnableEQ->Can't create  thread. Please try again !";
            return false;
        }
        clear();
    }
    requestDesign();
    return true;
}

void BandEqualizer::requestDesign() {
    std::lock_guard lock(core_->mutex);
    if (control_.requestDesign()) {
        ++core_->pendingDesigns;
    }
}

bool BandEqualizer::createBands(const int32_t* points, int32_t count, const char*& error) {
    if (!points || count < 2) {
        error = "CreateEqBands->Invalid parameters !";
        return false;
    }
    {
        std::lock_guard lock(core_->mutex);
        if (!core_->setLayout(points, count, true)) {
            error = "CreateEqBands->Memory allocation error !";
            return false;
        }
    }
    // Asked whenever the thread runs, not only once ready: a first design still
    // running was made for the old layout and is dropped.
    requestDesign();
    return true;
}

int32_t BandEqualizer::getBands(int32_t* points) const {
    std::lock_guard lock(core_->mutex);
    if (points) {
        for (size_t i = 0; i < core_->points.size(); ++i) {
            points[i] = int32_t(core_->points[i]);
        }
    }
    return int32_t(core_->points.size());
}

void BandEqualizer::setGains(int32_t preamp, const int32_t* gains, int32_t count, bool milli) {
    {
        std::lock_guard lock(core_->mutex);
        const int32_t bands = int32_t(core_->gainsMilli.size());
        const int32_t used = gains ? std::clamp(count, 0, bands) : 0;
        for (int32_t i = 0; i < used; ++i) {
            core_->gainsMilli[size_t(i)] = milli ? gains[i] : toMilli(gains[i]);
        }
        core_->preampMilli = milli ? preamp : toMilli(preamp);
        core_->updateFilterGains();
    }
    requestDesign();
}

int32_t BandEqualizer::getGains(int32_t* preamp, int32_t* gains, bool milli) const {
    std::lock_guard lock(core_->mutex);
    const int32_t bands = int32_t(core_->gainsMilli.size());
    if (!preamp) {
        return bands;
    }
    *preamp = milli ? core_->preampMilli : core_->preampMilli / 1000;
    if (gains) {
        for (int32_t i = 0; i < bands; ++i) {
            const int32_t g = core_->gainsMilli[size_t(i)];
            gains[i] = milli ? g : g / 1000;
        }
    }
    return bands;
}

void BandEqualizer::setStreamRate(int32_t rate) {
    bool designNow = false;
    bool rateChanged = false;
    {
        std::lock_guard lock(core_->mutex);
        rateChanged = rate != core_->streamRate;
        if (rateChanged) {
            core_->streamRate = rate;
            ++core_->generation;
        }
        designNow = core_->ready.load() && core_->designedRate != rate;
    }
    if (designNow) {
        core_->design(nullptr);
        clear();
    } else if (rateChanged) {
        // A design under way was made for the old rate and is dropped.
        requestDesign();
    }
}

int32_t BandEqualizer::designedRate() const {
    std::lock_guard lock(core_->mutex);
    return core_->designedRate;
}

bool BandEqualizer::waitForDesigns(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(core_->mutex);
    return core_->designsChanged.wait_for(lock, timeout,
                                          [this] { return core_->pendingDesigns == 0; });
}

void BandEqualizer::clear() {
    if (core_->filter) {
        core_->filter->requestClear();
    }
}

int32_t BandEqualizer::apply(int16_t* samples, int32_t frames) {
    if (!core_->filter) {
        return frames;
    }
    return core_->filter->apply(samples, frames);
}

std::vector<float> BandEqualizer::filterGains() const {
    std::lock_guard lock(core_->mutex);
    return core_->filterGains;
}

std::vector<float> BandEqualizer::designerEdges() const {
    std::lock_guard lock(core_->mutex);
    return core_->edges;
}

} // namespace tolvane
