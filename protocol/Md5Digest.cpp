#include "protocol/Md5Digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace tolvane {

namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string openSslError(const char* step) {
    char text[256] = {};
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return std::string(step) + " failed";
    }
    ERR_error_string_n(code, text, sizeof text);
    return std::string(step) + ": " + text;
}

} // namespace

bool Md5Digest::hex(std::string_view bytes, std::string& digest, std::string& error) {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context) {
        error = openSslError("EVP_MD_CTX_new");
        return false;
    }
    if (EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        error = openSslError("EVP_DigestInit_ex");
        return false;
    }
    if (EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1) {
        error = openSslError("EVP_DigestUpdate");
        return false;
    }
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), sum, &length) != 1) {
        error = openSslError("EVP_DigestFinal_ex");
        return false;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    digest.clear();
    for (unsigned int i = 0; i < length; ++i) {
        digest += kHex[sum[i] >> 4];
        digest += kHex[sum[i] & 0x0F];
    }
    return true;
}

} // namespace tolvane
