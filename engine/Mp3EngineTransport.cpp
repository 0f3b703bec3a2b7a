#include "engine/MadDecoder.h"
#include "engine/Mp3Engine.h"
#include "engine/OutputConversion.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tolvane {

using platform::MulDiv;

namespace {

uint32_t toMilliseconds(uint32_t format, const MP3_TIME& time) {
    switch (format) {
    case TIME_FORMAT_MS:
        return time.nMilliseconds;
    case TIME_FORMAT_SEC:
        return time.nSeconds * 1000;
    case TIME_FORMAT_HMS:
        return time.nHmsHour * 3600000 + time.nHmsMinute * 60000 + time.nHmsSecond * 1000 +
               time.nHmsMillisecond;
    }
    return 0;
}

void splitMilliseconds(uint32_t ms, MP3_TIME& time) {
    time.nMilliseconds = ms;
    time.nSeconds = ms / 1000;
    time.nHmsHour = ms / 3600000;
    time.nHmsMinute = (ms % 3600000) / 60000;
    time.nHmsSecond = (ms % 60000) / 1000;
    time.nHmsMillisecond = ms % 1000;
}

uint32_t percent(uint32_t value) {
    return std::min<uint32_t>(value, 100);
}

} // namespace

bool Mp3Engine::startThread(bool waitReady) {
    threadReadyEvent_.reset();
    if (!thread_.start([this] { runDecodeThread(); })) {
        return false;
    }
    if (waitReady) {
        threadReadyEvent_.wait();
    }
    return true;
}

void Mp3Engine::joinThread() {
    if (thread_.attached()) {
        thread_.join();
    }
}

// Ends a run, or waits for one that ended by itself to finish its last writes.
void Mp3Engine::stopAndJoin() {
    if (playing_) {
        Stop();
    }
    joinThread();
}

void Mp3Engine::resetRunFields() {
    paused_ = false;
    bytesPlayed_ = 0;
    nextBuffer_ = 0;
    bufferCompleted_ = false;
}

int32_t Mp3Engine::Play() {
    if (!isStreamOpen()) {
        setError("Play->Stream isn't open !");
        return 0;
    }
    if (paused_) {
        if (playing_) {
            return Resume();
        }
        // Paused while stopped: Play starts playback rather than only unpausing.
        Resume();
    }
    if (playing_) {
        return 0;
    }
    joinThread();
    loopMode_ = false;
    resetRunFields();
    playing_ = true;
    threadStartResult_ = 1;
    if (!startThread(true)) {
        playing_ = false;
        setError("Play->Can't create decoding thread !");
        return 0;
    }
    if (threadStartResult_ == 1) {
        return 1;
    }
    Stop();
    joinThread();
    return 0;
}

int32_t Mp3Engine::Stop() {
    if (!isStreamOpen()) {
        setError("Stop->Stream isn't open !");
        return 0;
    }
    if (!playing_) {
        return 0;
    }
    bufferCompleted_ = false;
    loopMode_ = false;
    looping_ = false;
    wave_->PauseOutput();
    playing_ = false;
    paused_ = false;
    streamDataEvent_.set();
    wave_->ResetOutput();
    bufferDoneEvent_.set();
    streamDataEvent_.set();
    joinThread();
    {
        std::lock_guard lock(volumeLock_);
        fadeLevel_ = 100.0;
    }
    keepPlaying_ = false;
    if (managed_) {
        referenceQueue_.clear();
        copyingQueue_.clear();
    }
    bytePosition_ = 0;
    return 1;
}

int32_t Mp3Engine::Pause() {
    if (!isStreamOpen()) {
        setError("Pause->Stream isn't open !");
        return 0;
    }
    wave_->PauseOutput();
    paused_ = true;
    return 1;
}

int32_t Mp3Engine::Resume() {
    if (!isStreamOpen()) {
        setError("Resume->Stream isn't open !");
        return 0;
    }
    wave_->RestartOutput();
    paused_ = false;
    return 1;
}

