#include "protocol/AudioDownload.h"

#include "protocol/CurlOptions.h"

namespace tolvane {

namespace {

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// libcurl's progress function, called while a transfer waits as well.
int askCancel(void* download, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const AudioDownload*>(download)->cancelRequested() ? 1 : 0;
}

} // namespace

struct AudioDownload::Writer {
    AudioDownload& download;
    const Sink& sink;
    const Progress& progress;
    int64_t length;
    std::string sinkError;
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

size_t AudioDownload::write(char* data, size_t size, size_t count, void* user) {
    Writer& writer = *static_cast<Writer*>(user);
    const size_t bytes = size * count;
    if (writer.download.cancelRequested()) {
        return 0; // aborts the transfer at this chunk
    }
    if (!writer.sink(data, bytes, writer.sinkError)) {
        return 0;
    }
    writer.download.received_ += bytes;
    if (writer.progress && !writer.download.cancelRequested()) {
        writer.progress(percentOf(writer.download.received_, writer.length));
    }
    return bytes;
}

// What both requests share: http and https only, no signals, the two
// time-outs, and the cancel question asked while the transfer runs.
void AudioDownload::setTransferLimits(CurlOptions& options) {
    options.set(CURLOPT_PROTOCOLS_STR, "http,https")
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_CONNECTTIMEOUT, long(settings_.connectTimeOut))
        .set(CURLOPT_TIMEOUT, long(settings_.timeOut))
        .set(CURLOPT_NOPROGRESS, 0L)
        .set(CURLOPT_XFERINFOFUNCTION, &askCancel)
        .set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
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
    if (options.code() != CURLE_OK || curl_easy_perform(curl.get()) != CURLE_OK) {
        return -1;
    }
    long status = 0;
    curl_off_t length = -1;
    if (curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status < 200 || status > 299 ||
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
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        result.error = "Initial Error";
        return result;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    Writer writer{*this, sink, progress, length, {}};
    CurlOptions options(curl.get());
    options.set(CURLOPT_URL, url_.c_str())
        .set(CURLOPT_ERRORBUFFER, errorText)
        .set(CURLOPT_WRITEFUNCTION, &AudioDownload::write)
        .set(CURLOPT_WRITEDATA, static_cast<void*>(&writer))
        .set(CURLOPT_USERAGENT, kUserAgent)
        .set(CURLOPT_PROTOCOLS_STR, "http,https")
        .set(CURLOPT_FAILONERROR, 1L);
    setTransferLimits(options);
    if (options.code() != CURLE_OK) {
        result.error = curl_easy_strerror(options.code());
        return result;
    }
    const CURLcode code = curl_easy_perform(curl.get());
    if (cancelRequested()) {
        result.cancelled = true;
        return result;
    }
    if (code != CURLE_OK) {
        result.error = writer.sinkError.empty() ? curlErrorText(code, errorText) : writer.sinkError;
        return result;
    }
    if (length <= 0 && progress) {
        progress(100);
    }
    result.completed = true;
    return result;
}

} // namespace tolvane
