#include "engine/EngineRingView.h"

#include "engine/RunCounters.h"
#include "engine/StreamWindow.h"
#include "engine/Transport.h"
#include "engine/WaveOutput.h"

namespace tolvane {

bool EngineRingView::running() const {
    return window_.open && transport_.playing;
}

bool EngineRingView::firstBufferDone() const {
    return progress_.bufferCompleted;
}

int64_t EngineRingView::devicePosition() const {
    return int64_t(wave_.GetOutputPosition(3));
}

int64_t EngineRingView::completedBytes() const {
    return int64_t(progress_.bytesPlayed.load());
}

uint32_t EngineRingView::playingIndex() const {
    return progress_.nextBuffer;
}

uint32_t EngineRingView::bufferCount() const {
    return wave_.GetBufferCount();
}

const uint8_t* EngineRingView::bufferData(uint32_t index) const {
    if (index >= bufferCount()) {
        return nullptr;
    }
    return reinterpret_cast<const uint8_t*>(wave_.GetBufferData(index));
}

uint32_t EngineRingView::bufferBytes(uint32_t index) const {
    return index < bufferCount() ? wave_.GetBufferBytes(index) : 0;
}

int32_t EngineRingView::sampleRate() const {
    return window_.open ? int32_t(wave_.GetFormat().nSamplesPerSec) : 0;
}

} // namespace tolvane
