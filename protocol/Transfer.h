#pragma once

#include "protocol/CurlOptions.h"
#include "protocol/TransferWaker.h"

#include <functional>
#include <string>

namespace tolvane {

// The outcome of one protocol request.
struct TransferResult {
    bool completed = false; // libcurl ended the transfer with CURLE_OK
    std::string reply;      // completed: the reply up to its first NUL, possibly empty
    std::string error;      // failed: libcurl's error text (UTF-8)
    // Failed because the exchange was not HTTP: the URL names another
    // protocol (refused before any connection is made) or the peer answered
    // without an HTTP status line. The controllers take it as a bad reply.
    bool notHttp = false;
    long httpStatus = 0; // completed, and only when asked for
};

// One protocol request over libcurl: a form-style POST of a
// body to a service URL, the whole reply collected in memory. The handles are
// made first so that a worker can report a handle that could not be made before
// it builds its body. Not tied to a thread, but used by one at a time; only its
// waker is woken from others.
class Transfer {
  public:
    Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // False when libcurl gave no handle; no request can be made then.
    bool valid() const { return curl_ != nullptr && multi_ != nullptr; }

    // Posts `body` to `url` with the protocol's options: reply headers not in the
    // reply, no header lines of our own (so no User-Agent and libcurl's default
    // form content type), the two time-outs in seconds, no signals, http and
    // https only (a service address comes from the server's reply). Reads the
    // HTTP status code after a completed transfer when `readStatus` is set.
    TransferResult post(const std::string& url, const std::string& body, int connectTimeOut,
                        int timeOut, bool readStatus = false);

    // Lets a request in progress end early: libcurl asks `cancelled` between
    // chunks and while it waits (at least about once a second, and at once
    // when `waker` is woken), and a true answer aborts the transfer as failed.
    // Empty: requests run to their end. The waker must outlive the requests.
    void setCancel(std::function<bool()> cancelled, TransferWaker* waker = nullptr) {
        cancelled_ = std::move(cancelled);
        waker_ = waker;
    }

  private:
    static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    CurlHandle curl_;
    // Runs the easy handle; it keeps the connection for the next request.
    CurlMultiHandle multi_;
    std::function<bool()> cancelled_;
    TransferWaker* waker_ = nullptr;
};

} // namespace tolvane
