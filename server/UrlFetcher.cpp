#include "server/UrlFetcher.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace tolvane::server {

namespace {

struct CurlFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct Sink {
    std::string* body;
    std::size_t maxBytes;
    bool tooLarge = false;
};

std::size_t append(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->maxBytes) {
        sink->tooLarge = true;
        return 0;
    }
    sink->body->append(data, bytes);
    return bytes;
}

int checkCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

// curl_global_init is not thread-safe; the first fetch does it once.
bool globalInit(std::string& error) {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) {
        error = std::string("libcurl: ") + curl_easy_strerror(result);
        return false;
    }
    return true;
}

} // namespace

bool fetchUrl(const std::string& url, int timeoutSeconds, std::size_t maxBytes,
              const std::atomic<bool>& cancel, std::string& body, std::string& error) {
    body.clear();
    if (!globalInit(error)) {
        return false;
    }
    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) {
        error = "libcurl: cannot create a transfer";
        return false;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Sink sink{&body, maxBytes};
    CURL* handle = curl.get();
    const bool optionsSet =
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds)) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeoutSeconds)) ==
            CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "tolvane-server") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes)) ==
            CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &checkCancel) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &cancel) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    if (!optionsSet) {
        error = "libcurl: cannot set up the transfer";
        return false;
    }
    const CURLcode result = curl_easy_perform(handle);
    if (sink.tooLarge) {
        error = "larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    if (result != CURLE_OK) {
        error = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result);
        return false;
    }
    return true;
}

} // namespace tolvane::server
