#include "server/ByteRange.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace tolvane::server {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A run of digits and nothing else; nullopt for anything else or an overflow.
std::optional<std::uint64_t> digits(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

ByteRange fitRange(std::string_view header, std::uint64_t size) {
    using Kind = ByteRange::Kind;
    header = trimmed(header);
    constexpr std::string_view kUnit = "bytes=";
    if (header.size() < kUnit.size() || header.find(',') != std::string_view::npos) {
        return {};
    }
    for (std::size_t i = 0; i < kUnit.size(); ++i) {
        if ((header[i] | 0x20) != kUnit[i]) { // letters in any case; "=" is unchanged by the bit
            return {};
        }
    }
    const std::string_view spec = trimmed(header.substr(kUnit.size()));
    const auto dash = spec.find('-');
    if (dash == std::string_view::npos) {
        return {};
    }
    const std::string_view from = spec.substr(0, dash);
    const std::string_view to = spec.substr(dash + 1);
    if (from.empty()) {
        const std::optional<std::uint64_t> suffix = digits(to);
        if (!suffix) {
            return {};
        }
        if (*suffix == 0 || size == 0) {
            return {Kind::Unsatisfiable};
        }
        return {Kind::Part, size - std::min(*suffix, size), size - 1};
    }
    const std::optional<std::uint64_t> first = digits(from);
    const std::optional<std::uint64_t> last =
        to.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : digits(to);
    if (!first || !last || *last < *first) {
        return {};
    }
    if (*first >= size) {
        return {Kind::Unsatisfiable};
    }
    return {Kind::Part, *first, std::min(*last, size - 1)};
}

} // namespace tolvane::server
