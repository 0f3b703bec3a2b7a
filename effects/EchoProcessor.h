#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tolvane {

// Adds echoes to 16-bit stereo PCM: keeps the last 40 half wave buffers of
// halved input in a ring and mixes up to 20 delayed copies per channel back in,
// weighted by the taps of one of ten echo modes. The mode table is shared by
// every processor in the process.
//
// Threads: the application thread calls the Sfx operations, prepareForStream,
// useKernel and the status accessors; the decoding thread calls clearHistory
// and process. The echo lock `lock_` guards the taps, factors, offset, stored
// parameters, kernel and history; process holds it for a whole wave buffer.
// The enable flag is atomic and read without the lock: SetSfxParam clears it
// before and sets it after its locked update. The mode table has a lock of its
// own, never held while waiting for the echo lock.
class EchoProcessor {
  public:
    static constexpr int kModeCount = 10;
    static constexpr int kTapCount = 20;
    static constexpr int kHistoryDepth = 40;
    static constexpr int32_t kMaxDelayMs = 1000;

    EchoProcessor();
    ~EchoProcessor();
    EchoProcessor(const EchoProcessor&) = delete;
    EchoProcessor& operator=(const EchoProcessor&) = delete;

    // Each operation returns the engine operation's result; on failure `error`
    // is the engine's text for it ("Operation->reason"), otherwise untouched.
    // Mode is clamped to 0..9 and delay to 0..1000 ms; gains are in dB.
    int32_t SetSfxParam(int32_t fEnable, int32_t nMode, int32_t nDelayMs, int32_t nInputGain,
                        int32_t nEchoGain, int32_t nOutputGain, const char*& error);
    int32_t GetSfxParam(int32_t* pnMode, int32_t* pnDelayMs, int32_t* pnInputGain,
                        int32_t* pnEchoGain, int32_t* pnOutputGain, const char*& error) const;
    // Stores 20 + 20 weights in whole percent for a mode of the shared table;
    // a mode outside 0..9 is refused like a bad count.
    int32_t SetSfxModeData(int32_t nMode, const int32_t* pnLeftData, const int32_t* pnRightData,
                           int32_t nSize, const char*& error);
    // Always 20; with both pointers given they receive the weights in whole
    // percent. A mode outside 0..9 reads the mode SetSfxParam would clamp it to.
    static int32_t GetSfxModeData(int32_t nMode, int32_t* pnLeftData, int32_t* pnRightData);

    // At stream open, with the new stream's wave buffer size in bytes:
    // reallocates the history while enabled and reloads the mode's taps.
    // False when the history cannot be allocated; the effect is then disabled.
    bool prepareForStream(size_t waveBufferBytes);
    // At the start of each playback run: empties the history while enabled.
    void clearHistory();
    // Processes one filled wave buffer in place, first half then second half
    // (split on a sample frame). Does nothing while disabled; never allocates.
    void process(int16_t* samples, size_t bytes);

    // The loops that mix the echoes, each needing the ones before it: plain
    // C++, SSE2 and AVX (x86-64). All give the same samples; a processor
    // starts with the last one this machine runs.
    enum class Kernel { Portable, Sse2, Avx };
    // False, and nothing changes, when this machine cannot run `kernel`.
    bool useKernel(Kernel kernel);

    // fEcho and nEchoMode of the engine's status record.
    bool enabled() const { return enabled_.load(); }
    int32_t mode() const { return mode_.load(); }

  private:
    using Taps = std::array<double, kTapCount>;

    static void loadModeTaps(int32_t mode, Taps& left, Taps& right);
    static void storeModeData(int32_t mode, const int32_t* left, const int32_t* right);

    bool allocateHistory();
    void freeHistory();
    void zeroHistory();
    int16_t* entry(int age) const;
    void processHalf(int16_t* samples, size_t frames);
    void processBlock(int16_t* samples, size_t frames);

    mutable std::mutex lock_;
    std::atomic<bool> enabled_{false};
    std::atomic<int32_t> mode_{0};

    int32_t delayMs_ = 0;
    int32_t inputGainDb_ = 0;
    int32_t echoGainDb_ = 0;
    int32_t outputGainDb_ = 0;
    double dryFactor_ = 1.0;
    double echoFactor_ = 1.0;
    int offset_ = 0;
    Kernel kernel_;
    Taps leftTaps_{};
    Taps rightTaps_{};

    // Bytes per history buffer for the current stream, and the size the
    // history was allocated for (0 while none is).
    size_t historyBytes_ = 0;
    size_t allocatedBytes_ = 0;
    // The 40 history buffers in one block; entry(0) is the newest.
    std::unique_ptr<int16_t[]> history_;
    size_t entryFrames_ = 0;
    int newest_ = 0;
};

} // namespace tolvane
