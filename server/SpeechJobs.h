#pragma once

#include "server/JobTable.h"
#include "server/Mp3Encoder.h"
#include "server/Synthesizer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tolvane::server {

// The speech jobs from add to expiry: a bounded queue, worker threads that turn
// text into an MP3 file in the data folder, and the finished files kept for a
// while. Each user holds at most `jobsPerUser` of the queue, and the users
// with waiting jobs take turns, one job each, so one account's many jobs do
// not keep the others' waiting.
//
// Threads: HTTP threads call add(), status(), openAudio() and expire(); the
// worker threads take waiting jobs, synthesise them (one at a time, see
// Synthesizer), encode them in parallel and write the file. mutex_ guards
// jobs_, waiting_, turns_, held_, waitingCount_, finished_, running_,
// stopping_ and every Job's fields; synthesis, encoding and writing run
// without it. stop() cancels the synthesis in progress through cancel_ and
// joins the workers. The listener hears of a job's end from the worker that
// ended it, and of stop() from its caller, after mutex_ is released.
class SpeechJobs : public JobTable {
  public:
    struct Settings {
        std::filesystem::path dataDir; // empty: a private temporary folder
        int workers = 2;
        int queueSize = 64;
        int jobsPerUser = 16; // of the queue, waiting or being synthesised
        int keptJobs = 1000;
        std::chrono::seconds fileExpiry{600};
        int maxSpeechSeconds = 600;
        Mp3Encoder::Settings audio; // inputRate is taken from the synthesizer
    };

    struct Counts {
        std::size_t waiting = 0;
        std::size_t running = 0;
        std::size_t finished = 0;
    };

    using Clock = std::chrono::steady_clock;

    explicit SpeechJobs(Settings settings, std::function<Clock::time_point()> now = Clock::now);
    ~SpeechJobs() override;
    SpeechJobs(const SpeechJobs&) = delete;
    SpeechJobs& operator=(const SpeechJobs&) = delete;

    // Prepares the data folder (removing files a previous run left) and starts
    // the workers.
    bool start(std::string& error);

    // Cancels the synthesis in progress, drops waiting jobs, joins the workers
    // and deletes every job file (and the folder when it was temporary).
    void stop();

    void setListener(Listener* listener) override { listener_ = listener; }
    Added add(Request request, std::string& uuid) override;
    Stored<Status> status(const std::string& uuid, int userId) override;
    Stored<AudioFile> openAudio(const std::string& uuid) override;

    // Forgets finished jobs older than the expiry and deletes their files.
    void expire();

    Counts counts() const;
    const std::filesystem::path& dataDir() const { return dataDir_; }

  private:
    enum class State { Waiting, Running, Done, Failed };

    struct Job {
        std::string uuid;
        int userId = 0;
        std::string text; // released once synthesised
        Synthesizer::Voice voice;
        std::string voiceNames; // the espeak-ng voices that speak the text
        State state = State::Waiting;
        long long durationMs = 0;
        std::string failure;
        Clock::time_point finishedAt;
    };

    std::shared_ptr<Job> nextTurn();
    void work();
    // Synthesises, encodes and writes one job; the failure text when it fails.
    std::optional<std::string> produce(const Job& job, long long& durationMs);
    void finish(const std::shared_ptr<Job>& job, std::optional<std::string> failure,
                long long durationMs);
    std::string parameterOf(const Job& job) const;
    bool prepareDataDir(std::string& error);
    void deleteFile(const std::string& uuid) const;

    const Settings settings_;
    const std::function<Clock::time_point()> now_;
    std::filesystem::path dataDir_;
    bool temporaryDir_ = false;
    std::atomic<bool> cancel_{false};
    std::atomic<Listener*> listener_{nullptr};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<std::string, std::shared_ptr<Job>> jobs_;
    std::unordered_map<int, std::deque<std::shared_ptr<Job>>> waiting_; // by user, in order
    std::deque<int> turns_;             // users with waiting jobs, the next to be served first
    std::unordered_map<int, int> held_; // jobs waiting or running, by user; no zeros
    std::size_t waitingCount_ = 0;
    std::deque<std::shared_ptr<Job>> finished_; // in the order they finished
    std::size_t running_ = 0;
    bool stopping_ = false;
    bool started_ = false;
    std::vector<std::thread> workers_;
};

} // namespace tolvane::server
