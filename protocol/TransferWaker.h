#pragma once

#include <curl/curl.h>

#include <mutex>

namespace tolvane {

// Runs a transfer so that a cancel from another thread ends it at once.
//
// perform() drives one easy handle on a multi handle of the caller's as
// curl_easy_perform does: it waits for the handle's sockets at most a second
// at a time and lets libcurl ask the progress function after each wait, so a
// transfer waiting for a slow reply asks its cancel question only about once a
// second. wake() ends the wait in progress at once, so the question is asked
// now and a true answer ends the transfer as libcurl ends any transfer its
// progress function aborts.
//
// Threads: perform() runs on the transfer's thread and attaches its multi
// handle to the waker while it runs; wake() may come from any thread. mutex_
// guards the attached handle, so a wake never reaches a handle that is being
// released. A waker serves one transfer at a time.
class TransferWaker {
  public:
    TransferWaker() = default;
    TransferWaker(const TransferWaker&) = delete;
    TransferWaker& operator=(const TransferWaker&) = delete;

    // Wakes the transfer in progress, if any. Make the cancel question's
    // answer true first: a transfer that starts after the wake finds it when
    // libcurl first asks, before it waits for the reply.
    void wake();

    // Runs `easy` on `multi` to its end and returns libcurl's result for it;
    // `waker`, when given, can end each of its waits. `easy` is back out of
    // `multi` on return.
    static CURLcode perform(CURL* easy, CURLM* multi, TransferWaker* waker);

  private:
    class Attached;

    std::mutex mutex_;
    CURLM* multi_ = nullptr;
};

} // namespace tolvane
