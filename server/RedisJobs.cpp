#include "server/RedisJobs.h"

#include "platform/UniqueFd.h"

#include "server/Log.h"
#include "server/RandomId.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace tolvane::server {

namespace {

// A worker thread's wait for work, and how long it rests after Redis failed.
constexpr std::chrono::seconds kIdleWait{1};
constexpr std::chrono::milliseconds kRetry{200};
// Wake-ups kept for idle workers; each one only makes a worker look again.
constexpr int kWakeUps = 64;

// ARGV: prefix, uuid, user, queue size, per user, text, variant, words per
// minute, amplitude, punctuation, neutral script, voices. 0 added, 1 the
// queue is full, 2 the user holds their share.
const std::string kAdd = std::string(kRedisScriptPrelude) + R"lua(
local uuid, user = ARGV[2], ARGV[3]
if tonumber(redis.call('GET', p .. 'queued') or '0') >= tonumber(ARGV[4]) then return 1 end
if tonumber(redis.call('HGET', p .. 'held', user) or '0') >= tonumber(ARGV[5]) then return 2 end
redis.call('HSET', p .. 'job:' .. uuid, 'user', user, 'state', 'wait', 'text', ARGV[6],
  'variant', ARGV[7], 'wpm', ARGV[8], 'amplitude', ARGV[9], 'punctuation', ARGV[10],
  'neutral', ARGV[11], 'voices', ARGV[12], 'duration', '0', 'failure', '')
redis.call('INCR', p .. 'queued')
redis.call('HINCRBY', p .. 'held', user, 1)
if redis.call('RPUSH', p .. 'waiting:' .. user, uuid) == 1 then
  redis.call('RPUSH', p .. 'turns', user)
end
redis.call('RPUSH', p .. 'wake', uuid)
redis.call('LTRIM', p .. 'wake', -)lua" +
                         std::to_string(kWakeUps) +
                         R"lua(, -1)
redis.call('PEXPIRE', p .. 'wake', 60000)
return 0
)lua";

// ARGV: prefix, worker, claim time-out ms. The first waiting job of the user
// whose turn it is, claimed by the worker (that user's turn comes again after
// the others'): uuid, text, variant, wpm, amplitude, punctuation, neutral;
// nil when none waits.
const std::string kTake = std::string(kRedisScriptPrelude) + R"lua(
redis.call('SET', p .. 'worker:' .. ARGV[2], '1', 'PX', ARGV[3])
local user = redis.call('LPOP', p .. 'turns')
if not user then return false end
local waitKey = p .. 'waiting:' .. user
local uuid = redis.call('LPOP', waitKey)
if redis.call('LLEN', waitKey) > 0 then redis.call('RPUSH', p .. 'turns', user) end
if not uuid then return false end
local key = p .. 'job:' .. uuid
redis.call('HSET', key, 'state', 'ttsing')
redis.call('HSET', p .. 'running', uuid, ARGV[2])
local job = redis.call('HMGET', key, 'text', 'variant', 'wpm', 'amplitude', 'punctuation', 'neutral')
table.insert(job, 1, uuid)
return job
)lua";

// ARGV: prefix, uuid, worker, state, duration ms, failure, expiry ms, kept
// jobs, MP3. 1 when the job ended here, 0 when the worker no longer holds it.
const std::string kFinish = std::string(kRedisScriptPrelude) + R"lua(
local uuid = ARGV[2]
if redis.call('HGET', p .. 'running', uuid) ~= ARGV[3] then return 0 end
redis.call('HDEL', p .. 'running', uuid)
local key = p .. 'job:' .. uuid
local user = redis.call('HGET', key, 'user')
if not user then return 0 end
if redis.call('HINCRBY', p .. 'held', user, -1) <= 0 then redis.call('HDEL', p .. 'held', user) end
if redis.call('DECR', p .. 'queued') <= 0 then redis.call('DEL', p .. 'queued') end
local expiry = tonumber(ARGV[7])
redis.call('HSET', key, 'state', ARGV[4], 'duration', ARGV[5], 'failure', ARGV[6])
redis.call('HDEL', key, 'text')
redis.call('PEXPIRE', key, expiry)
if ARGV[4] == 'ttsed' then redis.call('SET', p .. 'audio:' .. uuid, ARGV[9], 'PX', expiry) end
redis.call('ZADD', p .. 'finished', nowMs(), uuid)
local over = redis.call('ZCARD', p .. 'finished') - tonumber(ARGV[8])
if over > 0 then
  for _, old in ipairs(redis.call('ZRANGE', p .. 'finished', 0, over - 1)) do
    redis.call('DEL', p .. 'job:' .. old, p .. 'audio:' .. old)
    redis.call('ZREM', p .. 'finished', old)
  end
