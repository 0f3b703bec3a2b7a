#pragma once

#include "engine/WaveTypes.h"
#include "platform/Event.h"

#include <atomic>
#include <cstdint>

namespace tolvane {

class WaveOutput;

// What a run has decoded and where it stands, for the status operations. The
// decoding thread writes them, any thread reads them.
struct RunCounters {
    void clearBitrates() { currentBitrate = framesDecoded = bitrateSum = 0; }

    std::atomic<uint32_t> currentBitrate{0};
    std::atomic<uint32_t> framesDecoded{0};
    std::atomic<uint32_t> bitrateSum{0};   // kbit/s
    std::atomic<uint32_t> positionBase{0}; // ms; the played time is added to it
    std::atomic<uint32_t> bytePosition{0}; // of the frame decoded last
    std::atomic<uint32_t> msHanded{0};     // ms of wave buffers offered to the callback
};

// What the output reports back about the ring of wave buffers. onWaveOut runs
// on the output backend's thread: it counts and wakes the decoding thread
// waiting on `bufferDone`, nothing more.
struct OutputProgress {
    explicit OutputProgress(const WaveOutput& output) : wave(output) {}

    // The wave-output completion callback; `dwInstance` is this object.
    static void onWaveOut(HWAVEOUT hwo, uint32_t uMsg, uintptr_t dwInstance, uintptr_t dwParam1,
                          uintptr_t dwParam2);
    void clear() {
        bytesPlayed = 0;
        nextBuffer = 0;
        bufferCompleted = false;
    }

    const WaveOutput& wave;
    std::atomic<uint64_t> bytesPlayed{0};     // bytes of the ring finished since the device opened
    std::atomic<uint32_t> nextBuffer{0};      // the ring buffer that plays now
    std::atomic<bool> bufferCompleted{false}; // some buffer finished since the device opened
    platform::Event bufferDone{platform::Event::Reset::Auto};
};

} // namespace tolvane
