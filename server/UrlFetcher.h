#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace tolvane::server {

// Fetches one http(s) URL into memory with libcurl: redirects followed (within
// http and https), compressed transfer accepted, bounded in time and size.
// Error texts are libcurl's own. Setting `cancel` from another thread ends the
// transfer within a fraction of a second.
bool fetchUrl(const std::string& url, int timeoutSeconds, std::size_t maxBytes,
              const std::atomic<bool>& cancel, std::string& body, std::string& error);

} // namespace tolvane::server
