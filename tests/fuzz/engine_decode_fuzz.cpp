// Opens arbitrary bytes as an MP3 stream in no-device mode and decodes them
// all: forwards, through the chunk queue of a managed stream, backwards after
// a seek, and in a loop. Every run must end on its own.
#include "engine/Mp3Engine.h"
#include "platform/Event.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace {

using namespace tolvane;

// Plays the open stream until the engine reports the stop.
void playToEnd(Mp3Engine& engine, platform::Event& stopped, bool loop = false) {
    stopped.reset();
    MP3_TIME start{};
    MP3_TIME end{};
    end.nMilliseconds = 300;
    const int32_t started =
        loop ? engine.PlayLoop(TIME_FORMAT_MS, &start, TIME_FORMAT_MS, &end, 2) : engine.Play();
    if (started && !stopped.waitFor(std::chrono::seconds(30))) {
        __builtin_trap(); // a run that never ends
    }
    engine.Stop();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20)) {
        return 0;
    }
    platform::Event stopped(platform::Event::Reset::Manual);
    uint64_t seen = 0;
    Mp3Engine engine;
    engine.SetCallbackFunc(
        [&](uint32_t code, uintptr_t param1, uintptr_t param2) {
            if (code == NOTIFY_WAVE_BUFFER) {
                // Touch every sample handed out.
                const auto* samples = reinterpret_cast<const int16_t*>(param1);
                for (size_t i = 0; i < param2 / 2; ++i) {
                    seen += uint16_t(samples[i]);
                }
            } else if (code == NOTIFY_STOPPED) {
                stopped.set();
            }
            return 0;
        },
        NOTIFY_WAVE_BUFFER | NOTIFY_STOPPED);

    if (engine.OpenStream(1, 0, data, uint32_t(size), 0)) {
        MP3_STREAM_INFO info{};
        MP3_TIME length{};
        engine.GetMp3Info(&info);
        engine.GetSongLengthHMS(&length);
        playToEnd(engine, stopped);
        playToEnd(engine, stopped, true);
        MP3_TIME middle{};
        middle.nMilliseconds = length.nMilliseconds / 2;
        engine.Seek(TIME_FORMAT_MS, &middle, SEEK_FROM_START);
        if (engine.ReverseMode(1)) {
            playToEnd(engine, stopped);
        }
        engine.CloseStream();
    }

    // The same bytes pushed in three chunks, the first only at open.
    const size_t first = size / 3 + 1;
    if (engine.OpenStream(0, 1, data, uint32_t(first), 0)) {
        const size_t second = (size - first) / 2;
        engine.PushDataToStream(data + first, uint32_t(second));
        engine.PushDataToStream(data + first + second, uint32_t(size - first - second));
        engine.PushDataToStream(nullptr, 0);
        playToEnd(engine, stopped);
        engine.CloseStream();
    }
    return seen == 1 ? -1 : 0; // keeps the sum from being optimised away
}
