#pragma once

#include <string_view>

namespace tolvane::server {

// Checks on what the service addresses in replies are built from: the Host
// a request names, or the public address the configuration gives.

// True when `text` is a host name, an IPv4 address or a bracketed IPv6
// address, optionally followed by ':' and a port from 1 to 65535, in at most
// 128 bytes, so links built on it stay well within the 255 bytes the client
// reads.
bool isPlainHostPort(std::string_view text);

// True when `url` is "http://" or "https://", a plain host[:port] and an
// optional path of letters, digits, '/', '-', '.', '_' and '~', without a
// trailing '/', in at most 160 bytes.
bool isPublicUrl(std::string_view url);

} // namespace tolvane::server
