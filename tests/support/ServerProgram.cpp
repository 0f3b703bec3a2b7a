#include "tests/support/ServerProgram.h"
#include "tests/support/TestPaths.h"

#include <unistd.h>

#include <chrono>
#include <regex>

namespace tolvane::test {

const std::string& ServerProgram::path() {
    static const std::string program = ::tolvane::test::binaryDir() + "/server/tolvane-server";
    return program;
}

bool ServerProgram::available() {
    return ::access(path().c_str(), X_OK) == 0;
}

bool ServerProgram::start(const std::vector<std::string>& args, std::string& error) {
    return ChildProcess::start(path(), args, error, {.mergeStderr = true});
}

bool ServerProgram::waitForListening(std::string& doorUrl, int& port) {
    const std::vector<std::string> listening = waitForOutput(
        std::regex("listening on (http://[^ ]*:([0-9]+)/\\S+)"), std::chrono::seconds(30));
    if (listening.empty()) {
        return false;
    }
    doorUrl = listening[1];
    port = std::stoi(listening[2]);
    return true;
}

} // namespace tolvane::test
