#include "server/FormBody.h"

#include <charconv>

namespace tolvane::server {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A field name fit for an error message: short and printable.
std::string shown(std::string_view name) {
    std::string out;
    for (char c : name.substr(0, 40)) {
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name.size() > 40 ? out + "..." : out;
}

} // namespace

std::optional<std::string> FormBody::decode(std::string_view component) {
    std::string out;
    out.reserve(component.size());
    for (std::size_t i = 0; i < component.size(); ++i) {
        const char c = component[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else {
            if (i + 2 >= component.size()) {
                return std::nullopt;
            }
            const int high = hexDigit(component[i + 1]);
            const int low = hexDigit(component[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

std::optional<FormBody> FormBody::parse(std::string_view body, std::span<const FormField> fields,
                                        std::string& error) {
    FormBody form;
    std::size_t nextIndex = 0;
    std::vector<bool> seen(fields.size(), false);
    std::size_t start = 0;
    while (!body.empty() && start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string_view::npos) {
            end = body.size();
        }
        const std::string_view pair = body.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = pair.find('=');
        if (pair.empty() || equals == std::string_view::npos) {
            error = pair.empty() ? "empty field" : "field '" + shown(pair) + "' has no '='";
            return std::nullopt;
        }
        const std::string_view name = pair.substr(0, equals);
        std::size_t index = 0;
        while (index < fields.size() && fields[index].name != name) {
            ++index;
        }
        if (index == fields.size()) {
            error = "unknown field '" + shown(name) + "'";
            return std::nullopt;
        }
        if (seen[index]) {
            error = "field '" + std::string(name) + "' given twice";
            return std::nullopt;
        }
        if (index < nextIndex) {
            error = "field '" + std::string(name) + "' out of order";
            return std::nullopt;
        }
        std::optional<std::string> value = decode(pair.substr(equals + 1));
        if (!value) {
            error = "bad percent-encoding in field '" + std::string(name) + "'";
            return std::nullopt;
        }
        if (value->size() > fields[index].maxBytes) {
            error = "field '" + std::string(name) + "' longer than " +
                    std::to_string(fields[index].maxBytes) + " bytes";
            return std::nullopt;
        }
        seen[index] = true;
        nextIndex = index + 1;
        form.values_.emplace_back(fields[index].name, std::move(*value));
        if (end == body.size()) {
            break;
        }
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].required && !seen[i]) {
            error = "missing field '" + std::string(fields[i].name) + "'";
            return std::nullopt;
        }
    }
    return form;
}

const std::string* FormBody::find(std::string_view name) const {
    for (const auto& [key, value] : values_) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

std::string FormBody::text(std::string_view name, std::string_view fallback) const {
    const std::string* value = find(name);
    return value ? *value : std::string(fallback);
}

std::optional<long long> FormBody::integer(std::string_view name, long long min, long long max,
                                           long long fallback, std::string& error) const {
    const std::string* value = find(name);
    if (!value) {
        return fallback;
    }
    long long number = 0;
    const char* first = value->data();
    const char* last = first + value->size();
    const auto [ptr, ec] = std::from_chars(first, last, number);
    if (value->empty() || ec != std::errc() || ptr != last) {
        error = "field '" + std::string(name) + "' is not a whole number";
        return std::nullopt;
    }
    if (number < min || number > max) {
        error = "field '" + std::string(name) + "' must be from " + std::to_string(min) + " to " +
                std::to_string(max);
        return std::nullopt;
    }
    return number;
}

} // namespace tolvane::server
