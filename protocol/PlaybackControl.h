#pragma once

#include "protocol/DialogPort.h"
#include "protocol/PlaybackStatus.h"
#include "protocol/SpeechTimings.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace tolvane {

// What playback tells the speech job. Each function is called on the playback
// worker (playing and stopDone also on the thread that resumes or stops) and
// may send a report to the dialog, so it must not be called with a lock held
// that the interface thread takes.
struct PlaybackNotifications {
    std::function<void()> playing;
    std::function<void(int32_t percent)> progress;
    std::function<void(const PlaybackStatus& status)> status;
    std::function<void()> paused;
    std::function<void()> stopped;
    std::function<void()> stopDone;
    std::function<void(std::string_view utf8)> errorText;
    // The word and sentence timings found at the head of the audio, once per
    // playback that has them, before the audio plays.
    std::function<void(const SpeechTimings& timings)> timings;
};

// The playback side as the speech job drives it: downloads an audio URL and
// plays it, with pause, resume and stop from the interface thread.
class PlaybackControl {
  public:
    virtual ~PlaybackControl() = default;

    // Installed once, before the first play().
    virtual void setNotifications(PlaybackNotifications notifications) = 0;
    // The port whose reports are pumped while stop() waits for the worker.
    virtual void setPort(DialogPort* port) = 0;
    // Starts downloading and playing `url` unless a playback is under way; the
    // transfers use the two time-outs in seconds. Called by the speech job's
    // worker.
    virtual void play(std::string_view url, int connectTimeOut, int timeOut) = 0;
    virtual void pause() = 0;
    // Resumes paused audio, then tells the speech job it plays in every case.
    virtual void resume() = 0;
    // Ends the download or the sound and waits for the worker, pumping the
    // port; returns once nothing plays.
    virtual void stop() = 0;
};

} // namespace tolvane
