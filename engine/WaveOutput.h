#pragma once

#include "engine/AudioBackend.h"
#include "engine/WaveTypes.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace tolvane {

// The engine's output device: a fixed ring of sample buffers, each with its own
// WAVEHDR, and the open device they are queued to. It has no thread of its own.
//
// Threads: the decoding thread alone calls Initialize, Uninitialize,
// OpenAudioOutput, PlayBuffer, UnprepareHeader, Close and the buffer accessors.
// The application's thread may call PauseOutput, RestartOutput, ResetOutput,
// GetOutputPosition and the volume operations meanwhile: `deviceLock_` guards
// the device handle, and a transport call that races with Close acts on the
// closing device, which refuses it, instead of on freed memory. The device's
// completion callback runs on the backend's writer thread.
class WaveOutput {
  public:
    // Plays through the process's ALSA backend.
    WaveOutput();
    explicit WaveOutput(std::shared_ptr<AudioBackend> backend);
    // Closes the device (as Close) and frees the buffers (as Uninitialize).
    ~WaveOutput();
    WaveOutput(const WaveOutput&) = delete;
    WaveOutput& operator=(const WaveOutput&) = delete;

    // Sets the format and allocates `bufferCount` buffers of `bufferMs` each; 1 or 0.
    int Initialize(uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                   uint16_t bitsPerSample, uint32_t bufferCount, uint32_t bufferMs);
    // Frees every buffer (resetting an open device first so none stays queued); 1.
    int Uninitialize();
    // Opens device `deviceNumber` (WAVE_MAPPER = the preferred device) with the
    // stored format. `callback` receives WOM_OPEN, WOM_DONE and WOM_CLOSE with
    // `instance` when `flags` is CALLBACK_FUNCTION; a device already open is
    // closed first. 1, or 0 with a message.
    int OpenAudioOutput(int32_t deviceNumber, WaveOutProc callback, uintptr_t instance,
                        uint32_t flags);
    // Queues buffer `index` with its current byte count; 1, or 0 with a message
    // (the buffer is then marked done, so nobody waits for it); 0 without a
    // message when no device is open.
    int PlayBuffer(uint32_t index);
    // 1 when the header was unprepared, 0 when that failed or no device is open.
    int UnprepareHeader(uint32_t index);
    // Transport on the open device: 1, or 0 when no device is open.
    int ResetOutput();
    int RestartOutput();
    int PauseOutput();
    // Resets and closes the device; 1, or 0 when none is open or closing failed.
    int Close();
    // Played position: unit 0 samples, 1 milliseconds, 2 whole seconds, 3 bytes;
    // 0 when no device is open or for any other unit.
    uint64_t GetOutputPosition(uint32_t unit);
    // Device volume: left in the low word, right in the high word, 0xFFFF = full.
    // Acts on the open device, or on WAVE_MAPPER when none is open.
    MMRESULT SetOutputVolume(uint32_t left, uint32_t right);
    MMRESULT GetOutputVolume(uint16_t* left, uint16_t* right);

    // Buffer access; `index` must be below GetBufferCount().
    char* GetBufferData(uint32_t index);
    uint32_t GetBufferBytes(uint32_t index);
    void SetBufferBytes(uint32_t index, uint32_t bytes);
    int IsBufferDone(uint32_t index);
    void SetBufferDone(uint32_t index);
    uint32_t GetBufferCount() const { return bufferCount_; }
    // Size in bytes of each buffer's sample memory.
    uint32_t GetBufferSize() const { return bufferSize_; }
    const WAVEFORMATEX& GetFormat() const { return format_; }

    // The most recent message of Initialize, OpenAudioOutput, PlayBuffer or Close.
    std::string GetLastErrorText() const;
    // The sound system's own text for the most recent device failure.
    std::string GetDeviceErrorText() const;

  private:
    std::shared_ptr<AudioStream> device() const;
    void setError(const char* text);
    void freeBuffers();
    static void ignoreNotification(HWAVEOUT, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

    const std::shared_ptr<AudioBackend> backend_;
    std::unique_ptr<WAVEHDR[]> headers_;
    std::unique_ptr<std::unique_ptr<char[]>[]> data_; // what each header's lpData points into
    WAVEFORMATEX format_{};
    uint32_t bufferCount_ = 0;
    uint32_t bufferMs_ = 0;
    uint32_t sampleRate_ = 0;
    uint32_t bufferSize_ = 0;

    mutable std::mutex deviceLock_;
    std::shared_ptr<AudioStream> device_; // guarded by deviceLock_
    mutable std::mutex errorLock_;
    std::string lastError_; // guarded by errorLock_
};

} // namespace tolvane
