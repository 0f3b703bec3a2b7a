#pragma once

#include "engine/WaveTypes.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The contract between WaveOutput and a sound system. WaveOutput keeps the ring
// of buffers; a backend plays them. The ALSA backend (AlsaBackend.cpp) is the
// one the engine uses; tests bring their own.
//
// Threads: each open stream has one writer thread of its own, and only that
// thread touches the sound system's device. Every other thread sets state under
// the stream's lock and wakes the writer; an operation that must see its effect
// (pause, restart, reset, close) then waits for the writer to confirm it. The
// completion callback runs on the writer thread only, never under a lock that
// the other operations take, and never after close() or the stream's destruction
// has returned. The callback may read the position and the volume; it must not
// call pause, restart, reset, close or unprepare, which wait for the writer.
namespace tolvane {

// One output device of a backend's list.
struct AudioDevice {
    WAVEOUTCAPSA caps;       // what the engine's device list shows
    std::string name;        // the backend's own name, used to open it
    std::string description; // human-readable text from the sound system
};

class AudioStream {
  public:
    virtual ~AudioStream() = default;

    // Marks `header` as ready for write(). Any thread.
    virtual MMRESULT prepare(WAVEHDR* header) = 0;
    // Clears the prepared mark. WAVERR_STILLPLAYING while the buffer is queued and
    // not done; once it is done, waits for its completion callback to return, so
    // the caller may refill the buffer safely afterwards. Any thread but the writer.
    virtual MMRESULT unprepare(WAVEHDR* header) = 0;
    // Queues a prepared buffer behind the others: clears WHDR_DONE, sets
    // WHDR_INQUEUE, and returns at once. The writer plays the buffers in order and
    // reports each one (WHDR_DONE set, then WOM_DONE) only once its last sample
    // has been played, not merely handed to the device. The buffer's memory must
    // stay valid and unchanged until then. Any thread.
    virtual MMRESULT write(WAVEHDR* header) = 0;
    // Stops the sound and holds the position until restart(); buffers written
    // meanwhile wait. Returns once the sound has stopped. Any thread but the writer.
    virtual MMRESULT pause() = 0;
    // Continues after pause(); nothing when not paused. Any thread but the writer.
    virtual MMRESULT restart() = 0;
    // Drops everything queued, reports every queued buffer done in queue order and
    // sets the position to 0; the paused state is kept. Returns after the last of
    // those callbacks. Any thread but the writer.
    virtual MMRESULT reset() = 0;
    // Ends the stream: WAVERR_STILLPLAYING while buffers are queued (call reset()
    // first); otherwise stops the writer (WOM_CLOSE is its last callback) and
    // releases the device. Later calls return MMSYSERR_INVALHANDLE. Any thread but
    // the writer.
    virtual MMRESULT close() = 0;
    // Sample frames played since open or the last reset, following what is heard
    // within a few milliseconds; held while paused. Any thread.
    virtual MMRESULT position(uint64_t& frames) = 0;
    // Software gain of this stream: left in the low word, right in the high word,
    // 0xFFFF = unchanged, linear in between. The backend remembers it for the
    // stream's device number. Any thread; heard after the device's latency.
    virtual MMRESULT setVolume(uint32_t volume) = 0;
    virtual MMRESULT getVolume(uint32_t& volume) = 0;
    // The sound system's own text for the most recent failure of this stream.
    virtual std::string lastError() const = 0;
};

// A backend's most recent failure text, which lastError() hands out. Any thread.
class FailureText {
  public:
    // Records `text` and returns `code`, so a failing call can `return fail(...)`.
    MMRESULT fail(MMRESULT code, std::string text) {
        std::lock_guard guard(lock_);
        text_ = std::move(text);
        return code;
    }
    std::string text() const {
        std::lock_guard guard(lock_);
        return text_;
    }

  private:
    mutable std::mutex lock_;
    std::string text_;
};

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    // The output devices; a device number is an index into this list. Any thread.
    virtual MMRESULT listDevices(std::vector<AudioDevice>& devices) = 0;
    // Opens device `deviceNumber` (WAVE_MAPPER = the system's preferred device)
    // for `format` and starts its writer. The writer sends WOM_OPEN before open()
    // returns. `callback` may be null (no callbacks). Any thread.
    virtual MMRESULT open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                          uintptr_t instance, std::shared_ptr<AudioStream>& stream) = 0;
    // The volume remembered for a device number, given to streams opened on it
    // later (0xFFFFFFFF until set). The system mixer is never touched. Any thread.
    virtual MMRESULT setDeviceVolume(int32_t deviceNumber, uint32_t volume) = 0;
    virtual MMRESULT getDeviceVolume(int32_t deviceNumber, uint32_t& volume) = 0;
    // The sound system's own text for the most recent failure of the backend.
    virtual std::string lastError() const = 0;
};

} // namespace tolvane
