#pragma once

#include "effects/EqControlThread.h"
#include "effects/FirFilter.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane {

// The band equalizer: bands between frequency points chosen by the user, each
// with its gain, realised as one linear-phase FIR filter (FirFilter) designed
// on a control thread of its own and applied by the decoding thread.
//
// Threads and locks:
// - the application thread: enable, createBands, the gain and band getters
//   and setters, setStreamRate (stream open), waitForDesigns;
// - the control thread (EqControlThread): one design per request;
// - the decoding thread: clear and apply, while ready().
// `Core::mutex` guards the layout, the gains, the stream and designed rates,
// the layout generation, the request counters and every hand-over of a table
// to the filter (so there is one designer at a time). Designs run outside the
// lock on a snapshot and are published only if the layout and rate are still
// those they were made for and their thread has not been cancelled. The
// decoding thread takes no lock: it reads the ready flag (atomic) and the
// filter's tables through the filter's triple buffer.
class BandEqualizer {
  public:
    struct Core;

    static constexpr int32_t kLatencyFrames = FirFilter::kLatencyFrames;
    static constexpr int32_t kLatencyBytes = kLatencyFrames * 4;

    BandEqualizer();
    ~BandEqualizer();
    BandEqualizer(const BandEqualizer&) = delete;
    BandEqualizer& operator=(const BandEqualizer&) = delete;

    // EnableEQ for the band kind. Enabling starts the control thread, clears
    // the filter's block and accumulator and requests a design; enabling again
    // only requests a design. Disabling stops the thread and clears ready().
    bool enable(bool on, const char*& error);
    // The control thread runs.
    bool enabled() const { return control_.running(); }
    // The filter-ready flag: set by each finished design, cleared by disabling.
    bool ready() const;

    // CreateEqBands (the engine stops playback first): `count` points in Hz.
    bool createBands(const int32_t* points, int32_t count, const char*& error);
    // GetEqBands: the point count; fills `points` (when given) with the points.
    int32_t getBands(int32_t* points) const;
    // SetEqGains / SetEqGainsMilli for the band kind: up to B gains. A null
    // `gains` changes only the preamp.
    void setGains(int32_t preamp, const int32_t* gains, int32_t count, bool milli);
    // GetEqGains / GetEqGainsMilli: B; with a non-null `preamp` also the preamp
    // and (when `gains` is given) the B gains.
    int32_t getGains(int32_t* preamp, int32_t* gains, bool milli) const;

    // At stream open: the rate later designs use. While ready, a rate other than
    // the designed one is designed at once on the caller's thread and the
    // accumulator cleared.
    void setStreamRate(int32_t rate);
    int32_t designedRate() const;
    // Waits until every design requested so far has finished or been dropped.
    bool waitForDesigns(std::chrono::milliseconds timeout) const;

    // Decoding thread: at the start of a run, and per full wave buffer of
    // interleaved 16-bit stereo frames (in place; returns `frames`).
    void clear();
    int32_t apply(int16_t* samples, int32_t frames);

    // The linear gains of the filter bands (P + 1 values, below the first
    // point up to above the last) and the designer's band edges.
    std::vector<float> filterGains() const;
    std::vector<float> designerEdges() const;

  private:
    void requestDesign();

    std::shared_ptr<Core> core_;
    EqControlThread control_;
};

} // namespace tolvane
