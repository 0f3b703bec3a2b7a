#include "tests/support/TestPaths.h"

namespace tolvane::test {

const std::string& sourceDir() {
    static const std::string dir = TOLVANE_SOURCE_DIR;
    return dir;
}

const std::string& binaryDir() {
    static const std::string dir = TOLVANE_BINARY_DIR;
    return dir;
}

} // namespace tolvane::test
