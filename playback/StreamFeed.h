#pragma once

#include "engine/Mp3Engine.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace tolvane {

// Hands a download in progress to a managed engine stream. Until the stream
// is open the chunks collect here; the stream is opened on what has arrived,
// and from then on every chunk is pushed to the engine as it comes.
//
// Threads: the download thread calls accept() and end(); the playback worker
// calls waitFor() and open(). mutex_ guards every field; pushes happen under
// it, so the engine is pushed to by one thread at a time. The engine must
// outlive the download thread.
class StreamFeed {
  public:
    // Takes a chunk: collects it, or pushes it once the stream is open. False
    // with the engine's text when a push fails.
    bool accept(const char* data, size_t size, std::string& error);
    // The download has ended: marks the end of the data on an open stream.
    void end();

    // Waits until `bytes` have arrived, the download has ended or `give_up`
    // says so (asked every few milliseconds); the bytes collected so far.
    size_t waitFor(size_t bytes, const std::function<bool()>& giveUp);
    // Opens a managed stream on the first `bytes` collected (copy mode, buffer
    // of `bufferMs`), then pushes the rest and, after the end, the end mark.
    // False with the engine's error text when OpenStream fails.
    bool open(Mp3Engine* engine, size_t bytes, int32_t bufferMs, std::string& error);
    // A copy of the first `bytes` collected (fewer when fewer came); empty
    // once the stream is open.
    std::string head(size_t bytes) const;

    bool ended() const;
    // Every byte taken so far, collected or pushed.
    uint64_t received() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string head_;
    Mp3Engine* engine_ = nullptr;
    bool ended_ = false;
    uint64_t received_ = 0;
};

} // namespace tolvane
