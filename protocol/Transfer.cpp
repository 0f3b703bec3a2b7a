#include "protocol/Transfer.h"

#include "protocol/ReplyBuffer.h"

namespace tolvane {

namespace {

// Sets the options one by one in the protocol's order; the first refusal is
// kept with libcurl's text.
class OptionSetter {
  public:
    explicit OptionSetter(CURL* curl) : curl_(curl) {}

    template <typename Value> OptionSetter& set(CURLoption option, Value value) {
        if (code_ == CURLE_OK) {
            code_ = curl_easy_setopt(curl_, option, value);
        }
        return *this;
    }
    CURLcode code() const { return code_; }

  private:
    CURL* curl_;
    CURLcode code_ = CURLE_OK;
};

} // namespace

Transfer::Transfer() : curl_(curl_easy_init()) {}

Transfer::~Transfer() {
    if (curl_ != nullptr) {
        curl_easy_cleanup(curl_);
    }
}

TransferResult Transfer::post(const std::string& url, const std::string& body, int connectTimeOut,
                              int timeOut, bool readStatus) {
    TransferResult result;
    if (curl_ == nullptr) {
        result.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }
    ReplyBuffer reply;
    char errorText[CURL_ERROR_SIZE] = {};
    OptionSetter options(curl_);
    options.set(CURLOPT_HEADER, 0L)
        .set(CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr))
        .set(CURLOPT_POSTFIELDS, body.c_str())
        .set(CURLOPT_TIMEOUT, static_cast<long>(timeOut))
        .set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeOut))
        .set(CURLOPT_NOSIGNAL, 1L)
        .set(CURLOPT_URL, url.c_str())
        .set(CURLOPT_WRITEFUNCTION, &ReplyBuffer::append)
        .set(CURLOPT_WRITEDATA, static_cast<void*>(&reply))
        .set(CURLOPT_ERRORBUFFER, errorText);
    if (options.code() != CURLE_OK) {
        result.error = curl_easy_strerror(options.code());
        // The handle must not keep pointers into this frame.
        curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
        return result;
    }
    const CURLcode code = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    if (code != CURLE_OK) {
        if (reply.overflowed) {
            result.error = "Reply larger than " + std::to_string(ReplyBuffer::kMaxBytes) + " bytes";
        } else {
            result.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        }
        return result;
    }
    result.completed = true;
    result.reply = reply.text();
    if (readStatus) {
        const CURLcode info = curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.httpStatus);
        if (info != CURLE_OK) {
            result.httpStatus = 0;
        }
    }
    return result;
}

} // namespace tolvane
