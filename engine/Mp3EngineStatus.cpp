// The position, length, format, bit rate, status and load of the open stream.
#include "engine/Mp3Engine.h"
#include "engine/TimeFormat.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"

#include <algorithm>

namespace tolvane {

using platform::MulDiv;

uint32_t Mp3Engine::playedMs(bool heard) {
    if (!transport_.playing) {
        return 0;
    }
    if (!heard && notifier_.wants(NOTIFY_WAVE_BUFFER)) {
        return counters_.msHanded;
    }
    return uint32_t(wave_->GetOutputPosition(1));
}

uint32_t Mp3Engine::currentPosition(bool heard) {
    const int64_t played = playedMs(heard);
    const int64_t base = counters_.positionBase;
    const uint32_t done = transport_.loopDone;
    if (transport_.loopMode && done >= 1 && stream_.sampleRate > 0) {
        const int64_t loopMs = int64_t(transport_.loopSamples) * 1000 / stream_.sampleRate;
        const int64_t shift = played >= loopMs * done ? loopMs * done : loopMs * (done - 1);
        return uint32_t(std::max<int64_t>(0, base + played - shift));
    }
    if (transport_.reverse) {
        return uint32_t(played > base ? 0 : base - played);
    }
    return uint32_t(base + played);
}

int32_t Mp3Engine::GetPosition(MP3_TIME* pTime) {
    if (!pTime) {
        setError("GetPosition->MP3_TIME *pTime - this parameter can't be NULL");
        return 0;
    }
    return fillPosition(pTime, false);
}

int32_t Mp3Engine::GetHeardPosition(MP3_TIME* pTime) {
    if (!pTime) {
        setError("GetHeardPosition->MP3_TIME *pTime - this parameter can't be NULL");
        return 0;
    }
    return fillPosition(pTime, true);
}

int32_t Mp3Engine::fillPosition(MP3_TIME* pTime, bool heard) {
    *pTime = MP3_TIME{};
    if (!isStreamOpen()) {
        return 1;
    }
    const uint32_t ms = currentPosition(heard);
    splitMilliseconds(ms, *pTime);
    pTime->nFrames =
        stream_.lengthMs ? uint32_t(double(ms) / stream_.lengthMs * stream_.totalFrames) : 0;
    pTime->nBytes = counters_.bytePosition;
    return 1;
}

int32_t Mp3Engine::GetSongLengthHMS(MP3_TIME* pLength) {
    if (!pLength) {
        setError("GetSongLengthHMS->MP3_TIME *pLength - this parameter can't be NULL");
        return 0;
    }
    *pLength = MP3_TIME{};
    splitMilliseconds(stream_.lengthMs, *pLength);
    pLength->nBytes = uint32_t(window_.audioSize);
    pLength->nFrames = stream_.totalFrames;
    return 1;
}

int32_t Mp3Engine::GetMp3Info(MP3_STREAM_INFO* pInfo) {
    if (!pInfo) {
        setError("GetMp3Info->Invalid parameter !\nMP3_STREAM_INFO *pInfo can't be NULL !");
        return 0;
    }
    *pInfo = stream_.info;
    pInfo->nSampleRate = int32_t(stream_.sampleRate);
    pInfo->nChannels = int32_t(stream_.channels);
    pInfo->fVbr = stream_.vbrFlag ? 1 : 0;
    pInfo->nBitrate = stream_.vbrFlag ? int32_t(stream_.averageBitrate * 0.001)
                                      : int32_t(stream_.firstBitrate / 1000);
    return 1;
}

int32_t Mp3Engine::GetBitrate(int32_t fAverage) {
    if (!isStreamOpen()) {
        return 0;
    }
    if (!fAverage) {
        return int32_t(counters_.currentBitrate / 1000);
    }
    const uint32_t frames = counters_.framesDecoded;
    return frames ? int32_t(counters_.bitrateSum / frames) : 0;
}

int32_t Mp3Engine::GetStatus(MP3_STATUS* pStatus) {
    if (!pStatus) {
        setError("GetStatus->MP3_STATUS *pStatus - this parameter can't be NULL");
        return 0;
    }
    *pStatus = MP3_STATUS{};
    pStatus->fStopped = 1;
    if (transport_.playing) {
        pStatus->fPlaying = 1;
        pStatus->fStopped = 0;
    }
    if (transport_.paused) {
        pStatus->fPaused = 1;
        pStatus->fPlaying = 0;
        pStatus->fStopped = 0;
    }
    pStatus->fEcho = effects_.echo.enabled() ? 1 : 0;
    pStatus->nEchoMode = effects_.echo.mode();
    pStatus->fEqualizer = effects_.band.enabled() ? 1 : 0;
    pStatus->fSubbandEqualizer = effects_.subband.enabled() ? 1 : 0;
    pStatus->fVocalCut = effects_.vocalCut ? 1 : 0;
    pStatus->fChannelMix = effects_.channelMix ? 1 : 0;
    {
        std::lock_guard lock(gains_.lock);
        pStatus->fFadingIn = gains_.fadeInRunning ? 1 : 0;
        pStatus->fFadingOut = gains_.fadeOutRunning ? 1 : 0;
    }
    pStatus->fInternalVolume = gains_.internalVolume ? 1 : 0;
    pStatus->fLooping = transport_.looping ? 1 : 0;
    pStatus->fReverse = transport_.reverse ? 1 : 0;
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
    if (!memory_.managed) {
        setError("GetStreamLoad->Stream isn't managed. Can't get this data !");
        return 0;
    }
    pStreamLoadInfo->nBuffers = uint32_t(queue().entries());
    const uint32_t bytes = uint32_t(std::min<size_t>(queue().bytesLeft(), UINT32_MAX));
    pStreamLoadInfo->nBytes = bytes;
    const uint32_t frames = counters_.framesDecoded;
    const uint32_t sum = counters_.bitrateSum;
    const int32_t ms = frames && sum ? MulDiv(int32_t(bytes * 8), int32_t(frames), int32_t(sum))
                                     : MulDiv(int32_t(bytes), 8000, int32_t(stream_.firstBitrate));
    pStreamLoadInfo->nMilliseconds = ms < 0 ? 0 : uint32_t(ms);
    return 1;
}

} // namespace tolvane
