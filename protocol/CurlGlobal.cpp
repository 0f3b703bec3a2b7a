#include "protocol/CurlGlobal.h"

#include <curl/curl.h>

namespace tolvane {

CurlGlobal::CurlGlobal() {
    const CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    ok_ = code == CURLE_OK;
    if (!ok_) {
        error_ = curl_easy_strerror(code);
    }
}

CurlGlobal::~CurlGlobal() {
    if (ok_) {
        curl_global_cleanup();
    }
}

} // namespace tolvane