uint32_t Mp3Engine::playedMs() {
    if (!playing_) {
        return 0;
    }
    if (notifier_.wants(NOTIFY_WAVE_BUFFER)) {
        return msHanded_;
    }
    return uint32_t(wave_->GetOutputPosition(1));
}

uint32_t Mp3Engine::currentPosition() {
    const int64_t played = playedMs();
    const int64_t base = positionBase_;
    const uint32_t done = loopDone_;
    if (loopMode_ && done >= 1 && sampleRate_ > 0) {
        const int64_t loopMs = int64_t(loopSamples_) * 1000 / sampleRate_;
        const int64_t shift = played >= loopMs * done ? loopMs * done : loopMs * (done - 1);
        return uint32_t(std::max<int64_t>(0, base + played - shift));
    }
    if (reverse_) {
        return uint32_t(played > base ? 0 : base - played);
    }
    return uint32_t(base + played);
}

int32_t Mp3Engine::GetPosition(MP3_TIME* pTime) {
    if (!pTime) {
        setError("GetPosition->MP3_TIME *pTime - this parameter can't be NULL");
        return 0;
    }
    *pTime = MP3_TIME{};
    if (!isStreamOpen()) {
        return 1;
    }
    const uint32_t ms = currentPosition();
    splitMilliseconds(ms, *pTime);
    pTime->nFrames = lengthMs_ ? uint32_t(double(ms) / lengthMs_ * totalFrames_) : 0;
    pTime->nBytes = bytePosition_;
    return 1;
}

int32_t Mp3Engine::GetSongLengthHMS(MP3_TIME* pLength) {
    if (!pLength) {
        setError("GetSongLengthHMS->MP3_TIME *pLength - this parameter can't be NULL");
        return 0;
    }
    *pLength = MP3_TIME{};
    splitMilliseconds(lengthMs_, *pLength);
    pLength->nBytes = uint32_t(audioSize_);
    pLength->nFrames = totalFrames_;
    return 1;
}

int32_t Mp3Engine::GetMp3Info(MP3_STREAM_INFO* pInfo) {
    if (!pInfo) {
        setError("GetMp3Info->Invalid parameter !\nMP3_STREAM_INFO *pInfo can't be NULL !");
        return 0;
    }
    *pInfo = info_;
    pInfo->nSampleRate = int32_t(sampleRate_);
    pInfo->nChannels = int32_t(channels_);
    pInfo->fVbr = vbrFlag_ ? 1 : 0;
    pInfo->nBitrate = vbrFlag_ ? int32_t(averageBitrate_ * 0.001) : int32_t(firstBitrate_ / 1000);
    return 1;
}

int32_t Mp3Engine::GetBitrate(int32_t fAverage) {
    if (!isStreamOpen()) {
        return 0;
    }
    if (!fAverage) {
        return int32_t(currentBitrate_ / 1000);
    }
    const uint32_t frames = framesDecoded_;
    return frames ? int32_t(bitrateSum_ / frames) : 0;
}

int32_t Mp3Engine::GetStatus(MP3_STATUS* pStatus) {
    if (!pStatus) {
        setError("GetStatus->MP3_STATUS *pStatus - this parameter can't be NULL");
        return 0;
    }
    *pStatus = MP3_STATUS{};
    pStatus->fStopped = 1;
    if (playing_) {
        pStatus->fPlaying = 1;
        pStatus->fStopped = 0;
    }
    if (paused_) {
        pStatus->fPaused = 1;
        pStatus->fPlaying = 0;
        pStatus->fStopped = 0;
    }
    pStatus->fEcho = echo_.enabled() ? 1 : 0;
    pStatus->nEchoMode = echo_.mode();
    pStatus->fEqualizer = band_.enabled() ? 1 : 0;
    pStatus->fSubbandEqualizer = subband_.enabled() ? 1 : 0;
    pStatus->fVocalCut = vocalCut_ ? 1 : 0;
    pStatus->fChannelMix = channelMix_ ? 1 : 0;
    {
        std::lock_guard lock(volumeLock_);
        pStatus->fFadingIn = fadeInRunning_ ? 1 : 0;
        pStatus->fFadingOut = fadeOutRunning_ ? 1 : 0;
    }
    pStatus->fInternalVolume = internalVolume_ ? 1 : 0;
    pStatus->fLooping = looping_ ? 1 : 0;
    pStatus->fReverse = reverse_ ? 1 : 0;
    return 1;
}

