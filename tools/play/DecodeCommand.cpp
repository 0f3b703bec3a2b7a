#include "engine/Mp3Engine.h"
#include "platform/Event.h"
#include "tools/play/Commands.h"
#include "tools/play/Interrupt.h"
#include "tools/play/PlaybackPlan.h"
#include "tools/play/Report.h"
#include "tools/play/WavWriter.h"

#include <chrono>
#include <memory>
#include <sys/stat.h>

// Threads: the main thread opens, starts and waits; the engine's callback
// thread writes each wave buffer while the decoding thread waits for it, and
// sets `stopped` with the run's last event, after the last buffer.
namespace tolvane::play {

namespace {

// Answers of the wave-buffer notification.
constexpr int32_t kQueueBuffer = 0;
constexpr int32_t kStopRun = 2;

// True when `output` names the existing file `input` (truncating it would
// pull the mapped stream away under the engine).
bool sameFile(const std::string& input, const std::string& output) {
    struct stat a {};
    struct stat b {};
    return output != "-" && stat(input.c_str(), &a) == 0 && stat(output.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Unregisters the engine's callback before the objects it uses go away.
struct CallbackGuard {
    Mp3Engine& engine;
    ~CallbackGuard() { engine.SetCallbackFunc(nullptr, 0); }
};

} // namespace

int runDecode(const PlayOptions& options) {
    Interrupt interrupt;
    auto engine = std::make_unique<Mp3Engine>();
    if (!engine->OpenMp3File(options.file.c_str(), 0, 0, 0)) {
        return engineFailure(*engine);
    }
    if (sameFile(options.file, options.output)) {
        return failure("won't write the output over the input file " + options.output);
    }
    MP3_STREAM_INFO info{};
    MP3_TIME length{};
    engine->GetMp3Info(&info);
    engine->GetSongLengthHMS(&length);
    const uint32_t sampleRate = uint32_t(info.nSampleRate);
    PlaybackPlan plan(options, length.nMilliseconds);
    if (!plan.prepare(*engine)) {
        return engineFailure(*engine);
    }

    WavWriter writer;
    std::string error;
    if (!writer.open(options.output, error) || !writer.begin(sampleRate, error)) {
        return failure(error);
    }
    platform::Event stopped(platform::Event::Reset::Manual);
    auto onEvent = [&](uint32_t code, uintptr_t data, uintptr_t bytes) -> int32_t {
        if (code == NOTIFY_STOPPED) {
            stopped.set();
            return 0;
        }
        if (!writer.write(reinterpret_cast<const void*>(data), bytes)) {
            return kStopRun;
        }
        plan.onBuffer(*engine, uint32_t(bytes), sampleRate);
        return kQueueBuffer;
    };
    CallbackGuard guard{*engine};
    if (!engine->SetCallbackFunc(onEvent, NOTIFY_WAVE_BUFFER | NOTIFY_STOPPED) ||
        !plan.start(*engine)) {
        return engineFailure(*engine);
    }
    while (!stopped.waitFor(std::chrono::milliseconds(100))) {
        if (Interrupt::requested()) {
            engine->Stop();
            break;
        }
    }
    // Ending the run and the callback thread: no buffer arrives after this.
    engine->CloseStream();
    engine->SetCallbackFunc(nullptr, 0);
    if (!writer.finish(error)) {
        return failure(error);
    }
    if (Interrupt::requested()) {
        return failure("interrupted; " + options.output + " holds what was decoded so far");
    }
    return kExitOk;
}

} // namespace tolvane::play
