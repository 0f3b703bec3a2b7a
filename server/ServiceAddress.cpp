#include "server/ServiceAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

namespace tolvane::server {

namespace {

bool isAlphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Dot-separated labels of letters, digits, '-' and '_' (names on internal
// networks use it), none empty.
bool isHostName(std::string_view name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot - start);
        if (label.empty() || label.size() > 63 ||
            !std::all_of(label.begin(), label.end(),
                         [](char c) { return isAlphanumeric(c) || c == '-' || c == '_'; })) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        start = dot + 1;
    }
}

bool isIpv6Address(std::string_view text) {
    if (text.empty() || text.size() > 45) {
        return false;
    }
    in6_addr address{};
    return ::inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

bool isPort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const int port = std::stoi(std::string(digits));
    return port >= 1 && port <= 65535;
}

} // namespace

bool isPlainHostPort(std::string_view text) {
    if (text.empty() || text.size() > 128) {
        return false;
    }
    std::size_t hostEnd = 0;
    if (text.front() == '[') {
        hostEnd = text.find(']');
        if (hostEnd == std::string_view::npos || !isIpv6Address(text.substr(1, hostEnd - 1))) {
            return false;
        }
        ++hostEnd;
    } else {
        hostEnd = std::min(text.find(':'), text.size());
        if (!isHostName(text.substr(0, hostEnd))) {
            return false;
        }
    }
    return hostEnd == text.size() || (text[hostEnd] == ':' && isPort(text.substr(hostEnd + 1)));
}

bool isPublicUrl(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    const std::string_view scheme = url.substr(0, schemeEnd);
    if (url.size() > 160 || schemeEnd == std::string_view::npos ||
        (scheme != "http" && scheme != "https")) {
        return false;
    }
    const std::string_view rest = url.substr(schemeEnd + 3);
    const std::size_t slash = rest.find('/');
    const std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);
    return isPlainHostPort(rest.substr(0, slash)) && !path.ends_with('/') &&
           std::all_of(path.begin(), path.end(), [](char c) {
               return isAlphanumeric(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
           });
}

} // namespace tolvane::server
