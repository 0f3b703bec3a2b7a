#pragma once

#include <cstddef>
#include <string>

namespace tolvane::server {

// Fetches one http(s) URL into memory with libcurl: redirects followed (within
// http and https), compressed transfer accepted, bounded in time and size.
// Error texts are libcurl's own.
bool fetchUrl(const std::string& url, int timeoutSeconds, std::size_t maxBytes, std::string& body,
              std::string& error);

} // namespace tolvane::server