end
redis.call('PUBLISH', p .. 'ended', 'job ' .. uuid)
return 1
)lua";

// ARGV: prefix, finished expiry ms. Puts the jobs of workers whose sign of
// life has lapsed back at the head of their users' queues, and forgets
// finished jobs past their expiry (their keys have expired by themselves).
const std::string kTick = std::string(kRedisScriptPrelude) + R"lua(
local running = redis.call('HGETALL', p .. 'running')
local again = 0
for i = 1, #running, 2 do
  local uuid, worker = running[i], running[i + 1]
  if redis.call('EXISTS', p .. 'worker:' .. worker) == 0 then
    redis.call('HDEL', p .. 'running', uuid)
    local key = p .. 'job:' .. uuid
    local user = redis.call('HGET', key, 'user')
    if user then
      redis.call('HSET', key, 'state', 'wait')
      if redis.call('LPUSH', p .. 'waiting:' .. user, uuid) == 1 then
        redis.call('LPUSH', p .. 'turns', user)
      end
      redis.call('RPUSH', p .. 'wake', uuid)
      redis.call('PEXPIRE', p .. 'wake', 60000)
      again = again + 1
    end
  end
end
redis.call('ZREMRANGEBYSCORE', p .. 'finished', '-inf', nowMs() - tonumber(ARGV[2]))
return again
)lua";

std::string field(const RedisReply& reply, std::size_t index) {
    return index < reply.elements.size() ? reply.elements[index].text : std::string();
}

int number(const std::string& text) {
    try {
        return std::stoi(text);
    } catch (...) {
        return 0;
    }
}

std::string milliseconds(std::chrono::seconds time) {
    return std::to_string(std::chrono::milliseconds(time).count());
}

// `bytes` in an anonymous memory file: the HTTP layer sends audio from a file
// descriptor, whatever holds it.
std::optional<AudioFile> memoryFile(const std::string& bytes) {
    const int fd = ::memfd_create("tolvane-audio", MFD_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    AudioFile file = AudioFile::adopt(fd);
    if (!platform::writeAll(fd, bytes)) {
        return std::nullopt;
    }
    file.size = bytes.size();
    return file;
}

} // namespace

RedisJobs::RedisJobs(RedisClient& redis, std::string prefix, Settings settings)
    : redis_(redis), prefix_(std::move(prefix)), settings_(std::move(settings)),
      workerId_(randomToken()) {}

RedisJobs::~RedisJobs() {
    stop();
}

