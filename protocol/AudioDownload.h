#pragma once

#include "config/ConfigStore.h"
#include "protocol/TransferWaker.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tolvane {

class CurlOptions;

// Fetches the finished MP3 named by a query reply: a header-only request for
// its length, then a plain GET whose chunks go to a sink, with a download
// percent after each chunk. Only http and https URLs are used, and redirects
// are followed (at most kMaxRedirects) only to http and https, so a reply
// cannot make the client read local files or speak other protocols. Only the
// body of a 2xx answer reaches the sink, and never more than the download
// limit, so a faulty or hostile server can neither fill the private directory
// or memory nor hand the engine a redirect's page.
//
// Runs on the thread that calls it; `cancelled` is asked between chunks and
// while a transfer waits (at least about once a second, and at once when the
// settings' waker is woken), and a true answer ends the transfer as cancelled.
class AudioDownload {
  public:
    struct Settings {
        int connectTimeOut = 0; // seconds
        int timeOut = 0;        // seconds for each whole transfer; 0 without limit
        std::function<bool()> cancelled;
        // The most bytes the sink is given; a larger announced length is
        // refused before any byte comes.
        uint64_t maxBytes = ConfigStore::kDefaultDownloadMaxBytes;
        // Woken by the thread that cancels, so that a waiting transfer asks
        // `cancelled` at once; none: it asks about once a second.
        TransferWaker* waker = nullptr;
    };
    // Takes one chunk; false (with `error` set) aborts the transfer.
    using Sink = std::function<bool(const char* data, size_t size, std::string& error)>;
    using Progress = std::function<void(int32_t percent)>;

    struct Result {
        bool completed = false; // every byte arrived and was taken
        bool cancelled = false; // ended by `cancelled`
        std::string error;      // otherwise why it failed: libcurl's text, the sink's or ours
    };

    static constexpr const char* kUserAgent = "libcurl-agent/1.0";
    static constexpr long kMaxRedirects = 5;

    AudioDownload(std::string url, Settings settings);

    // The length the server announces for the audio, or -1 when it announces
    // none, refuses the header-only request or does not answer it.
    int64_t fetchLength();

    // GETs the audio into `sink`. After each chunk `progress` gets the
    // percent of `length` received; with an unknown length (-1 or 0) it gets 0,
    // and 100 once the whole audio has arrived. An HTTP error status fails the
    // transfer with libcurl's text, any other answer but 2xx with
    // statusText(). A `length` or an announced length above the limit fails it
    // with tooLargeText() before the body comes, as does a body that passes it.
    Result fetch(int64_t length, const Sink& sink, const Progress& progress);

    uint64_t received() const { return received_; }
    bool cancelRequested() const { return settings_.cancelled && settings_.cancelled(); }

    // `received` × 100 / `length` in 64-bit arithmetic, at most 100; 0 for an
    // unknown length.
    static int32_t percentOf(uint64_t received, int64_t length);

    // "The audio is larger than the download limit of N MB" (N bytes when the
    // limit is no whole number of megabytes).
    static std::string tooLargeText(uint64_t maxBytes);
    // "The server answered HTTP status N instead of the audio".
    static std::string statusText(long status);

  private:
    struct Writer;
    void setTransferLimits(CurlOptions& options);
    CURLcode perform(CURL* curl);
    static size_t write(char* data, size_t size, size_t count, void* writer);

    std::string url_;
    Settings settings_;
    uint64_t received_ = 0;
};

} // namespace tolvane
