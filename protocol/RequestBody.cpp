#include "protocol/RequestBody.h"

#include <ctime>

namespace tolvane {

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '-' || c == '.' || c == '_';
}

// The desktop runtime's generator: srand(seed), then each rand() is bits 16-30
// of the next state of a linear congruential generator.
class DesktopRand {
  public:
    explicit DesktopRand(uint32_t seed) : state_(seed) {}
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

  private:
    uint32_t state_;
};

} // namespace

RequestBody& RequestBody::text(std::string_view key, std::string_view value) {
    add(key, encode(value));
    return *this;
}

RequestBody& RequestBody::number(std::string_view key, long long value) {
    add(key, std::to_string(value));
    return *this;
}

RequestBody& RequestBody::fresh() {
    return number("fresh", freshNow());
}

void RequestBody::add(std::string_view key, std::string_view encoded) {
    if (!body_.empty()) {
        body_ += '&';
    }
    body_.append(key).append("=").append(encoded);
}

std::string RequestBody::encode(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            out += c;
        } else if (byte == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

int RequestBody::freshFor(int64_t seconds) {
    DesktopRand rand(static_cast<uint32_t>(seconds));
    rand.next();
    return rand.next() * 10000 / 32767;
}

int RequestBody::freshNow() {
    return freshFor(static_cast<int64_t>(std::time(nullptr)));
}

} // namespace tolvane
