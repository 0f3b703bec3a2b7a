#include "playback/PlaybackController.h"

#include "engine/AlsaBackend.h"
#include "engine/Mp3EngineApi.h"
#include "playback/SpeechTimingsTag.h"
#include "playback/StreamFeed.h"
#include "playback/TempAudioFile.h"
#include "protocol/AudioDownload.h"

#include <algorithm>
#include <limits>
#include <new>

namespace tolvane {

namespace {

struct Reading {
    MP3_TIME position{};
    MP3_STATUS status{};
    int32_t bitrate = 0;
};

void read(Mp3Engine* engine, Reading& now) {
    mp3::getPosition(engine, &now.position);
    mp3::getStatus(engine, &now.status);
    now.bitrate = mp3::getBitrate(engine, 1);
}

// A managed stream is described from its first chunk only: unless a VBR
// header gave the whole length, it is estimated from the stream's size and the
// bit rate heard so far.
uint32_t streamLengthMs(const MP3_TIME& length, uint64_t streamBytes, int32_t kbps) {
    const uint64_t described = uint64_t(length.nMilliseconds) * uint32_t(std::max(kbps, 0)) / 8;
    if (kbps <= 0 || streamBytes == 0 || described >= 2 * uint64_t(length.nBytes)) {
        return length.nMilliseconds;
    }
    return uint32_t(
        std::min<uint64_t>(streamBytes * 8 / uint32_t(kbps), std::numeric_limits<uint32_t>::max()));
}

PlaybackStatus statusOf(const Reading& now, const MP3_TIME& length,
                        const std::function<uint64_t()>& streamBytes) {
    uint64_t total = length.nBytes;
    uint32_t lengthMs = length.nMilliseconds;
    if (streamBytes) {
        total = streamBytes();
        lengthMs = streamLengthMs(length, total, now.bitrate);
    }
    PlaybackStatus status;
    status.percent = AudioDownload::percentOf(now.position.nBytes, int64_t(total));
    status.bitrate = now.bitrate;
    status.positionHours = int32_t(now.position.nHmsHour);
    status.positionMinutes = int32_t(now.position.nHmsMinute);
    status.positionSeconds = int32_t(now.position.nHmsSecond);
    status.lengthHours = int32_t(lengthMs / 3600000);
    status.lengthMinutes = int32_t(lengthMs % 3600000 / 60000);
    status.lengthSeconds = int32_t(lengthMs % 60000 / 1000);
    status.positionMs = now.position.nMilliseconds;
    status.lengthMs = lengthMs;
    return status;
}

// The engine calls back on its own thread; every event is answered with 0,
// which lets a managed stream that runs dry wait for more data.
int32_t answerZero(uint32_t, uintptr_t, uintptr_t) {
    return 0;
}

} // namespace

PlaybackController::PlaybackController() : PlaybackController(AlsaBackend::instance()) {}

PlaybackController::PlaybackController(std::shared_ptr<AudioBackend> backend)
    : interfaceThread_(std::this_thread::get_id()), backend_(std::move(backend)) {
    setNotifications({});
}

PlaybackController::~PlaybackController() {
    halt();
}

void PlaybackController::setNotifications(PlaybackNotifications notifications) {
    notify_ = std::move(notifications);
    // Every slot callable, so the worker needs no checks.
    auto fill = [](auto& slot, auto stand_in) {
        if (!slot) {
            slot = stand_in;
        }
    };
    fill(notify_.playing, [] {});
    fill(notify_.progress, [](int32_t) {});
    fill(notify_.status, [](const PlaybackStatus&) {});
    fill(notify_.paused, [] {});
    fill(notify_.stopped, [] {});
    fill(notify_.stopDone, [] {});
    fill(notify_.errorText, [](std::string_view) {});
    fill(notify_.timings, [](const SpeechTimings&) {});
}

PlaybackController::Mode PlaybackController::modeNamed(std::string_view name) {
    return name == "MEMORY" ? Mode::kMemory : Mode::kFile;
}

std::string_view PlaybackController::name(State state) {
    switch (state) {
    case State::kStopped:
        return "stopped";
    case State::kPlaying:
        return "playing";
    case State::kMp3Playing:
        return "mp3_playing";
    }
    return "";
}

bool PlaybackController::running() const {
    std::lock_guard lock(mutex_);
    return worker_ && worker_->running();
}

void PlaybackController::waitFor(platform::Thread& worker) {
    DialogPort* port = port_.load();
    if (port != nullptr && std::this_thread::get_id() == interfaceThread_) {
        platform::waitPumping(worker, [port] { port->pump(); });
    } else {
        worker.join();
    }
}

void PlaybackController::play(std::string_view url, int connectTimeOut, int timeOut) {
    std::unique_ptr<platform::Thread> previous;
    {
        std::lock_guard lock(mutex_);
        if (state_.load() != State::kStopped) {
            return;
        }
        command_ = Command::kPlay;
        state_ = State::kPlaying;
        previous = std::move(worker_);
    }
    // The previous worker has ended its playback and is at most finishing its
    // last report.
    if (previous) {
        waitFor(*previous);
    }
    Request request{std::string(url), connectTimeOut, timeOut, mode_.load(),
                    downloadMaxBytes_.load()};
    discardDownload(); // a new reading: the last one's audio goes
    std::lock_guard lock(mutex_);
    if (stopping()) {
        return;
    }
    worker_ = std::make_unique<platform::Thread>();
    worker_->start([this, request = std::move(request)] { run(request); });
}

void PlaybackController::pause() {
    std::lock_guard lock(mutex_);
    if (state_.load() == State::kMp3Playing) {
        mp3::pause(engine_);
    }
}

void PlaybackController::resume() {
    {
        std::lock_guard lock(mutex_);
        if (state_.load() == State::kMp3Playing) {
            mp3::resume(engine_);
        }
    }
    notify_.playing();
}

void PlaybackController::stop() {
    halt();
    notify_.stopDone();
}

void PlaybackController::halt() {
    std::unique_ptr<platform::Thread> worker;
    {
        std::lock_guard lock(mutex_);
        command_ = Command::kStop;
        if (engine_ != nullptr) {
            mp3::stop(engine_); // the sound ends here, before the worker is waited for
        }
        worker = std::move(worker_);
    }
    stopped_.notify_all();
    downloadWaker_.wake();
    if (worker && refuseWaitFromOwnReport(worker->id(), "PlaybackController::stop")) {
        // The worker is blocked on the report being handled; it sees the stop
        // command afterwards, and the next stop or play waits for it.
        std::lock_guard lock(mutex_);
        worker_ = std::move(worker);
        return;
    }
    if (worker) {
        waitFor(*worker);
    }
    state_ = State::kStopped;
}

bool PlaybackController::heardPosition(int64_t& ms, bool wait) const {
    std::unique_lock lock(mutex_, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return false;
    }
    if (engine_ == nullptr || state_.load() != State::kMp3Playing) {
        return false;
    }
    // A run that has ended is back at the start of the audio: it is not heard.
    MP3_STATUS status{};
    MP3_TIME position{};
    if (mp3::getStatus(engine_, &status) == 0 || (!status.fPlaying && !status.fPaused) ||
        mp3::getHeardPosition(engine_, &position) == 0) {
        return false;
    }
    ms = position.nMilliseconds;
    return true;
}

bool PlaybackController::seekTo(int64_t ms) {
    std::lock_guard lock(mutex_);
    MP3_STATUS status{};
    if (engine_ == nullptr || !seekable_ || state_.load() != State::kMp3Playing ||
        mp3::getStatus(engine_, &status) == 0 || (!status.fPlaying && !status.fPaused)) {
        return false;
    }
    MP3_TIME target{};
    target.nMilliseconds =
        uint32_t(std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max()));
    // Seek leaves the engine stopped; the worker, which reads the status
    // under the same lock, never sees it so.
    if (mp3::seek(engine_, TIME_FORMAT_MS, &target, SEEK_FROM_START) == 0) {
        return false;
    }
    ++seeks_;
    if (mp3::play(engine_) == 0) {
        return false;
    }
    if (status.fPaused) {
        mp3::pause(engine_);
    }
    return true;
}

