#include "server/Log.h"

#include <cstdio>

namespace tolvane::server {

void logLine(std::string_view text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // One fprintf per line: stdio locks the stream, so lines never interleave.
    std::fprintf(stderr, "%s %.*s\n", stamp, static_cast<int>(text.size()), text.data());
}

std::string formatUtc(std::time_t time) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

} // namespace tolvane::server
