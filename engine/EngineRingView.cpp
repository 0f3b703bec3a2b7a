#include "engine/EngineRingView.h"

#include "engine/Mp3Engine.h"
#include "engine/WaveOutput.h"

namespace tolvane {

bool EngineRingView::running() const {
    return e_.isStreamOpen() && e_.playing_;
}

bool EngineRingView::firstBufferDone() const {
    return e_.bufferCompleted_;
}

int64_t EngineRingView::devicePosition() const {
    return int64_t(e_.wave_->GetOutputPosition(3));
}

int64_t EngineRingView::completedBytes() const {
    return int64_t(e_.bytesPlayed_.load());
}

uint32_t EngineRingView::playingIndex() const {
    return e_.nextBuffer_;
}

uint32_t EngineRingView::bufferCount() const {
    return e_.wave_->GetBufferCount();
}

const uint8_t* EngineRingView::bufferData(uint32_t index) const {
    if (index >= bufferCount()) {
        return nullptr;
    }
    return reinterpret_cast<const uint8_t*>(e_.wave_->GetBufferData(index));
}

uint32_t EngineRingView::bufferBytes(uint32_t index) const {
    return index < bufferCount() ? e_.wave_->GetBufferBytes(index) : 0;
}

int32_t EngineRingView::sampleRate() const {
    return e_.isStreamOpen() ? int32_t(e_.wave_->GetFormat().nSamplesPerSec) : 0;
}

} // namespace tolvane