bool PlaybackController::sleepUnlessStopped(std::chrono::milliseconds span) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, span, [this] { return stopping(); });
}

void PlaybackController::run(const Request& request) {
    AudioDownload download(request.url,
                           {request.connectTimeOut, request.timeOut, [this] { return stopping(); },
                            request.maxBytes, &downloadWaker_});
    if (stopping()) {
        return;
    }
    const int64_t length = download.fetchLength();
    if (stopping()) {
        return;
    }
    if (request.mode == Mode::kMemory) {
        playStream(request, length);
    } else {
        playFile(download, length);
    }
    if (!stopping()) {
        state_ = State::kStopped;
        notify_.stopped();
    }
}

// Released with mp3::destroy, like an engine from mp3::create.
Mp3Engine* PlaybackController::createEngine() {
    return new (std::nothrow) Mp3Engine(backend_);
}

bool PlaybackController::hasKeptDownload() const {
    std::lock_guard lock(keptMutex_);
    return keptFile_ || keptBytes_;
}

bool PlaybackController::keptDownload(std::string& bytes, std::string& error) const {
    std::shared_ptr<TempAudioFile> file;
    {
        std::lock_guard lock(keptMutex_);
        if (keptBytes_) {
            bytes = *keptBytes_;
            return true;
        }
        file = keptFile_;
    }
    if (!file) {
        error = "no downloaded audio is kept";
        return false;
    }
    return file->readAll(bytes, error);
}

