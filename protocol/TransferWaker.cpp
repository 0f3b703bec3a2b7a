#include "protocol/TransferWaker.h"

namespace tolvane {

namespace {

// The longest wait for a transfer's sockets, as curl_easy_perform waits.
constexpr int kLongestWaitMs = 1000;

// What curl_easy_perform answers for a multi handle that failed.
CURLcode easyCode(CURLMcode code) {
    return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
}

} // namespace

// The multi handle attached to a waker for the scope of one transfer.
class TransferWaker::Attached {
  public:
    Attached(TransferWaker* waker, CURLM* multi) : waker_(waker) {
        if (waker_ != nullptr) {
            std::lock_guard lock(waker_->mutex_);
            waker_->multi_ = multi;
        }
    }
    ~Attached() {
        if (waker_ != nullptr) {
            std::lock_guard lock(waker_->mutex_);
            waker_->multi_ = nullptr;
        }
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

  private:
    TransferWaker* waker_;
};

void TransferWaker::wake() {
    std::lock_guard lock(mutex_);
    if (multi_ != nullptr) {
        // Should the wake fail, the transfer still asks within a second.
        curl_multi_wakeup(multi_);
    }
}

CURLcode TransferWaker::perform(CURL* easy, CURLM* multi, TransferWaker* waker) {
    if (const CURLMcode added = curl_multi_add_handle(multi, easy); added != CURLM_OK) {
        return added == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_OK;
    CURLMcode code = CURLM_OK;
    {
        const Attached attached(waker, multi);
        for (bool done = false; !done && code == CURLM_OK;) {
            code = curl_multi_poll(multi, nullptr, 0, kLongestWaitMs, nullptr);
            int running = 0;
            if (code == CURLM_OK) {
                code = curl_multi_perform(multi, &running);
            }
            if (code == CURLM_OK && running == 0) {
                int queued = 0;
                if (const CURLMsg* message = curl_multi_info_read(multi, &queued);
                    message != nullptr && message->msg == CURLMSG_DONE) {
                    result = message->data.result;
                    done = true;
                }
            }
        }
    }
    curl_multi_remove_handle(multi, easy);
    return code == CURLM_OK ? result : easyCode(code);
}

} // namespace tolvane
