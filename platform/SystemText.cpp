#include "platform/SystemText.h"

#include <cstring>

namespace tolvane::platform {

std::string asciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string systemError(std::string_view what, const std::filesystem::path& path, int error) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

} // namespace tolvane::platform