int32_t Mp3Engine::GetStreamLoad(STREAM_LOAD_INFO* pStreamLoadInfo) {
    if (!pStreamLoadInfo) {
        setError("GetStreamLoad->Invalid parameter !  STREAM_LOAD_INFO *pStreamLoadInfo can't "
                 "be NULL!");
        return 0;
    }
    *pStreamLoadInfo = STREAM_LOAD_INFO{};
    if (!isStreamOpen()) {
        setError("GetStreamLoad->Stream isn't open !");
        return 0;
    }
    if (!managed_) {
        setError("GetStreamLoad->Stream isn't managed. Can't get this data !");
        return 0;
    }
    pStreamLoadInfo->nBuffers = uint32_t(queue().entries());
    const uint32_t bytes = uint32_t(std::min<size_t>(queue().bytesLeft(), UINT32_MAX));
    pStreamLoadInfo->nBytes = bytes;
    const uint32_t frames = framesDecoded_;
    const uint32_t sum = bitrateSum_;
    const int32_t ms = frames && sum ? MulDiv(int32_t(bytes * 8), int32_t(frames), int32_t(sum))
                                     : MulDiv(int32_t(bytes), 8000, int32_t(firstBitrate_));
    pStreamLoadInfo->nMilliseconds = ms < 0 ? 0 : uint32_t(ms);
    return 1;
}

uint32_t Mp3Engine::frameCount(uint32_t ms) const {
    const int32_t n = MulDiv(int32_t(ms), int32_t(sampleRate_), int32_t(samplesPerFrame_ * 1000));
    return n < 0 ? 0 : uint32_t(n);
}

// Byte offset of a time, through the VBR table of contents when there is one.
uint32_t Mp3Engine::seekByteOffset(uint32_t ms) const {
    const double size = double(audioSize_);
    if (vbrUsed_) {
        const double p = double(ms) * 100 / lengthMs_;
        const uint32_t k = std::min<uint32_t>(uint32_t(p), 99);
        const double t0 = vbr_.xing.toc[k];
        const double t1 = k == 99 ? 256.0 : vbr_.xing.toc[k + 1];
        return uint32_t((t0 + (p - k) * (t1 - t0)) * (size + vbrFrameSize_) / 256);
    }
    return uint32_t(size * (double(ms) / lengthMs_));
}

// Time of a byte offset: the table of contents read backwards, else linear.
uint32_t Mp3Engine::positionOfByte(uint32_t byte) const {
    const uint64_t size = audioSize_;
    if (!vbrUsed_) {
        const int32_t ms = MulDiv(int32_t(byte), int32_t(lengthMs_), int32_t(size));
        return ms < 0 ? 0 : uint32_t(ms);
    }
    const uint64_t x = uint64_t(byte) * 256 / size;
    uint32_t i = 99;
    uint32_t j = 0;
    for (uint32_t k = 0; k < 100; ++k) {
        if (vbr_.xing.toc[k] > x) {
            i = k;
            j = k == 0 ? 0 : k - 1;
            break;
        }
    }
    const double e = double(size) * vbr_.xing.toc[j] / 256;
    const double f = double(size) * vbr_.xing.toc[i] / 256;
    const double h = e >= f ? 0.0 : (byte - e) / (f - e);
    const double length = lengthMs_;
    return uint32_t(length * j / 100 + h * (length * i / 100 - length * j / 100));
}

