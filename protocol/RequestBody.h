#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// A request body: "key=value" fields joined by "&", keys in the order they are
// added, every value encoded as application/x-www-form-urlencoded does. A value
// holding "&", "=", "+" or "%" therefore arrives at the server as it is and can
// neither cut a field short nor add one; digits, hexadecimal digests and plain
// ASCII words pass unchanged.
class RequestBody {
  public:
    RequestBody& text(std::string_view key, std::string_view value);
    RequestBody& number(std::string_view key, long long value);
    // The closing "fresh=N" field with the value for the current second.
    RequestBody& fresh();

    const std::string& str() const { return body_; }

    // Letters, digits and "*-._" stay; a blank becomes "+"; every other byte
    // becomes "%XX" with upper-case hexadecimal digits.
    static std::string encode(std::string_view value);

    // The `fresh` value of a request made at `seconds` since the epoch: the
    // second draw of the desktop runtime's rand() seeded with those seconds,
    // scaled as r * 10000 / 32767, so it lies in 0 ... 10000 and two requests in
    // the same second carry the same value.
    static int freshFor(int64_t seconds);
    static int freshNow();

  private:
    void add(std::string_view key, std::string_view encoded);

    std::string body_;
};

} // namespace tolvane
