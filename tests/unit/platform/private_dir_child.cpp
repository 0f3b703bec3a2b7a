// Run by platform_paths_test as a process of its own: uses the private
// directory as the client does (the instance lock and a download leave their
// files in it), loses it and is given a new one, then ends normally. Prints
// each directory it was given on a line of its own.
#include "platform/Paths.h"

#include <filesystem>
#include <fstream>
#include <iostream>

using namespace tolvane::platform;

namespace {

bool use(const std::filesystem::path& dir) {
    SingleInstanceLock lock("private-dir-child");
    if (!lock.acquired()) {
        std::cerr << lock.error() << "\n";
        return false;
    }
    std::ofstream(dir / "audio-left.mp3") << "not removed by its owner";
    std::cout << dir.string() << "\n";
    return true;
}

} // namespace

int main() {
    std::string error;
    const std::filesystem::path first = privateUserDir(&error);
    if (first.empty() || !use(first)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(first, ignored);
    const std::filesystem::path second = privateUserDir(&error);
    if (second.empty() || !use(second)) {
        std::cerr << error << "\n";
        return 1;
    }
    return 0;
}
