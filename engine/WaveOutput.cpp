#include "engine/WaveOutput.h"

#include "engine/AlsaBackend.h"

#include <atomic>
#include <cassert>
#include <new>

namespace tolvane {

namespace {

std::atomic_ref<uint32_t> flagsOf(WAVEHDR& header) {
    return std::atomic_ref<uint32_t>(header.dwFlags);
}

const char* openMessage(MMRESULT result) {
    switch (result) {
    case MMSYSERR_ALLOCATED:
        return "WaveOutput::OpenAudioOutput->Specified resource is already allocated";
    case MMSYSERR_BADDEVICEID:
        return "WaveOutput::OpenAudioOutput->Specified device identifier is out of range";
    case MMSYSERR_NODRIVER:
        return "WaveOutput::OpenAudioOutput->No device driver is present";
    case MMSYSERR_NOMEM:
        return "WaveOutput::OpenAudioOutput->Unable to allocate or lock memory";
    case WAVERR_BADFORMAT:
        return "WaveOutput::OpenAudioOutput->Attempted to open with an unsupported "
               "waveform-audio format";
    case WAVERR_SYNC:
        return "WaveOutput::OpenAudioOutput->The device is synchronous but waveOutOpen was "
               "called without using the WAVE_ALLOWSYNC flag";
    default:
        return "WaveOutput::OpenAudioOutput->Unknown error";
    }
}

const char* closeMessage(MMRESULT result) {
    switch (result) {
    case MMSYSERR_NODRIVER:
        return "WaveOutput::Close->No device driver is present";
    case MMSYSERR_INVALHANDLE:
        return "WaveOutput::Close->Specified device handle is invalid";
    case MMSYSERR_NOMEM:
        return "WaveOutput::Close->Unable to allocate or lock memory";
    case WAVERR_STILLPLAYING:
        return "WaveOutput::Close->There are still buffers in the queue";
    default:
        return "WaveOutput::Close->Unknown error";
    }
}

} // namespace

WaveOutput::WaveOutput() : WaveOutput(AlsaBackend::instance()) {}

WaveOutput::WaveOutput(std::shared_ptr<AudioBackend> backend) : backend_(std::move(backend)) {}

WaveOutput::~WaveOutput() {
    Close();
    Uninitialize();
}

int WaveOutput::Initialize(uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                           uint16_t bitsPerSample, uint32_t bufferCount, uint32_t bufferMs) {
    if (headers_) {
        setError("WaveOutput::Initialize->Already initialized. Uninitialize first.");
        return 0;
    }
    format_.wFormatTag = formatTag;
    format_.nChannels = channels;
    format_.nSamplesPerSec = samplesPerSec;
    format_.wBitsPerSample = bitsPerSample;
    format_.nBlockAlign = uint16_t(channels * bitsPerSample / 8);
    format_.nAvgBytesPerSec = (uint32_t(channels) * bitsPerSample * samplesPerSec) >> 3;
    format_.cbSize = 0;

    headers_.reset(new (std::nothrow) WAVEHDR[bufferCount]());
    if (!headers_) {
        setError("WaveOutput::Initialize->Can't allocate memory for WAVEHDR structure");
        return 0;
    }
    // A size beyond 32 bits cannot be allocated as one buffer either.
    const double bytes = double(format_.nAvgBytesPerSec) * double(bufferMs) * 0.001;
    const bool sizeFits = bytes < 4294967296.0;
    bufferSize_ = sizeFits ? uint32_t(bytes) : 0;
    data_.reset(new (std::nothrow) std::unique_ptr<char[]>[bufferCount]);
    for (uint32_t i = 0; data_ && i < bufferCount; ++i) {
        data_[i].reset(sizeFits ? new (std::nothrow) char[bufferSize_]() : nullptr);
        headers_[i].lpData = data_[i].get();
        headers_[i].dwUser = i;
        if (headers_[i].lpData == nullptr) {
            freeBuffers();
            setError("WaveOutput::Initialize->Can't allocate memory for output data buffer");
            return 0;
        }
    }
    if (!data_) {
        freeBuffers();
        setError("WaveOutput::Initialize->Can't allocate memory for output data buffer");
        return 0;
    }
    bufferCount_ = bufferCount;
    bufferMs_ = bufferMs;
    sampleRate_ = samplesPerSec;
    return 1;
}

int WaveOutput::Uninitialize() {
    // Buffers still queued would be read by the device after they are freed.
    if (const auto open = device()) {
        open->reset();
    }
    freeBuffers();
    bufferCount_ = 0;
    return 1;
}

void WaveOutput::freeBuffers() {
    headers_.reset();
    data_.reset();
}

int WaveOutput::OpenAudioOutput(int32_t deviceNumber, WaveOutProc callback, uintptr_t instance,
                                uint32_t flags) {
    if (device()) {
        Close();
    }
    MMRESULT result = MMSYSERR_NOERROR;
    std::shared_ptr<AudioStream> opened;
    switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_FUNCTION:
        result =
            backend_->open(deviceNumber, format_,
                           callback != nullptr ? callback : &ignoreNotification, instance, opened);
        break;
    case CALLBACK_NULL:
        result = backend_->open(deviceNumber, format_, nullptr, instance, opened);
        break;
    default:
        result = MMSYSERR_INVALFLAG;
        break;
    }
    if (result != MMSYSERR_NOERROR) {
        setError(openMessage(result));
        return 0;
    }
    std::lock_guard guard(deviceLock_);
    device_ = std::move(opened);
    return 1;
}

