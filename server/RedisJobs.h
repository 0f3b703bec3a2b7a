#pragma once

#include "server/JobTable.h"
#include "server/Mp3Encoder.h"
#include "server/RedisClient.h"
#include "server/SpeechMaker.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::server {

// The speech jobs in Redis, shared by every server process of one key prefix:
// any process adds and answers queries and downloads, the worker threads of
// any process take the jobs and store the finished MP3 beside them. The rules
// of SpeechJobs hold across processes: at most `queueSize` waiting or being
// read, `jobsPerUser` of them one user's, and the users with waiting jobs take
// turns, one job each.
//
// Keys, after the prefix: "job:UUID" (a hash: user, state, text until read,
// voice, duration, failure), "audio:UUID" (the MP3), both expiring
// `fileExpiry` after the job ends; "waiting:USER" (the user's queue) and
// "turns" (users with waiting jobs, the next first); "held" (jobs waiting or
// being read, by user) and "queued" (all of them); "running" (UUID -> the
// worker process reading it); "finished" (UUIDs by end, for kept_jobs);
// "worker:ID" (a process's sign of life, set again each second, lapsing
// after `claimTimeout`); "wake" (a list idle workers wait on). Every change
// that reads and writes several keys is one Lua script.
//
// A job whose worker process stops signing (killed, cut off) goes back to the
// head of its user's queue once its sign has lapsed, and another worker takes
// it. A worker that comes back late to a job taken again finds its claim gone
// and drops what it made, so each job ends once and is published once, on
// the channel "ended" as "job UUID".
//
// Threads: HTTP threads call add(), status() and openAudio() (through the
// shared RedisClient); each worker thread has a connection of its own, on
// which it waits for work; the janitor calls tick(); the owner start() and
// stop(). stop() cancels the synthesis in progress through cancel_, joins the
// workers and hands their jobs back to the queue.
class RedisJobs final : public JobTable {
  public:
    struct Settings {
        int workers = 2; // synthesis threads in this process; 0 for a web node
        int queueSize = 64;
        int jobsPerUser = 16;
        int keptJobs = 1000;
        std::chrono::seconds fileExpiry{600};
        std::chrono::seconds claimTimeout{30};
        int maxSpeechSeconds = 600;
        Mp3Encoder::Settings audio;
    };

    RedisJobs(RedisClient& redis, std::string prefix, Settings settings);
    ~RedisJobs() override;
    RedisJobs(const RedisJobs&) = delete;
    RedisJobs& operator=(const RedisJobs&) = delete;

    // Signs this process's life and starts the workers.
    void start();
    void stop();

    // Only jobsStopping() is told from here; job ends come through the
    // channel (see RedisEvents).
    void setListener(Listener* listener) override { listener_ = listener; }
    Added add(Request request, std::string& uuid) override;
    Stored<Status> status(const std::string& uuid, int userId) override;
    Stored<AudioFile> openAudio(const std::string& uuid) override;

    // Once a second: signs this process's life, gives the jobs of lapsed
    // workers back to the queue and forgets expired finished jobs.
    void tick();

  private:
    struct Taken {
        std::string uuid;
        std::string text;
        Synthesizer::Voice voice;
    };

    void work();
    std::optional<Taken> take(RedisConnection& connection);
    void finish(RedisConnection& connection, const Taken& job,
                const std::optional<std::string>& failure, const MadeSpeech& made);
    bool signLife();

    RedisClient& redis_;
    const std::string prefix_;
    const Settings settings_;
    const std::string workerId_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<Listener*> listener_{nullptr};
    std::vector<std::thread> workers_;
};

} // namespace tolvane::server
