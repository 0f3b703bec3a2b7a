#pragma once

#include <string>

namespace tolvane::test {

// This checkout's source folder and this build's folder, as absolute paths.
// Only their own source file is compiled with them, so every other test file
// compiles the same in any checkout and a compiler cache serves it to a fresh
// clone.
const std::string& sourceDir();
const std::string& binaryDir();

} // namespace tolvane::test