int32_t Mp3Engine::Seek(uint32_t fFormat, MP3_TIME* pTime, uint32_t nMoveMethod) {
    if (!pTime) {
        setError("Seek->MP3_TIME *pTime can't be 0 !");
        return 0;
    }
    if (fFormat == 0) {
        setError("Seek->Invalid time format !");
        return 0;
    }
    if (managed_ && isStreamOpen()) {
        setError("Seek->This is managed stream. Can't seek !");
        return 0;
    }
    if (!isStreamOpen()) {
        setError("Seek->Stream isn't open !");
        return 0;
    }
    if (fFormat == TIME_FORMAT_BYTES) {
        const uint32_t p = bytePosition_;
        stopAndJoin();
        const uint64_t size = audioSize_;
        const uint64_t v = pTime->nBytes;
        uint64_t b = 0;
        switch (nMoveMethod) {
        case SEEK_FROM_START:
            b = std::min(v, size);
            break;
        case SEEK_FROM_END:
            b = v > size ? 0 : size - v;
            break;
        case SEEK_FORWARD:
            b = v > size - std::min<uint64_t>(p, size) ? size : p + v;
            break;
        case SEEK_BACKWARD:
            b = v > p ? 0 : p - v;
            break;
        }
        decodeOffset_ = std::min<size_t>(firstFrame_ + b, lastByte_);
        positionBase_ = positionOfByte(uint32_t(b));
        return 1;
    }
    uint32_t a = toMilliseconds(fFormat, *pTime);
    const uint32_t position = currentPosition();
    switch (nMoveMethod) {
    case SEEK_FROM_START:
        break;
    case SEEK_FROM_END:
        a = a > lengthMs_ ? 0 : lengthMs_ - a;
        break;
    case SEEK_FORWARD:
        a = position + a;
        break;
    case SEEK_BACKWARD:
        a = a > position ? 0 : position - a;
        break;
    default:
        a = 0;
    }
    stopAndJoin();
    if (a > lengthMs_) {
        positionBase_ = lengthMs_;
        decodeOffset_ = lastByte_;
        return 1;
    }
    const size_t offset = lengthMs_ ? seekByteOffset(a) : 0;
    decodeOffset_ = firstFrame_ + offset;
    if (decodeOffset_ >= lastByte_) {
        decodeOffset_ = lastByte_;
        a = lengthMs_;
    }
    positionBase_ = a;
    return 1;
}

int32_t Mp3Engine::PlayLoop(uint32_t fFormatStartTime, MP3_TIME* pStartTime,
                            uint32_t fFormatEndTime, MP3_TIME* pEndTime, uint32_t nNumOfRepeat) {
    if (managed_ && isStreamOpen()) {
        setError("PlayLoop->This is dynamic stream. Can't play in loop !");
        return 0;
    }
    if (reverse_) {
        setError("PlayLoop->Stream is in reverse mode. Can't play loop !");
        return 0;
    }
    if (fFormatStartTime == TIME_FORMAT_BYTES || fFormatEndTime == TIME_FORMAT_BYTES) {
        setError("PlayLoop->TIME_FORMAT_BYTES not supported !");
        return 0;
    }
    if (!pStartTime || !pEndTime || fFormatStartTime == 0 || fFormatEndTime == 0) {
        setError("PlayLoop->Invalid time format !");
        return 0;
    }
    if (!isStreamOpen()) {
        setError("PlayLoop->Stream isn't open !");
        return 0;
    }
    const uint32_t start = toMilliseconds(fFormatStartTime, *pStartTime);
    const uint32_t end = toMilliseconds(fFormatEndTime, *pEndTime);
    if (end < start) {
        setError("PlayLoop->Loop end time is smaller than loop start time !");
        return 0;
    }
    const bool keepPlaying = playing_ || paused_;
    if (!Seek(fFormatStartTime, pStartTime, SEEK_FROM_START)) {
        setError("PlayLoop->Can't seek to start of loop !");
        return 0;
    }
    joinThread();
    loopMode_ = true;
    playing_ = true;
    resetRunFields();
    keepPlaying_ = keepPlaying;
    loopFrames_ = frameCount(end - start);
    loopCounter_ = 0;
    loopRepeats_ = nNumOfRepeat;
    loopDone_ = 0;
    // A loop that reaches past the end lasts only to the end; one that starts
    // past it (Seek held the start at the end) lasts nothing.
    const uint32_t rest = lengthMs_ - std::min(start, lengthMs_);
    loopSamples_ = rest < end - start
                       ? uint32_t(std::min(sampleRate_ * double(rest) * 0.001, double(UINT32_MAX)))
                       : samplesPerFrame_ * loopFrames_;
    threadStartResult_ = 1;
    looping_ = true;
    if (!startThread(false)) {
        playing_ = false;
        looping_ = false;
        loopMode_ = false;
        setError("Mp3Engine::PlayLoopM->Can't create decoding thread!");
        return 0;
    }
    return 1;
}

