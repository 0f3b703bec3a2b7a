#include "protocol/AudioDownload.h"

#include "protocol/CurlOptions.h"

#include <algorithm>
#include <cstdint>

namespace tolvane {

namespace {

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// libcurl's progress function, called while a transfer waits as well.
int askCancel(void* download, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const AudioDownload*>(download)->cancelRequested() ? 1 : 0;
}

// The status of the answer being received; 0 when libcurl has none.
long responseStatus(CURL* curl) {
    long status = 0;
    return curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK ? status : 0;
}

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

} // namespace

struct AudioDownload::Writer {
    AudioDownload& download;
    CURL* curl;
    const Sink& sink;
    const Progress& progress;
    int64_t length;
    bool statusChecked = false;
    std::string failure; // why the transfer was aborted here: the sink's text or ours
};

AudioDownload::AudioDownload(std::string url, Settings settings)
    : url_(std::move(url)), settings_(std::move(settings)) {}

int32_t AudioDownload::percentOf(uint64_t received, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    const uint64_t percent = received * 100 / uint64_t(length);
    return int32_t(percent > 100 ? 100 : percent);
}

std::string AudioDownload::tooLargeText(uint64_t maxBytes) {
    const uint64_t mb = ConfigStore::kBytesPerMb;
    const std::string limit = maxBytes % mb == 0 ? std::to_string(maxBytes / mb) + " MB"
                                                 : std::to_string(maxBytes) + " bytes";
    return "The audio is larger than the download limit of " + limit;
}

std::string AudioDownload::statusText(long status) {
    return "The server answered HTTP status " + std::to_string(status) + " instead of the audio";
}

size_t AudioDownload::write(char* data, size_t size, size_t count, void* user) {
    Writer& writer = *static_cast<Writer*>(user);
    const size_t bytes = size * count;
    if (writer.download.cancelRequested()) {
        return 0; // aborts the transfer at this chunk
    }
    // The body of an answer that is not the audio (a redirect libcurl did not
    // follow, say) never reaches the sink.
    if (!writer.statusChecked) {
        const long status = responseStatus(writer.curl);
        if (!isSuccess(status)) {
            writer.failure = statusText(status);
            return 0;
        }
        writer.statusChecked = true;
    }
    // received_ never passes maxBytes, so the difference cannot wrap.
    const uint64_t maxBytes = writer.download.settings_.maxBytes;
    if (bytes > maxBytes - writer.download.received_) {
        writer.failure = tooLargeText(maxBytes);
        return 0;
    }
    if (!writer.sink(data, bytes, writer.failure)) {
        return 0;
    }
    writer.download.received_ += bytes;
    if (writer.progress && !writer.download.cancelRequested()) {
        writer.progress(percentOf(writer.download.received_, writer.length));
    }
    return bytes;
}

// What both requests share: http and https only, also for redirects, which
// are followed a few times; no signals, the two time-outs, and the cancel
// question asked while the transfer runs.
void AudioDownload::setTransferLimits(CurlOptions& options) {
    options.webOnly()
        .set(CURLOPT_FOLLOWLOCATION, 1L)
        .set(CURLOPT_MAXREDIRS, kMaxRedirects)
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_CONNECTTIMEOUT, long(settings_.connectTimeOut))
        .set(CURLOPT_TIMEOUT, long(settings_.timeOut))
        .set(CURLOPT_NOPROGRESS, 0L)
        .set(CURLOPT_XFERINFOFUNCTION, &askCancel)
        .set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
}

// Runs one request on a multi handle of its own, woken by the settings' waker.
CURLcode AudioDownload::perform(CURL* curl) {
    const CurlMultiHandle multi(curl_multi_init());
    if (!multi) {
        return CURLE_FAILED_INIT;
    }
    return TransferWaker::perform(curl, multi.get(), settings_.waker);
}

int64_t AudioDownload::fetchLength() {
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        return -1;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    CurlOptions options(curl.get());
    options.set(CURLOPT_HEADER, 1L)
        .set(CURLOPT_NOBODY, 1L)
        .set(CURLOPT_URL, url_.c_str())
        .set(CURLOPT_ERRORBUFFER, errorText)
        .set(CURLOPT_VERBOSE, 0L)
        .set(CURLOPT_WRITEFUNCTION, &discard);
    setTransferLimits(options);
    if (options.code() != CURLE_OK || perform(curl.get()) != CURLE_OK) {
        return -1;
    }
    curl_off_t length = -1;
    if (!isSuccess(responseStatus(curl.get())) ||
        curl_easy_getinfo(curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length <= 0) {
        return -1;
    }
    return int64_t(length);
}

AudioDownload::Result AudioDownload::fetch(int64_t length, const Sink& sink,
                                           const Progress& progress) {
    Result result;
    received_ = 0;
    if (length > 0 && uint64_t(length) > settings_.maxBytes) {
        result.error = tooLargeText(settings_.maxBytes);
        return result;
    }
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        result.error = "Initial Error";
        return result;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    Writer writer{*this, curl.get(), sink, progress, length};
    CurlOptions options(curl.get());
    options.set(CURLOPT_URL, url_.c_str())
        .set(CURLOPT_ERRORBUFFER, errorText)
        .set(CURLOPT_WRITEFUNCTION, &AudioDownload::write)
        .set(CURLOPT_WRITEDATA, static_cast<void*>(&writer))
        .set(CURLOPT_USERAGENT, kUserAgent)
        .set(CURLOPT_FAILONERROR, 1L)
        .set(CURLOPT_MAXFILESIZE_LARGE,
             curl_off_t(std::min<uint64_t>(settings_.maxBytes, INT64_MAX)));
    setTransferLimits(options);
    if (options.code() != CURLE_OK) {
        result.error = curl_easy_strerror(options.code());
        return result;
    }
    const CURLcode code = perform(curl.get());
    if (cancelRequested()) {
        result.cancelled = true;
        return result;
    }
    if (code != CURLE_OK) {
        if (!writer.failure.empty()) {
            result.error = writer.failure;
        } else if (code == CURLE_FILESIZE_EXCEEDED) {
            result.error = tooLargeText(settings_.maxBytes);
        } else {
            result.error = curlErrorText(code, errorText);
        }
        return result;
    }
    // An answer without a body never met the status check of write().
    if (const long status = responseStatus(curl.get()); !isSuccess(status)) {
        result.error = statusText(status);
        return result;
    }
    if (length <= 0 && progress) {
        progress(100);
    }
    result.completed = true;
    return result;
}

} // namespace tolvane
