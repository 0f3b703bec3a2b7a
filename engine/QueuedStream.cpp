#include "engine/QueuedStream.h"

#include <system_error>

namespace tolvane {

namespace {

std::atomic_ref<uint32_t> flagsOf(WAVEHDR* header) {
    return std::atomic_ref<uint32_t>(header->dwFlags);
}

} // namespace

MMRESULT QueuedStream::startWriter() {
    try {
        writer_ = std::thread([this] { runWriter(); });
    } catch (const std::system_error& e) {
        setError(std::string("cannot start the writer thread: ") + e.what());
        return MMSYSERR_NOMEM;
    }
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return opened_; });
    if (openResult_ != MMSYSERR_NOERROR) {
        lock.unlock();
        writer_.join();
    }
    return openResult_;
}

void QueuedStream::endWriter() {
    if (!writer_.joinable()) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        quit_ = true;
        ++resetsWanted_;
        ++requestSeq_;
    }
    wake();
    writer_.join();
}

void QueuedStream::runWriter() {
    writerId_.store(std::this_thread::get_id());
    const MMRESULT result = openOutput();
    if (result == MMSYSERR_NOERROR) {
        notify(WOM_OPEN, 0);
    }
    {
        std::lock_guard guard(lock_);
        openResult_ = result;
        opened_ = true;
    }
    changed_.notify_all();
    if (result != MMSYSERR_NOERROR) {
        writerId_.store(std::thread::id());
        return;
    }
    serve();
    closeOutput();
    notify(WOM_CLOSE, 0);
    writerId_.store(std::thread::id());
    {
        std::lock_guard guard(lock_);
        exited_ = true;
    }
    changed_.notify_all();
}

void QueuedStream::complete(std::deque<Entry>& entries) {
    for (const Entry& e : entries) {
        flagsOf(e.header).fetch_or(WHDR_DONE, std::memory_order_release);
        notify(WOM_DONE, reinterpret_cast<uintptr_t>(e.header));
        {
            std::lock_guard guard(lock_);
            flagsOf(e.header).fetch_and(~WHDR_INQUEUE, std::memory_order_release);
        }
        changed_.notify_all();
    }
    entries.clear();
}

void QueuedStream::failDevice(const std::string& text) {
    setError(text);
    std::deque<Entry> dropped;
    {
        std::lock_guard guard(lock_);
        failed_ = true;
        dropped.swap(queue_);
    }
    complete(dropped);
}

void QueuedStream::notify(uint32_t message, uintptr_t param) {
    if (callback_ != nullptr) {
        callback_(this, message, instance_, param, 0);
    }
}

void QueuedStream::setError(const std::string& text) {
    std::lock_guard guard(lock_);
    lastError_ = text;
}

template <typename Change> MMRESULT QueuedStream::request(Change change) {
    if (onWriter()) {
        return MMSYSERR_ERROR;
    }
    uint64_t seq = 0;
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        change();
        seq = ++requestSeq_;
    }
    wake();
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return appliedSeq_ >= seq || exited_; });
    return MMSYSERR_NOERROR;
}

MMRESULT QueuedStream::prepare(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    flagsOf(header).fetch_or(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT QueuedStream::unprepare(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    std::unique_lock lock(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    const auto flags = flagsOf(header);
    if ((flags.load() & WHDR_INQUEUE) != 0) {
        if ((flags.load() & WHDR_DONE) == 0 || onWriter()) {
            return WAVERR_STILLPLAYING;
        }
        // Done, but its callback may still be reading the header.
        changed_.wait(lock, [&] { return (flags.load() & WHDR_INQUEUE) == 0; });
    }
    flags.fetch_and(~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT QueuedStream::write(WAVEHDR* header) {
    if (header == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        if (failed_) {
            return MMSYSERR_NODRIVER;
        }
        const auto flags = flagsOf(header);
        const uint32_t current = flags.load();
        if ((current & WHDR_PREPARED) == 0) {
            return WAVERR_UNPREPARED;
        }
        if ((current & WHDR_INQUEUE) != 0) {
            return WAVERR_STILLPLAYING;
        }
        flags.store((current & ~WHDR_DONE) | WHDR_INQUEUE, std::memory_order_release);
        queueing();
        const uint64_t frames = header->dwBufferLength / blockAlign_;
        queue_.push_back({header, queuedEnd_, queuedEnd_ + frames});
        queuedEnd_ += frames;
        ++requestSeq_;
    }
    wake();
    return MMSYSERR_NOERROR;
}

MMRESULT QueuedStream::pause() {
    return request([this] { wantPaused_ = true; });
}

MMRESULT QueuedStream::restart() {
    return request([this] { wantPaused_ = false; });
}

MMRESULT QueuedStream::reset() {
    return request([this] { ++resetsWanted_; });
}

MMRESULT QueuedStream::close() {
    if (onWriter()) {
        return MMSYSERR_ERROR;
    }
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!queue_.empty()) {
            return WAVERR_STILLPLAYING;
        }
        closed_ = true;
        quit_ = true;
        ++requestSeq_;
    }
    wake();
    writer_.join();
    return MMSYSERR_NOERROR;
}

MMRESULT QueuedStream::setVolume(uint32_t volume) {
    {
        std::lock_guard guard(lock_);
        if (closed_) {
            return MMSYSERR_INVALHANDLE;
        }
    }
    volume_.store(volume, std::memory_order_relaxed);
    rememberVolume(volume);
    return MMSYSERR_NOERROR;
}

MMRESULT QueuedStream::getVolume(uint32_t& volume) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return MMSYSERR_INVALHANDLE;
    }
    volume = volume_.load(std::memory_order_relaxed);
    return MMSYSERR_NOERROR;
}

std::string QueuedStream::lastError() const {
    std::lock_guard guard(lock_);
    return lastError_;
}

} // namespace tolvane