// Records where every frame of the audio starts, for playing blocks backwards.
bool Mp3Engine::buildFrameTable() {
    std::vector<uint32_t> table;
    mad_stream stream;
    mad_header header;
    mad_stream_init(&stream);
    mad_header_init(&header);
    stream.freerate = freeRate_;
    const uint8_t* audio = window_ + firstFrame_;
    mad_stream_buffer(&stream, audio, audioSize_);
    std::vector<uint8_t> tail;
    size_t tailBase = 0;
    bool ok = true;
    for (;;) {
        if (mad_header_decode(&header, &stream) == 0) {
            const size_t at = tail.empty() ? size_t(stream.this_frame - audio)
                                           : tailBase + size_t(stream.this_frame - tail.data());
            try {
                table.push_back(uint32_t(at));
            } catch (const std::bad_alloc&) {
                ok = false;
                break;
            }
        } else if (!MAD_RECOVERABLE(stream.error)) {
            if (stream.error != MAD_ERROR_BUFLEN || !tail.empty()) {
                break;
            }
            tailBase = size_t(stream.next_frame - audio);
            tail.assign(stream.next_frame, audio + audioSize_);
            tail.resize(tail.size() + MAD_BUFFER_GUARD, 0);
            mad_stream_buffer(&stream, tail.data(), tail.size());
        }
    }
    mad_header_finish(&header);
    mad_stream_finish(&stream);
    if (!ok) {
        setError("ReverseMode->Memory allocation error !");
        return false;
    }
    frameTable_ = std::move(table);
    return true;
}

int32_t Mp3Engine::ReverseMode(int32_t fEnable) {
    if (!isStreamOpen()) {
        setError("ReverseMode->Stream isn't open !");
        return 0;
    }
    if (managed_) {
        setError("ReverseMode->This is managed stream. Can't use reverse mode !");
        return 0;
    }
    if (!playing_) {
        joinThread(); // a run that ended by itself may still be finishing
    }
    if (fEnable && frameTable_.empty() && !buildFrameTable()) {
        return 0;
    }
    if (frameTable_.empty()) {
        reverse_ = false;
        setError("ReverseMode->There is no mp3 frame in this stream !");
        return 0;
    }
    if (!playing_) {
        reverse_ = fEnable != 0;
        return 1;
    }
    MP3_TIME position{};
    GetPosition(&position);
    Stop();
    reverse_ = fEnable != 0;
    Seek(TIME_FORMAT_MS, &position, SEEK_FROM_START);
    Play();
    return 1;
}

void Mp3Engine::setEffectiveGains() {
    effectiveGain_[0] = volumeGain_[0] * fadeGain_[0];
    effectiveGain_[1] = volumeGain_[1] * fadeGain_[1];
}

int32_t Mp3Engine::UseInternalVolume(int32_t fEnable) {
    internalVolume_ = fEnable != 0;
    return 1;
}

int32_t Mp3Engine::SetVolume(uint32_t nLeftVolume, uint32_t nRightVolume) {
    if (internalVolume_) {
        return SetPlayerVolume(nLeftVolume, nRightVolume);
    }
    return SetWaveOutVolume(nLeftVolume, nRightVolume);
}

int32_t Mp3Engine::SetWaveOutVolume(uint32_t nLeftVolume, uint32_t nRightVolume) {
    wave_->SetOutputVolume(uint16_t(percent(nLeftVolume) * 0xFFFF / 100),
                           uint16_t(percent(nRightVolume) * 0xFFFF / 100));
    return 1;
}

