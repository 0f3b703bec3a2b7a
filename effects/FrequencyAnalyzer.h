#pragma once

#include "effects/OutputRingView.h"
#include "effects/RealFft.h"
#include "platform/EngineRecords.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane {

// Level meters and spectra of the sound being heard, read from the output
// ring at the device's play position (so after every effect). Runs on the
// application's thread only; the ring is read without a lock (see
// OutputRingView).
class FrequencyAnalyzer {
  public:
    FrequencyAnalyzer();
    ~FrequencyAnalyzer();
    FrequencyAnalyzer(const FrequencyAnalyzer&) = delete;
    FrequencyAnalyzer& operator=(const FrequencyAnalyzer&) = delete;

    // GetVUData: both levels 0 … 100; zeros unless playing and some buffer has
    // finished. False with `error` set when a pointer is null.
    bool getVuData(const OutputRingView& ring, uint32_t* left, uint32_t* right,
                   const char*& error) const;
    // GetFFTValues: fills the request's arrays; a null request releases the
    // state. False with `error` set for a refused size or missing memory.
    bool getFftValues(const OutputRingView& ring, FFT_STRUCT* request, const char*& error);
    void release();

    // The window table value of `type` at n for a transform of `size` points.
    static float windowValue(int32_t type, int32_t n, int32_t size);
    // A 0 … 100 level for a mean absolute sample value.
    static uint32_t levelOf(double meanAbsolute);

  private:
    struct Location {
        uint32_t index = 0;
        int64_t offset = 0;
    };
    static Location locate(const OutputRingView& ring);
    bool allocate(int32_t points, const char*& error);
    void fetch(const OutputRingView& ring, const Location& at, int channel);
    void writeChannel(int32_t* amplitudes, int32_t* phases) const;

    int32_t size_ = 0;
    int32_t windowType_ = 0;
    std::vector<float> samples_;
    std::vector<float> window_;
    std::unique_ptr<RealFft> fft_;
};

} // namespace tolvane