std::filesystem::path PlaybackController::keptDownloadPath() const {
    std::lock_guard lock(keptMutex_);
    return keptFile_ ? keptFile_->path() : std::filesystem::path();
}

void PlaybackController::discardDownload() {
    std::lock_guard lock(keptMutex_);
    // A playback still holding the file removes it when it ends.
    keptFile_.reset();
    keptBytes_.reset();
}

void PlaybackController::playFile(AudioDownload& download, int64_t length) {
    const auto kept = std::make_shared<TempAudioFile>();
    TempAudioFile& file = *kept;
    std::string error;
    if (!file.create(error)) {
        notify_.errorText(error);
        return;
    }
    const AudioDownload::Result result = download.fetch(
        length,
        [&file](const char* data, size_t size, std::string& error) {
            return file.write(data, size, error);
        },
        notify_.progress);
    if (result.cancelled || stopping()) {
        return;
    }
    bool reported = false;
    if (!result.completed) {
        notify_.errorText(result.error);
        reported = true;
    }
    if (!file.close(error) && !reported) {
        notify_.errorText(error);
        reported = true;
    }
    if (!reported && keepDownload_) {
        std::lock_guard lock(keptMutex_);
        keptFile_ = kept;
    }
    announceTimings(file.path());
    // What did arrive is played, as the dialog expects a 190 after any download.
    Mp3Engine* engine = createEngine();
    if (engine == nullptr) {
        notify_.errorText("Initial Error");
        return;
    }
    mp3::setCallbackFunc(engine, answerZero, 0xFFFFFFFF);
    if (mp3::openFile(engine, file.path().c_str(), kFileBufferMs, 0, 0) == 0 && !reported) {
        notify_.errorText(mp3::errorText(engine));
        reported = true;
    }
    seekable_ = true;
    if (startEngine(engine, reported)) {
        watch(engine, {});
    }
    seekable_ = false;
    releaseEngine(engine);
}

void PlaybackController::playStream(const Request& request, int64_t length) {
    StreamFeed feed;
    const bool keep = keepDownload_;
    std::string bytes; // the download as it came, when it is to be kept
    std::atomic<bool> finished{false};
    std::atomic<bool> downloadFailed{false};
    AudioDownload download(request.url, {request.connectTimeOut, request.timeOut,
                                         [this, &finished] { return stopping() || finished; },
                                         request.maxBytes, &downloadWaker_});
    platform::Thread feeder;
    feeder.start([&] {
        const AudioDownload::Result result = download.fetch(
            length,
            [&feed, &bytes, keep](const char* data, size_t size, std::string& error) {
                if (keep) {
                    bytes.append(data, size);
                }
                return feed.accept(data, size, error);
            },
            notify_.progress);
        feed.end();
        if (result.completed && keep) {
            std::lock_guard lock(keptMutex_);
            keptBytes_ = std::move(bytes);
        }
        if (!result.completed && !result.cancelled) {
            downloadFailed = true;
            notify_.errorText(result.error);
        }
    });
    const size_t head = announceStreamTimings(feed);
    Mp3Engine* engine = createEngine();
    std::string error;
    if (engine == nullptr) {
        notify_.errorText("Initial Error");
    } else {
        mp3::setCallbackFunc(engine, answerZero, 0xFFFFFFFF);
        if (!openStream(engine, feed, head, error)) {
            // A download that failed has said why already.
            feeder.join();
            if (!stopping() && !downloadFailed) {
                notify_.errorText(error);
            }
        } else if (startEngine(engine, false)) {
            watch(engine, [&feed, length]() -> uint64_t {
                return length > 0 ? uint64_t(length) : feed.ended() ? feed.received() : 0;
            });
        }
    }
    // The download thread pushes into the engine: it ends before the engine goes.
    finished = true;
    downloadWaker_.wake();
    feeder.join();
    releaseEngine(engine);
}

