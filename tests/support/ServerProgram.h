#pragma once

#include "tests/support/ChildProcess.h"

#include <string>
#include <vector>

namespace tolvane::test {

// tolvane-server from this build run as a child process, its standard output
// and error collected together.
class ServerProgram : public ChildProcess {
  public:
    static const std::string& path();
    static bool available();

    // Starts the server with `args`; false with the reason in `error`.
    bool start(const std::vector<std::string>& args, std::string& error);

    // Waits (at most 30 s) for the "listening on" line: the door's URL and
    // the port it names. False when the server ended or stayed silent first.
    bool waitForListening(std::string& doorUrl, int& port);
};

} // namespace tolvane::test