int32_t Mp3Engine::SetPlayerVolume(uint32_t nLeftVolume, uint32_t nRightVolume) {
    std::lock_guard lock(volumeLock_);
    fadeLevel_ = 100.0;
    volume_[0] = percent(nLeftVolume);
    volume_[1] = percent(nRightVolume);
    volumeGain_[0] = levelGain(volume_[0]);
    volumeGain_[1] = levelGain(volume_[1]);
    setEffectiveGains();
    return 1;
}

int32_t Mp3Engine::GetVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume) {
    if (internalVolume_) {
        return GetPlayerVolume(pnLeftVolume, pnRightVolume);
    }
    return GetWaveOutVolume(pnLeftVolume, pnRightVolume);
}

int32_t Mp3Engine::GetWaveOutVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume) {
    if (!pnLeftVolume || !pnRightVolume) {
        setError("GetVolume->Invalid parameters !");
        return 0;
    }
    uint16_t left = 0;
    uint16_t right = 0;
    wave_->GetOutputVolume(&left, &right);
    *pnLeftVolume = uint32_t(MulDiv(left, 100, 0xFFFF));
    *pnRightVolume = uint32_t(MulDiv(right, 100, 0xFFFF));
    return 1;
}

int32_t Mp3Engine::GetPlayerVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume) {
    if (!pnLeftVolume || !pnRightVolume) {
        setError("GetVolume->Invalid parameters !");
        return 0;
    }
    std::lock_guard lock(volumeLock_);
    *pnLeftVolume = volume_[0];
    *pnRightVolume = volume_[1];
    return 1;
}

int32_t Mp3Engine::MixChannels(int32_t fEnable, uint32_t nLeftPercent, uint32_t nRightPercent) {
    // Percentages from about 800 up would not fit the 4.28 fixed-point factor:
    // they are held at its largest value instead of overflowing the conversion.
    auto factor = [](uint32_t percent) {
        return int32_t(std::min(percent * 0.01 * 0x10000000 + 0.5, double(INT32_MAX)));
    };
    mixFactor_[0] = factor(nLeftPercent);
    mixFactor_[1] = factor(nRightPercent);
    channelMix_ = fEnable != 0;
    return 1;
}

int32_t Mp3Engine::VocalCut(int32_t fEnable) {
    vocalCut_ = fEnable != 0;
    return 1;
}

int32_t Mp3Engine::FadeVolume(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime) {
    return fade(fMode, fFormat, pTime, false);
}

int32_t Mp3Engine::FadeVolumeRestart(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime) {
    return fade(fMode, fFormat, pTime, true);
}

// Sets up a fade that the decoding thread performs frame by frame, from the
// current level or (restart) from the far end.
int32_t Mp3Engine::fade(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime, bool restart) {
    if (!pTime) {
        setError("FadeVolume->MP3_TIME *pTime can't be 0");
        return 0;
    }
    if (fMode != FADE_IN && fMode != FADE_OUT) {
        setError("FadeVolume->Invalid fMode !");
        return 0;
    }
    const uint32_t frames = frameCount(toMilliseconds(fFormat, *pTime));
    std::lock_guard lock(volumeLock_);
    fadeCounter_ = 0;
    if (frames == 0) {
        fadeInRunning_ = fadeOutRunning_ = false;
        const double gain = fMode == FADE_IN ? 1.0 : 0.0;
        fadeLevel_ = fMode == FADE_IN ? 100.0 : 0.0;
        fadeGain_[0] = fadeGain_[1] = gain;
        setEffectiveGains();
        return 1;
    }
    if (fMode == FADE_IN) {
        fadeOutRunning_ = false;
        fadeInFrames_ = frames;
        if (restart) {
            fadeLevel_ = 0.0;
        }
        fadeInStep_ = std::max(0.0, (100.0 - fadeLevel_) / frames);
        fadeInRunning_ = true;
    } else {
        fadeInRunning_ = false;
        fadeOutFrames_ = frames;
        if (restart) {
            fadeLevel_ = 100.0;
        }
        fadeOutStep_ = fadeLevel_ / frames;
        fadeOutRunning_ = true;
    }
    return 1;
}

} // namespace tolvane