void PlaybackController::announceTimings(const std::filesystem::path& file) {
    SpeechTimings timings;
    std::string ignored; // audio without timings plays as before
    if (!stopping() && SpeechTimingsTag::readFile(file, timings, ignored) && !timings.empty()) {
        notify_.timings(timings);
    }
}

size_t PlaybackController::announceStreamTimings(StreamFeed& feed) {
    const auto giveUp = [this] { return stopping(); };
    feed.waitFor(SpeechTimingsTag::kHeaderBytes, giveUp);
    const size_t size = SpeechTimingsTag::tagSize(feed.head(SpeechTimingsTag::kHeaderBytes));
    if (size == 0 || size > SpeechTimingsTag::kMaxTagBytes || feed.waitFor(size, giveUp) < size ||
        stopping()) {
        return 0;
    }
    SpeechTimings timings;
    std::string ignored;
    if (SpeechTimingsTag::read(feed.head(size), timings, ignored) && !timings.empty()) {
        notify_.timings(timings);
    }
    return size;
}

// Opens the managed stream on the first kFirstChunk bytes after the `head`
// (the tag the engine skips); should they hold no playable frame, on more of
// the data, and last on everything that came.
bool PlaybackController::openStream(Mp3Engine* engine, StreamFeed& feed, size_t head,
                                    std::string& error) {
    size_t want = head + kFirstChunk;
    bool triedAny = false;
    size_t tried = 0;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const bool last = attempt + 1 == kOpenAttempts;
        const size_t have = feed.waitFor(last ? std::numeric_limits<size_t>::max() : want,
                                         [this] { return stopping(); });
        if (stopping()) {
            return false;
        }
        const size_t size = last ? have : std::min(have, want);
        if (!triedAny || size > tried) {
            if (feed.open(engine, size, kStreamBufferMs, error)) {
                return true;
            }
            triedAny = true;
            tried = size;
        }
        if (feed.ended() && have <= tried) {
            return false;
        }
        want *= 8;
    }
    return false;
}

bool PlaybackController::startEngine(Mp3Engine* engine, bool failureReported) {
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (stopping()) {
            return false;
        }
        engine_ = engine;
        if (mp3::play(engine) == 0) {
            failure = mp3::errorText(engine);
        }
    }
    // Audio that cannot be played (no output device, say) is a failure, not
    // the end of the reading.
    if (!failure.empty() && !failureReported) {
        notify_.errorText(failure);
    }
    return true;
}

void PlaybackController::releaseEngine(Mp3Engine* engine) {
    {
        std::lock_guard lock(mutex_);
        if (engine_ == engine) {
            engine_ = nullptr;
        }
    }
    mp3::destroy(engine);
}

void PlaybackController::watch(Mp3Engine* engine, const std::function<uint64_t()>& streamBytes) {
    MP3_TIME length{};
    Reading now;
    {
        std::lock_guard lock(mutex_);
        mp3::getSongLengthHMS(engine, &length);
        read(engine, now);
    }
    while (!stopping()) {
        if (now.status.fPlaying) {
            state_ = State::kMp3Playing;
            notify_.playing();
            const PlaybackStatus status = statusOf(now, length, streamBytes);
            notify_.status(status);
            if (status.percent == 100) {
                const uint32_t seeks = seeks_.load();
                if (!sleepUnlessStopped(kEndWait) || seeks_.load() == seeks) {
                    return;
                }
            }
        } else if (now.status.fPaused) {
            notify_.paused();
        } else {
            return;
        }
        if (!sleepUnlessStopped(kStatusInterval)) {
            return;
        }
        std::lock_guard lock(mutex_);
        read(engine, now);
    }
}

} // namespace tolvane
