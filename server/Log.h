#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace tolvane::server {

// Writes one line to stderr, prefixed with the local time; safe from any thread.
void logLine(std::string_view text);

// `time` as "YYYY-MM-DD HH:MM:SS" in UTC.
std::string formatUtc(std::time_t time);

} // namespace tolvane::server