void RedisJobs::start() {
    if (settings_.workers == 0) {
        return;
    }
    signLife();
    for (int i = 0; i < settings_.workers; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

void RedisJobs::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    cancel_ = true;
    if (Listener* listener = listener_.load()) {
        listener->jobsStopping();
    }
    std::string error;
    // Idle workers wake on this process's own list and see stopping_.
    if (!workers_.empty()) {
        const std::string wake = prefix_ + "wake:" + workerId_;
        std::vector<std::string> push{"RPUSH", wake};
        push.resize(2 + workers_.size(), "stop");
        redis_.run(push, error);
        redis_.run({"PEXPIRE", wake, "10000"}, error);
    }
    for (std::thread& worker : workers_) {
        worker.join();
    }
    if (!workers_.empty()) {
        // The jobs this process was reading go back to the queue at once.
        redis_.run({"DEL", prefix_ + "worker:" + workerId_, prefix_ + "wake:" + workerId_}, error);
        redis_.eval(kTick, {prefix_, milliseconds(settings_.fileExpiry)}, error);
    }
    workers_.clear();
}

JobTable::Added RedisJobs::add(Request request, std::string& uuid) {
    if (stopping_) {
        return Added::Stopping;
    }
    const std::string id = randomUuid();
    const Synthesizer::Voice& voice = request.voice;
    std::string error;
    const std::optional<RedisReply> reply = redis_.eval(
        kAdd,
        {prefix_, id, std::to_string(request.userId), std::to_string(settings_.queueSize),
         std::to_string(settings_.jobsPerUser), request.text, voice.variant,
         std::to_string(voice.wordsPerMinute), std::to_string(voice.amplitude),
         std::to_string(voice.punctuation), std::to_string(static_cast<int>(voice.neutral)),
         Synthesizer::instance().voiceNames(request.text, voice)},
        error);
    if (!reply) {
        return Added::StoreDown;
    }
    if (reply->integer == 1) {
        return Added::QueueFull;
    }
    if (reply->integer == 2) {
        return Added::UserFull;
    }
    uuid = id;
    return Added::Ok;
}

Stored<JobTable::Status> RedisJobs::status(const std::string& uuid, int userId) {
    std::string error;
    const std::optional<RedisReply> reply =
        redis_.run({"HMGET", prefix_ + "job:" + uuid, "user", "state", "voices", "wpm", "amplitude",
                    "punctuation", "duration", "failure"},
                   error);
    if (!reply) {
        return Stored<Status>::unreachable();
    }
    if (reply->elements.size() != 8 || reply->elements[0].isNil() ||
        field(*reply, 0) != std::to_string(userId)) {
        return std::nullopt;
    }
    Synthesizer::Voice voice;
    voice.wordsPerMinute = number(field(*reply, 3));
    voice.amplitude = number(field(*reply, 4));
    voice.punctuation = number(field(*reply, 5));
    long long durationMs = number(field(*reply, 6));
    return Status{field(*reply, 1),
                  jobParameter(field(*reply, 2), voice, settings_.audio.outputRate, durationMs),
                  field(*reply, 7)};
}

Stored<AudioFile> RedisJobs::openAudio(const std::string& uuid) {
    std::string error;
    const std::optional<RedisReply> reply = redis_.run({"GET", prefix_ + "audio:" + uuid}, error);
    if (!reply) {
        return Stored<AudioFile>::unreachable();
    }
    if (reply->isNil()) {
        return std::nullopt;
    }
    return memoryFile(reply->text);
}

void RedisJobs::tick() {
    // settings_, not workers_: the owner may stop the jobs while the janitor runs.
    if (settings_.workers > 0 && !stopping_) {
        signLife();
    }
    std::string error;
    const std::optional<RedisReply> again =
        redis_.eval(kTick, {prefix_, milliseconds(settings_.fileExpiry)}, error);
    if (again && again->integer > 0) {
        logLine(std::to_string(again->integer) + " jobs of a silent worker went back to the queue");
    }
}

bool RedisJobs::signLife() {
    std::string error;
    return redis_
        .run({"SET", prefix_ + "worker:" + workerId_, "1", "PX",
              milliseconds(settings_.claimTimeout)},
             error)
        .has_value();
}

std::optional<RedisJobs::Taken> RedisJobs::take(RedisConnection& connection) {
    std::string error;
    const std::optional<RedisReply> reply = connection.run(
        evalCommand(kTake, {prefix_, workerId_, milliseconds(settings_.claimTimeout)}), error);
    if (!reply) {
        std::this_thread::sleep_for(kRetry);
        return std::nullopt;
    }
    if (reply->elements.size() != 7) {
        // Nothing waits: rest until a job is added (or a second has passed).
        connection.run({"BLPOP", prefix_ + "wake", prefix_ + "wake:" + workerId_,
                        std::to_string(kIdleWait.count())},
                       error);
        return std::nullopt;
    }
    Taken job;
    job.uuid = field(*reply, 0);
    job.text = field(*reply, 1);
    job.voice.variant = field(*reply, 2);
    job.voice.wordsPerMinute = number(field(*reply, 3));
    job.voice.amplitude = number(field(*reply, 4));
    job.voice.punctuation = number(field(*reply, 5));
    job.voice.neutral = number(field(*reply, 6)) == 1 ? Script::Han : Script::Latin;
    return job;
}

void RedisJobs::work() {
    RedisConnection connection(redis_.address(), kIdleWait + std::chrono::seconds(2));
    while (!stopping_) {
        const std::optional<Taken> job = take(connection);
        if (!job) {
            continue;
        }
        MadeSpeech made;
        const std::optional<std::string> failure = makeSpeech(
            job->text, job->voice, settings_.audio, settings_.maxSpeechSeconds, cancel_, made);
        finish(connection, *job, failure, made);
    }
}

// Stores the job's end, trying again while Redis is away; a stopping process
// leaves its job to the queue (see stop()).
void RedisJobs::finish(RedisConnection& connection, const Taken& job,
                       const std::optional<std::string>& failure, const MadeSpeech& made) {
    // Made once: it holds the whole MP3, sent again as it is on every try.
    const std::vector<std::string> command = evalCommand(
        kFinish,
        {prefix_, job.uuid, workerId_, failure ? "failed" : "ttsed",
         std::to_string(made.durationMs), failure.value_or(""), milliseconds(settings_.fileExpiry),
         std::to_string(settings_.keptJobs), std::string(made.mp3.begin(), made.mp3.end())});
    while (!stopping_) {
        std::string error;
        const std::optional<RedisReply> reply = connection.run(command, error);
        if (reply) {
            return;
        }
        std::this_thread::sleep_for(kRetry);
    }
}

} // namespace tolvane::server
