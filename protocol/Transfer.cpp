#include "protocol/Transfer.h"

#include "protocol/CurlOptions.h"
#include "protocol/ReplyBuffer.h"

namespace tolvane {

Transfer::Transfer() : curl_(curl_easy_init()), multi_(curl_multi_init()) {}

int Transfer::progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(self)->cancelled_() ? 1 : 0;
}

TransferResult Transfer::post(const std::string& url, const std::string& body, int connectTimeOut,
                              int timeOut, bool readStatus) {
    TransferResult result;
    if (!valid()) {
        result.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }
    ReplyBuffer reply;
    char errorText[CURL_ERROR_SIZE] = {};
    CurlOptions options(curl_.get());
    options.set(CURLOPT_HEADER, 0L)
        .set(CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr))
        .set(CURLOPT_POSTFIELDS, body.c_str())
        .set(CURLOPT_TIMEOUT, static_cast<long>(timeOut))
        .set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeOut))
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_URL, url.c_str())
        .set(CURLOPT_WRITEFUNCTION, &ReplyBuffer::append)
        .set(CURLOPT_WRITEDATA, static_cast<void*>(&reply))
        .set(CURLOPT_ERRORBUFFER, errorText)
        .webOnly();
    if (cancelled_) {
        options.set(CURLOPT_NOPROGRESS, 0L)
            .set(CURLOPT_XFERINFOFUNCTION, &Transfer::progress)
            .set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
    }
    if (options.code() != CURLE_OK) {
        result.error = curl_easy_strerror(options.code());
        // The handle must not keep pointers into this frame.
        curl_easy_setopt(curl_.get(), CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
        return result;
    }
    const CURLcode code =
        TransferWaker::perform(curl_.get(), multi_.get(), cancelled_ ? waker_ : nullptr);
    curl_easy_setopt(curl_.get(), CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    if (code != CURLE_OK) {
        if (reply.overflowed) {
            result.error = "Reply larger than " + std::to_string(ReplyBuffer::kMaxBytes) + " bytes";
        } else {
            result.error = curlErrorText(code, errorText);
        }
        result.notHttp = code == CURLE_UNSUPPORTED_PROTOCOL;
        return result;
    }
    result.completed = true;
    result.reply = reply.text();
    if (readStatus) {
        const CURLcode info =
            curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &result.httpStatus);
        if (info != CURLE_OK) {
            result.httpStatus = 0;
        }
    }
    return result;
}

} // namespace tolvane
