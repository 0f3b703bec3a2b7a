#pragma once

#include "engine/AudioBackend.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// The bookkeeping every backend's stream shares: the queue of written buffers,
// reported done in order by the stream's one writer thread; pause, restart,
// reset and close as requests the writer carries out while the caller waits;
// the prepared, queued and done marks of each header; the volume and the error
// text. A backend supplies the writer's work (serve), how to wake it, and the
// position.
//
// Threads: callers post a request under `lock_`, wake the writer and wait on
// `changed_` until the writer has finished a round that saw it (`appliedSeq_`
// has reached the request's number). The writer alone runs the completion
// callback, never under `lock_`. Each header's dwFlags is shared through
// std::atomic_ref: the writer sets WHDR_DONE before the callback and clears
// WHDR_INQUEUE after it, and unprepare() waits for the latter.
namespace tolvane {

class QueuedStream : public AudioStream {
  public:
    QueuedStream(const QueuedStream&) = delete;
    QueuedStream& operator=(const QueuedStream&) = delete;

    MMRESULT prepare(WAVEHDR* header) final;
    MMRESULT unprepare(WAVEHDR* header) final;
    MMRESULT write(WAVEHDR* header) final;
    MMRESULT pause() final;
    MMRESULT restart() final;
    MMRESULT reset() final;
    MMRESULT close() final;
    MMRESULT setVolume(uint32_t volume) final;
    MMRESULT getVolume(uint32_t& volume) final;
    std::string lastError() const final;

  protected:
    struct Entry {
        WAVEHDR* header;
        uint64_t begin; // first frame, counted from open or the last reset
        uint64_t end;   // one past the last frame
    };

    QueuedStream(uint32_t blockAlign, WaveOutProc callback, uintptr_t instance, uint32_t volume)
        : blockAlign_(blockAlign), callback_(callback), instance_(instance), volume_(volume) {}

    // Starts the writer, which opens the output, sends WOM_OPEN and serves
    // until closed; returns the result of opening once it is known.
    MMRESULT startWriter();
    // Drops what is queued and ends the writer. Every backend's destructor
    // calls it first, while what the writer uses still exists.
    void endWriter();

    // The writer's work. openOutput and closeOutput run on the writer before
    // and after serve(), which returns once it has carried out a round that
    // saw `quit_`.
    virtual MMRESULT openOutput() { return MMSYSERR_NOERROR; }
    virtual void serve() = 0;
    virtual void closeOutput() {}
    // Wakes the writer after something was posted. Called without `lock_`.
    virtual void wake() = 0;
    // Under `lock_`, just before a written buffer joins the queue.
    virtual void queueing() {}
    // Keeps a volume set on the stream for the streams opened on its device later.
    virtual void rememberVolume(uint32_t volume) = 0;

    // Writer: reports the entries done, in order, and empties the list.
    void complete(std::deque<Entry>& entries);
    // Writer: the output cannot play any more; every queued buffer is reported
    // done so nobody waits for it, and further writes are refused.
    void failDevice(const std::string& text);
    void setError(const std::string& text);
    bool onWriter() const { return std::this_thread::get_id() == writerId_.load(); }
    uint32_t currentVolume() const { return volume_.load(std::memory_order_relaxed); }

    const uint32_t blockAlign_;
    mutable std::mutex lock_;
    std::condition_variable changed_; // callers wait on it

    // Under lock_.
    std::deque<Entry> queue_; // queued, not yet reported done
    uint64_t queuedEnd_ = 0;  // frames queued since open or reset
    uint64_t requestSeq_ = 0; // requests and writes posted
    uint64_t appliedSeq_ = 0; // what the writer had seen when it last finished a round
    uint64_t resetsWanted_ = 0;
    bool wantPaused_ = false;
    bool quit_ = false;
    bool closed_ = false; // closed or being destroyed: callers are refused
    bool failed_ = false; // the output failed; nothing more plays

  private:
    void runWriter();
    void notify(uint32_t message, uintptr_t param);
    template <typename Change> MMRESULT request(Change change);

    const WaveOutProc callback_;
    const uintptr_t instance_;
    std::atomic<uint32_t> volume_;
    std::thread writer_;
    std::atomic<std::thread::id> writerId_; // the writer's id while it runs

    // Under lock_.
    bool opened_ = false; // the open result is known
    bool exited_ = false;
    MMRESULT openResult_ = MMSYSERR_NOERROR;
    std::string lastError_;
};

} // namespace tolvane
