#include "tools/play/PlaybackPlan.h"

#include "engine/Mp3Engine.h"
#include "tools/play/EffectSetup.h"

#include <algorithm>

namespace tolvane::play {

namespace {

MP3_TIME milliseconds(uint32_t ms) {
    MP3_TIME time{};
    time.nMilliseconds = ms;
    return time;
}

uint32_t plannedLength(const PlayOptions& o, uint32_t length) {
    if (o.loop) {
        const uint64_t start = std::min(o.loop->startMs, length);
        const uint64_t end = std::min(std::max(o.loop->endMs, o.loop->startMs), length);
        const uint64_t total = end > start ? (end - start) * o.loop->count : 0;
        return uint32_t(std::min<uint64_t>(total, UINT32_MAX));
    }
    const uint32_t seek = std::min(o.seekMs.value_or(o.reverse ? length : 0), length);
    return o.reverse ? seek : length - seek;
}

} // namespace

PlaybackPlan::PlaybackPlan(const PlayOptions& options, uint32_t lengthMs)
    : options_(options), plannedMs_(plannedLength(options, lengthMs)) {}

bool PlaybackPlan::prepare(Mp3Engine& engine) {
    const PlayOptions& o = options_;
    if (!EffectSetup::apply(o, engine)) {
        return false;
    }
    if (o.volume) {
        engine.UseInternalVolume(1);
        engine.SetVolume((*o.volume)[0], (*o.volume)[1]);
    }
    if (o.mix) {
        engine.MixChannels(1, (*o.mix)[0], (*o.mix)[1]);
    }
    if (o.vocalCut) {
        engine.VocalCut(1);
    }
    if (o.reverse && !engine.ReverseMode(1)) {
        return false;
    }
    if (o.seekMs || o.reverse) {
        // Reverse play without --seek starts from the end.
        MP3_TIME at = milliseconds(o.seekMs.value_or(0));
        const uint32_t method = o.seekMs ? SEEK_FROM_START : SEEK_FROM_END;
        if (!engine.Seek(TIME_FORMAT_MS, &at, method)) {
            return false;
        }
    }
    if (o.fadeInMs) {
        MP3_TIME fade = milliseconds(*o.fadeInMs);
        if (!engine.FadeVolumeRestart(FADE_IN, TIME_FORMAT_MS, &fade)) {
            return false;
        }
    }
    if (o.fadeOutMs && !o.fadeInMs && *o.fadeOutMs >= plannedMs_) {
        // The whole run is the fade; it starts with the first frame.
        startFadeOut(engine, plannedMs_);
    }
    return true;
}

bool PlaybackPlan::start(Mp3Engine& engine) {
    if (!options_.loop) {
        return engine.Play() == 1;
    }
    MP3_TIME start = milliseconds(options_.loop->startMs);
    MP3_TIME end = milliseconds(options_.loop->endMs);
    return engine.PlayLoop(TIME_FORMAT_MS, &start, TIME_FORMAT_MS, &end, options_.loop->count) == 1;
}

// The fade set here reaches the frames decoded after this buffer, so it
// starts at the buffer's end and runs to the end of the planned output.
void PlaybackPlan::onBuffer(Mp3Engine& engine, uint32_t bytes, uint32_t sampleRate) {
    samplesHanded_ += bytes / 4;
    if (!options_.fadeOutMs || fadeStarted_ || sampleRate == 0) {
        return;
    }
    const uint64_t handedMs = samplesHanded_ * 1000 / sampleRate;
    if (handedMs + *options_.fadeOutMs >= plannedMs_) {
        startFadeOut(engine, uint32_t(plannedMs_ > handedMs ? plannedMs_ - handedMs : 0));
    }
}

void PlaybackPlan::startFadeOut(Mp3Engine& engine, uint32_t ms) {
    fadeStarted_ = true;
    MP3_TIME fade = milliseconds(ms);
    engine.FadeVolume(FADE_OUT, TIME_FORMAT_MS, &fade);
}

} // namespace tolvane::play