int WaveOutput::PlayBuffer(uint32_t index) {
    const auto open = device();
    if (!open) {
        return 0;
    }
    assert(index < bufferCount_);
    WAVEHDR& header = headers_[index];
    flagsOf(header).store(0);
    header.dwLoops = 0;
    const char* failure = nullptr;
    if (open->prepare(&header) != MMSYSERR_NOERROR) {
        failure = "WaveOutput::PlayBuffer->Can't prepare data";
    } else if (open->write(&header) != MMSYSERR_NOERROR) {
        failure = "WaveOutput::PlayBuffer->Can't write data";
    }
    if (failure != nullptr) {
        // The device will never report this buffer: let the ring move past it.
        flagsOf(header).fetch_or(WHDR_DONE);
        setError(failure);
        return 0;
    }
    return 1;
}

int WaveOutput::UnprepareHeader(uint32_t index) {
    const auto open = device();
    if (!open) {
        return 0;
    }
    assert(index < bufferCount_);
    return open->unprepare(&headers_[index]) == MMSYSERR_NOERROR ? 1 : 0;
}

int WaveOutput::ResetOutput() {
    const auto open = device();
    if (!open) {
        return 0;
    }
    open->reset();
    return 1;
}

int WaveOutput::RestartOutput() {
    const auto open = device();
    if (!open) {
        return 0;
    }
    open->restart();
    return 1;
}

int WaveOutput::PauseOutput() {
    const auto open = device();
    if (!open) {
        return 0;
    }
    open->pause();
    return 1;
}

int WaveOutput::Close() {
    const auto open = device();
    if (!open) {
        return 0;
    }
    open->reset();
    const MMRESULT result = open->close();
    if (result != MMSYSERR_NOERROR) {
        setError(closeMessage(result));
        return 0;
    }
    std::lock_guard guard(deviceLock_);
    if (device_ == open) {
        device_.reset();
    }
    return 1;
}

uint64_t WaveOutput::GetOutputPosition(uint32_t unit) {
    const auto open = device();
    if (!open || unit > 3) {
        return 0;
    }
    uint64_t samples = 0;
    if (open->position(samples) != MMSYSERR_NOERROR) {
        return 0;
    }
    switch (unit) {
    case 0:
        return samples;
    case 1:
        return sampleRate_ == 0 ? 0 : uint64_t(double(samples) * 1000.0 / double(sampleRate_));
    case 2:
        return sampleRate_ == 0 ? 0 : samples / sampleRate_;
    default:
        return samples * format_.nBlockAlign;
    }
}

MMRESULT WaveOutput::SetOutputVolume(uint32_t left, uint32_t right) {
    const uint32_t volume = (right & 0xFFFF) << 16 | (left & 0xFFFF);
    if (const auto open = device()) {
        return open->setVolume(volume);
    }
    return backend_->setDeviceVolume(WAVE_MAPPER, volume);
}

MMRESULT WaveOutput::GetOutputVolume(uint16_t* left, uint16_t* right) {
    if (left == nullptr || right == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    uint32_t volume = 0;
    const auto open = device();
    const MMRESULT result =
        open ? open->getVolume(volume) : backend_->getDeviceVolume(WAVE_MAPPER, volume);
    if (result == MMSYSERR_NOERROR) {
        *left = uint16_t(volume & 0xFFFF);
        *right = uint16_t(volume >> 16);
    }
    return result;
}

char* WaveOutput::GetBufferData(uint32_t index) {
    assert(index < bufferCount_);
    return headers_[index].lpData;
}

uint32_t WaveOutput::GetBufferBytes(uint32_t index) {
    assert(index < bufferCount_);
    return headers_[index].dwBufferLength;
}

void WaveOutput::SetBufferBytes(uint32_t index, uint32_t bytes) {
    assert(index < bufferCount_);
    headers_[index].dwBufferLength = bytes;
}

int WaveOutput::IsBufferDone(uint32_t index) {
    assert(index < bufferCount_);
    return (flagsOf(headers_[index]).load(std::memory_order_acquire) & WHDR_DONE) != 0 ? 1 : 0;
}

void WaveOutput::SetBufferDone(uint32_t index) {
    assert(index < bufferCount_);
    flagsOf(headers_[index]).fetch_or(WHDR_DONE);
}

std::string WaveOutput::GetLastErrorText() const {
    std::lock_guard guard(errorLock_);
    return lastError_;
}

std::string WaveOutput::GetDeviceErrorText() const {
    const auto open = device();
    return open ? open->lastError() : backend_->lastError();
}

std::shared_ptr<AudioStream> WaveOutput::device() const {
    std::lock_guard guard(deviceLock_);
    return device_;
}

void WaveOutput::setError(const char* text) {
    if (text == nullptr) {
        return;
    }
    std::lock_guard guard(errorLock_);
    lastError_ = text;
}

} // namespace tolvane
