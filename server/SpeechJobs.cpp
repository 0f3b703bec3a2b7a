#include "server/SpeechJobs.h"

#include "platform/SystemText.h"
#include "platform/UniqueFd.h"
#include "server/RandomId.h"
#include "server/SpeechMaker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tolvane::server {

namespace fs = std::filesystem;

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Names of the files jobs leave: "<uuid>.mp3" and "<uuid>.mp3.part".
bool isJobFile(const std::string& name) {
    const std::size_t stem = 36;
    if (name.size() < stem || (name.substr(stem) != ".mp3" && name.substr(stem) != ".mp3.part")) {
        return false;
    }
    for (std::size_t i = 0; i < stem; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? name[i] != '-' : !isHex(name[i])) {
            return false;
        }
    }
    return true;
}

// Writes `bytes` to a ".part" file and renames it into place, so a reader
// never sees half a file.
bool writeAtomically(const fs::path& path, const std::vector<uint8_t>& bytes, std::string& error) {
    const fs::path part = path.string() + ".part";
    platform::UniqueFd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        error = platform::systemError("cannot create", part);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = platform::systemError("cannot write", part);
            ::unlink(part.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd.release()) != 0 || ::rename(part.c_str(), path.c_str()) != 0) {
        error = platform::systemError("cannot finish", path);
        ::unlink(part.c_str());
        return false;
    }
    return true;
}

} // namespace

SpeechJobs::SpeechJobs(Settings settings, std::function<Clock::time_point()> now)
    : settings_(std::move(settings)), now_(std::move(now)) {}

SpeechJobs::~SpeechJobs() {
    stop();
}

bool SpeechJobs::prepareDataDir(std::string& error) {
    std::error_code ec;
    if (settings_.dataDir.empty()) {
        std::string pattern = (fs::temp_directory_path(ec) / "tolvane-server-XXXXXX").string();
        if (ec || ::mkdtemp(pattern.data()) == nullptr) {
            error = platform::systemError("cannot create a temporary folder", pattern);
            return false;
        }
        dataDir_ = pattern;
        temporaryDir_ = true;
        return true;
    }
    dataDir_ = settings_.dataDir;
    fs::create_directories(dataDir_, ec);
    if (ec || !fs::is_directory(dataDir_, ec)) {
        error = "data folder " + dataDir_.string() + ": " +
                (ec ? ec.message() : std::string("not a folder"));
        return false;
    }
    for (const auto& entry : fs::directory_iterator(dataDir_, ec)) {
        if (isJobFile(entry.path().filename().string())) {
            fs::remove(entry.path(), ec);
        }
    }
    const fs::path probe = dataDir_ / ("." + randomToken());
    platform::UniqueFd fd(::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        error = platform::systemError("cannot write into the data folder:", probe);
        return false;
    }
    ::unlink(probe.c_str());
    return true;
}

bool SpeechJobs::start(std::string& error) {
    if (!Synthesizer::instance().initialize(error) || !prepareDataDir(error)) {
        return false;
    }
    const std::lock_guard lock(mutex_);
    started_ = true;
    for (int i = 0; i < settings_.workers; ++i) {
        workers_.emplace_back([this] { work(); });
    }
    return true;
}

void SpeechJobs::stop() {
    {
        const std::lock_guard lock(mutex_);
        if (!started_ || stopping_) {
            return;
        }
        stopping_ = true;
        for (const auto& [user, jobs] : waiting_) {
            for (const auto& job : jobs) {
                jobs_.erase(job->uuid);
            }
        }
        waiting_.clear();
        turns_.clear();
        waitingCount_ = 0;
    }
    cancel_ = true;
    wake_.notify_all();
    if (Listener* listener = listener_.load()) {
        listener->jobsStopping();
    }
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    std::vector<std::string> uuids;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [uuid, job] : jobs_) {
            uuids.push_back(uuid);
        }
        jobs_.clear();
        finished_.clear();
    }
    for (const std::string& uuid : uuids) {
        deleteFile(uuid);
    }
    if (temporaryDir_) {
        std::error_code ec;
        fs::remove_all(dataDir_, ec);
    }
}

SpeechJobs::Added SpeechJobs::add(Request request, std::string& uuid) {
    auto job = std::make_shared<Job>();
    job->uuid = randomUuid();
    job->userId = request.userId;
    job->text = std::move(request.text);
    job->voice = std::move(request.voice);
    job->voiceNames = Synthesizer::instance().voiceNames(job->text, job->voice);
    {
        const std::lock_guard lock(mutex_);
        if (!started_ || stopping_) {
            return Added::Stopping;
        }
        if (waitingCount_ + running_ >= static_cast<std::size_t>(settings_.queueSize)) {
            return Added::QueueFull;
        }
        const auto held = held_.find(job->userId);
        if (held != held_.end() && held->second >= settings_.jobsPerUser) {
            return Added::UserFull;
        }
        jobs_[job->uuid] = job;
        ++held_[job->userId];
        std::deque<std::shared_ptr<Job>>& mine = waiting_[job->userId];
        if (mine.empty()) {
            turns_.push_back(job->userId);
        }
        mine.push_back(job);
        ++waitingCount_;
    }
    wake_.notify_one();
    uuid = job->uuid;
    return Added::Ok;
}

