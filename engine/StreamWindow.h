#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tolvane {

// The bytes of the open stream and where its audio lies in them. Offsets count
// from the window's start; the last audio byte is inclusive (an ID3v1 tag lies
// after it). The application thread sets it up while no run is going; a run
// reads it and moves `decodeOffset` back to the start when it ends.
struct StreamWindow {
    const uint8_t* audio() const { return data + firstFrame; }

    void clear() {
        open = false;
        data = nullptr;
        size = firstFrame = lastByte = decodeOffset = audioSize = 0;
        id3v1 = id3v2 = false;
    }

    std::atomic<bool> open{false};
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t firstFrame = 0;
    size_t lastByte = 0;
    size_t decodeOffset = 0; // where the next run starts
    size_t audioSize = 0;
    bool id3v1 = false;
    bool id3v2 = false;
};

} // namespace tolvane
