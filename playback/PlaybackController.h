#pragma once

#include "config/ConfigStore.h"
#include "engine/Mp3Engine.h"
#include "platform/Thread.h"
#include "protocol/CurlGlobal.h"
#include "protocol/PlaybackControl.h"
#include "protocol/TransferWaker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tolvane {

class AudioBackend;
class AudioDownload;
class StreamFeed;
class TempAudioFile;

// Owns playback between the speech job and the engine: one worker per audio
// URL downloads it (to a private file, or straight into a managed engine
// stream in MEMORY mode), plays it and reports once a second through the
// notifications until the audio ends.
//
// Threads: the interface thread calls pause(), resume(), stop() and
// seekTo(); the speech job's worker calls play(); the playback worker runs the
// download and owns the engine object it creates; in MEMORY mode a download
// thread feeds the stream; heardPosition() may come from any thread. mutex_
// guards the state, the worker handle and the engine pointer, and every
// engine call made by the worker, pause(), resume(), stop(), seekTo() and
// heardPosition(), so the engine is never used after the worker destroyed it;
// heardPosition() only tries the lock unless told to wait, so a timer on the
// interface thread never waits behind the worker. The command is atomic so
// transfers can poll it; stopped_ wakes a worker that waits out its second,
// and downloadWaker_ a download waiting for the server.
// No lock is held while a notification runs.
class PlaybackController : public PlaybackControl {
  public:
    enum class Mode { kFile, kMemory };
    enum class State { kStopped, kPlaying, kMp3Playing };
    enum class Command { kNone, kPlay, kStop };

    static constexpr std::chrono::milliseconds kStatusInterval{1000};
    static constexpr std::chrono::milliseconds kEndWait{2000};
    static constexpr int32_t kFileBufferMs = 800;
    static constexpr int32_t kStreamBufferMs = 500;
    // A managed stream is opened on the first kFirstChunk bytes; when they
    // hold no playable frame, on more of the data, at most this many times.
    static constexpr size_t kFirstChunk = 1000;
    static constexpr int kOpenAttempts = 4;

    // The thread constructing the controller is taken as the interface thread.
    // The engines it creates play through the process's ALSA backend, or
    // through `backend` when one is given.
    PlaybackController();
    explicit PlaybackController(std::shared_ptr<AudioBackend> backend);
    // Stops a playback still running, without notifications.
    ~PlaybackController() override;
    PlaybackController(const PlaybackController&) = delete;
    PlaybackController& operator=(const PlaybackController&) = delete;

    void setNotifications(PlaybackNotifications notifications) override;
    void setPort(DialogPort* port) override { port_ = port; }
    void play(std::string_view url, int connectTimeOut, int timeOut) override;
    void pause() override;
    void resume() override;
    void stop() override;

    // Chosen by the configuration's Download_Mode; applies from the next play().
    void setDownloadMode(Mode mode) { mode_ = mode; }
    Mode downloadMode() const { return mode_.load(); }
    static Mode modeNamed(std::string_view name);
    // The largest audio download in bytes (the configuration's Download_Max_MB);
    // applies from the next play(). A download that passes it fails with its
    // text, and what did arrive is played as after any failed download.
    void setDownloadMaxBytes(uint64_t bytes) { downloadMaxBytes_ = bytes; }

    // With `keep`, the audio of a download that arrived whole is kept once it
    // has (the private file, mode 0600, in FILE mode; its bytes in MEMORY
    // mode) until the next play(), discardDownload() or the controller's end,
    // so that it can be saved. Without, the file goes with its playback.
    void setKeepDownload(bool keep) { keepDownload_ = keep; }
    // Whether a download is kept.
    bool hasKeptDownload() const;
    // The kept download's bytes; false with the reason when none is kept or
    // its file cannot be read.
    bool keptDownload(std::string& bytes, std::string& error) const;
    // The kept file's path (empty in MEMORY mode or when none is kept).
    std::filesystem::path keptDownloadPath() const;
    void discardDownload();

    // Where the sound card is in the audio being played, in ms, as the
    // engine's heard position gives it. False while no audio plays or is
    // paused, and, unless `wait`, without waiting while the worker holds the
    // engine (the caller asks again at its next tick). Any thread.
    bool heardPosition(int64_t& ms, bool wait = false) const;
    // Moves playback to `ms` of the audio, keeping it paused when it was;
    // false when no audio plays or it cannot seek. The interface thread.
    bool seekTo(int64_t ms);
    // Whether the audio playing can seek: a file can, a managed stream
    // (MEMORY mode) cannot.
    bool seekable() const { return seekable_.load(); }

    State state() const { return state_.load(); }
    Command command() const { return command_.load(); }
    static std::string_view name(State state);
    // True while a worker is attached and has not ended.
    bool running() const;

  private:
    struct Request {
        std::string url;
        int connectTimeOut = 0;
        int timeOut = 0;
        Mode mode = Mode::kFile;
        uint64_t maxBytes = ConfigStore::kDefaultDownloadMaxBytes;
    };

    void run(const Request& request);
    Mp3Engine* createEngine();
    void playFile(AudioDownload& download, int64_t length);
    void playStream(const Request& request, int64_t length);
    // Reports the timings found in the file's tag.
    void announceTimings(const std::filesystem::path& file);
    // Waits for the ID3v2 tag at the head of the stream, reports the timings
    // it holds and returns its size (0 when there is none, or one too large
    // to wait for).
    size_t announceStreamTimings(StreamFeed& feed);
    // `head` bytes more than the first chunk: a tag at the head is opened whole.
    bool openStream(Mp3Engine* engine, StreamFeed& feed, size_t head, std::string& error);
    // Keeps `engine` in the controller and plays it, unless a stop came first;
    // reports why it cannot play unless a failure was reported already.
    bool startEngine(Mp3Engine* engine, bool failureReported);
    void releaseEngine(Mp3Engine* engine);
    // The once-a-second loop; `streamBytes` gives the size of a managed stream.
    void watch(Mp3Engine* engine, const std::function<uint64_t()>& streamBytes);
    // Sleeps `span` unless stop() comes; false when it came.
    bool sleepUnlessStopped(std::chrono::milliseconds span);
    void waitFor(platform::Thread& worker);
    bool stopping() const { return command_.load() == Command::kStop; }
    void halt();

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    TransferWaker downloadWaker_;
    std::atomic<State> state_{State::kStopped};
    std::atomic<Command> command_{Command::kNone};
    std::unique_ptr<platform::Thread> worker_;
    Mp3Engine* engine_ = nullptr;
    // Counts seekTo(): a seek made while the worker waits out the end of the
    // audio brings it back to watching.
    std::atomic<uint32_t> seeks_{0};
    std::atomic<bool> seekable_{false};

    PlaybackNotifications notify_;
    std::atomic<DialogPort*> port_{nullptr};
    std::atomic<Mode> mode_{Mode::kFile};
    std::atomic<uint64_t> downloadMaxBytes_{ConfigStore::kDefaultDownloadMaxBytes};
    const std::thread::id interfaceThread_;
    const std::shared_ptr<AudioBackend> backend_;
    std::atomic<bool> keepDownload_{false};
    // The kept download: a file or bytes; keptMutex_ guards both.
    mutable std::mutex keptMutex_;
    std::shared_ptr<TempAudioFile> keptFile_;
    std::optional<std::string> keptBytes_;
    CurlGlobal curl_;
};

} // namespace tolvane
