#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::server {

// One field a request body may carry.
struct FormField {
    std::string_view name;
    bool required = false;
    std::size_t maxBytes = 255; // after decoding
};

// A request body decoded as application/x-www-form-urlencoded and checked
// against the fields its request may carry: every field known, none repeated,
// in the order the request lists them, the required ones present.
class FormBody {
  public:
    // nullopt with a one-line `error` naming the first fault found.
    static std::optional<FormBody> parse(std::string_view body, std::span<const FormField> fields,
                                         std::string& error);

    // The decoded value, or nullptr when the field was not sent.
    const std::string* find(std::string_view name) const;

    // The value, or `fallback` when the field was not sent.
    std::string text(std::string_view name, std::string_view fallback = {}) const;

    // The field as a decimal integer in [min, max]; `fallback` when it was not
    // sent; nullopt with `error` when it is not such a number.
    std::optional<long long> integer(std::string_view name, long long min, long long max,
                                     long long fallback, std::string& error) const;

    // Percent-decodes one component ('+' is a blank); nullopt when a '%' is not
    // followed by two hexadecimal digits.
    static std::optional<std::string> decode(std::string_view component);

  private:
    std::vector<std::pair<std::string_view, std::string>> values_;
};

} // namespace tolvane::server
