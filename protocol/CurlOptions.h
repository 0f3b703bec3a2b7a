#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace tolvane {

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
// An easy handle released with the owner.
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct CurlMultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
// A multi handle released with the owner; its easy handles must be removed first.
using CurlMultiHandle = std::unique_ptr<CURLM, CurlMultiCleanup>;

// Sets options on an easy handle one by one, in the caller's order; the first
// refusal is kept with libcurl's code and the options after it are skipped.
class CurlOptions {
  public:
    explicit CurlOptions(CURL* curl) : curl_(curl) {}

    template <typename Value> CurlOptions& set(CURLoption option, Value value) {
        if (code_ == CURLE_OK) {
            code_ = curl_easy_setopt(curl_, option, value);
        }
        return *this;
    }
    // Lets the transfer speak only http and https, also after a redirect, so
    // an address a server names can neither make libcurl read a local file nor
    // talk another protocol to some host. A refused address fails the transfer
    // with CURLE_UNSUPPORTED_PROTOCOL before any connection is made.
    CurlOptions& webOnly() {
        return set(CURLOPT_PROTOCOLS_STR, kWebProtocols)
            .set(CURLOPT_REDIR_PROTOCOLS_STR, kWebProtocols);
    }
    CURLcode code() const { return code_; }

    static constexpr const char* kWebProtocols = "http,https";

  private:
    CURL* curl_;
    CURLcode code_ = CURLE_OK;
};

// The text of a failed transfer: what libcurl wrote to the handle's error
// buffer, or its generic text for `code` when it wrote nothing.
inline std::string curlErrorText(CURLcode code, const char* errorBuffer) {
    return errorBuffer[0] != '\0' ? std::string(errorBuffer)
                                  : std::string(curl_easy_strerror(code));
}

} // namespace tolvane