std::string SpeechJobs::parameterOf(const Job& job) const {
    return jobParameter(job.voiceNames, job.voice, settings_.audio.outputRate, job.durationMs);
}

Stored<SpeechJobs::Status> SpeechJobs::status(const std::string& uuid, int userId) {
    const std::lock_guard lock(mutex_);
    const auto it = jobs_.find(uuid);
    if (it == jobs_.end() || it->second->userId != userId) {
        return std::nullopt;
    }
    const Job& job = *it->second;
    static constexpr const char* kNames[] = {"wait", "ttsing", "ttsed", "failed"};
    return Status{kNames[static_cast<int>(job.state)], parameterOf(job), job.failure};
}

Stored<AudioFile> SpeechJobs::openAudio(const std::string& uuid) {
    const std::lock_guard lock(mutex_);
    const auto it = jobs_.find(uuid);
    if (it == jobs_.end() || it->second->state != State::Done) {
        return std::nullopt;
    }
    // Opened under the lock, so expiry cannot delete the file in between; once
    // open it stays readable after it is deleted.
    const fs::path path = dataDir_ / fileName(uuid);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    AudioFile file = AudioFile::adopt(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    file.size = static_cast<std::uint64_t>(st.st_size);
    return file;
}

void SpeechJobs::expire() {
    std::vector<std::string> expired;
    {
        const std::lock_guard lock(mutex_);
        const Clock::time_point now = now_();
        while (!finished_.empty() && now - finished_.front()->finishedAt >= settings_.fileExpiry) {
            expired.push_back(finished_.front()->uuid);
            jobs_.erase(finished_.front()->uuid);
            finished_.pop_front();
        }
    }
    for (const std::string& uuid : expired) {
        deleteFile(uuid);
    }
}

SpeechJobs::Counts SpeechJobs::counts() const {
    const std::lock_guard lock(mutex_);
    return Counts{waitingCount_, running_, finished_.size()};
}

// The first waiting job of the user whose turn it is; that user's turn comes
// again after the others'. Called with mutex_ held and a job waiting.
std::shared_ptr<SpeechJobs::Job> SpeechJobs::nextTurn() {
    const int user = turns_.front();
    turns_.pop_front();
    const auto mine = waiting_.find(user);
    std::shared_ptr<Job> job = mine->second.front();
    mine->second.pop_front();
    if (mine->second.empty()) {
        waiting_.erase(mine);
    } else {
        turns_.push_back(user);
    }
    --waitingCount_;
    return job;
}

void SpeechJobs::work() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !turns_.empty(); });
            if (stopping_) {
                return;
            }
            job = nextTurn();
            job->state = State::Running;
            ++running_;
        }
        long long durationMs = 0;
        std::optional<std::string> failure = produce(*job, durationMs);
        finish(job, std::move(failure), durationMs);
    }
}

std::optional<std::string> SpeechJobs::produce(const Job& job, long long& durationMs) {
    MadeSpeech made;
    if (std::optional<std::string> failure = makeSpeech(
            job.text, job.voice, settings_.audio, settings_.maxSpeechSeconds, cancel_, made)) {
        return failure;
    }
    durationMs = made.durationMs;
    std::string error;
    if (!writeAtomically(dataDir_ / fileName(job.uuid), made.mp3, error)) {
        return error;
    }
    return std::nullopt;
}

void SpeechJobs::finish(const std::shared_ptr<Job>& job, std::optional<std::string> failure,
                        long long durationMs) {
    std::vector<std::string> evicted;
    {
        const std::lock_guard lock(mutex_);
        --running_;
        if (const auto held = held_.find(job->userId); held != held_.end() && --held->second == 0) {
            held_.erase(held);
        }
        job->state = failure ? State::Failed : State::Done;
        job->failure = failure.value_or("");
        job->durationMs = durationMs;
        job->finishedAt = now_();
        job->text = {};
        if (stopping_) {
            return;
        }
        finished_.push_back(job);
        while (finished_.size() > static_cast<std::size_t>(settings_.keptJobs)) {
            evicted.push_back(finished_.front()->uuid);
            jobs_.erase(finished_.front()->uuid);
            finished_.pop_front();
        }
    }
    if (Listener* listener = listener_.load()) {
        listener->jobEnded(job->uuid);
    }
    for (const std::string& uuid : evicted) {
        deleteFile(uuid);
    }
}

void SpeechJobs::deleteFile(const std::string& uuid) const {
    const fs::path path = dataDir_ / fileName(uuid);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "tolvane-server: %s\n",
                     platform::systemError("cannot delete", path).c_str());
    }
}

} // namespace tolvane::server
