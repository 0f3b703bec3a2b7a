#pragma once

#include "platform/MessageQueue.h"
#include "protocol/ClientType.h"
#include "protocol/ControllerWorker.h"
#include "protocol/LocalizedTexts.h"
#include "protocol/PlaybackControl.h"
#include "protocol/TransferWaker.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace tolvane {

// One piece of text read aloud: posts it to the door_add URL, polls the
// door_query URL about once a second until the server has made the audio, then
// hands the audio URL to the playback. Carries the user's pause and stop to the
// playback and reports every step with message 100 (see DialogCodes.h).
//
// Threads: the interface thread calls the set-up operations, start(),
// pauseToggle() and stop(); the worker posts the requests and serves its own
// message queue, whose one-shot timers pace the polling; the playback worker
// calls the notifications installed by setPlayback(). The command is the
// interface thread's only signal to the worker (a stop also wakes the
// worker's request in progress, so it ends at once) and the state is written by
// the interface thread and the playback worker; both are atomic. mutex_
// guards the service settings and the reply fields; the job's own fields are
// written by start() before the worker starts and read only by the worker.
class SpeechJobController {
  public:
    enum TextSlot {
        kInitError,
        kSendingAdd,
        kAddAccepted,
        kAddFailed,
        kQuerying,
        kAudioReady,
        kQueryFailed,
        kTextCount
    };
    enum class State { kStopped, kPlaying, kMediaPlaying, kMediaPausing };
    enum class Command { kNone, kPlay, kStop, kPause, kPlaying };

    static constexpr std::chrono::milliseconds kPollDelay{20};
    static constexpr std::chrono::milliseconds kTickDelay{1000};

    // What one reading sends with its add request.
    struct Job {
        std::u16string prefix; // a news item's title; empty for typed text
        std::u16string text;
        int32_t volume = 100;
        int32_t rate = 50;
        std::u16string voice = u"VW Lily";
        int32_t punctuation = 0;
        int32_t format = 6;
        int32_t userId = 0;
        int32_t timeMax = 0; // queries allowed while the server is still working
        std::string verifytimeid;
        std::string useragent;
        std::string clienttype = std::string(kClientType);
        std::string clientver = std::string(kClientVersion);
    };

    // What a reading's add request sends as its text: the prefix (a news
    // item's title) and the text, joined by a comma; the text alone without
    // a prefix.
    static std::u16string spokenText(std::u16string_view prefix, std::u16string_view text);

    SpeechJobController();
    ~SpeechJobController();
    SpeechJobController(const SpeechJobController&) = delete;
    SpeechJobController& operator=(const SpeechJobController&) = delete;

    // The port of the reports; also handed to the playback.
    void setPort(DialogPort* port);
    void setLanguage(std::string_view code);
    std::u16string text(TextSlot slot) const { return texts_.get(slot); }
    // Installs the notifications that turn playback events into reports. Null
    // leaves a finished job at its 150 report. Call before the first start().
    void setPlayback(PlaybackControl* playback);
    // The door_add and door_query URLs (kept to 255 bytes) and the time-outs.
    void setService(std::string_view addUrl, std::string_view queryUrl, int connectTimeOut,
                    int timeOut);

    // Starts a reading unless one is under way (the state is not "stopped").
    void start(const Job& job);
    // Pauses or resumes playback; before the audio plays, makes it start paused.
    void pauseToggle();
    // Ends the job and its playback, waiting for both while pumping the port,
    // then reports 160. Never called from a handler of this job's reports.
    void stop();

    State state() const { return state_.load(); }
    Command command() const { return command_.load(); }
    static std::string_view name(State state);
    static std::string_view name(Command command);
    // True while the worker runs (requests and polling).
    bool running() const { return worker_.running(); }

    std::string uuid() const;
    // The last query reply's `parameter`, split at ":" into six parts.
    std::array<std::string, 6> parameters() const;
    // Queries sent for the current job.
    int32_t pollCount() const { return pollCount_.load(); }

    // Reply handling, called by the worker, and by tests and the fuzzer while
    // no worker runs. handleAddReply is true when polling should begin;
    // handleQueryReply is true when the job waits for another query.
    bool handleAddReply(std::string_view reply);
    bool handleQueryReply(std::string_view reply);

  private:
    enum class Timer { kNone, kPoll, kTick };

    void run();
    bool postAdd();
    bool onTimer();
    bool query();
    void arm(Timer timer);
    bool stopping() const { return command_.load() == Command::kStop; }
    void sendText(dialog::JobCode code, const std::u16string& text) const;
    void installNotifications();

    mutable std::mutex mutex_;
    std::string addUrl_;
    std::string queryUrl_;
    int connectTimeOut_ = 0;
    int timeOut_ = 0;
    std::string uuid_;
    std::array<std::string, 6> parameters_;

    std::string language_; // guarded by mutex_

    // The job under way, copied by start() before the worker starts.
    Job job_;
    std::string jobLanguage_;
    std::string jobAddUrl_;
    std::string jobQueryUrl_;
    int jobConnectTimeOut_ = 0;
    int jobTimeOut_ = 0;
    std::atomic<int32_t> pollCount_{0};
    Timer timer_ = Timer::kNone;
    platform::MessageQueue queue_;

    std::atomic<State> state_{State::kStopped};
    std::atomic<Command> command_{Command::kNone};
    std::atomic<PlaybackControl*> playback_{nullptr};
    TransferWaker waker_; // woken by a stop
    LocalizedTexts<kTextCount> texts_;
    ControllerWorker worker_;
};

} // namespace tolvane
