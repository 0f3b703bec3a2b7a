#include "tests/support/NullSink.h"

#include "tests/support/ChildProcess.h"

#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace tolvane::test {

namespace {

// Runs pactl with `args`; its standard output, or false with `error` naming
// what pactl said when it does not exit with status 0.
bool pactl(const std::vector<std::string>& args, std::string& output, std::string& error) {
    ChildOptions options;
    options.searchPath = true;
    const RunResult result = run("pactl", args, options, std::chrono::seconds(30));
    if (result.exitCode != 0) {
        error = "pactl " + args.front() + " failed" + saidAside(result.err) +
                "; is the PulseAudio daemon running? see scripts/pulse.sh";
        return false;
    }
    output = result.out;
    return true;
}

} // namespace

NullSink::~NullSink() {
    if (module_.empty()) {
        return;
    }
    if (hadPrevious_) {
        setenv("PULSE_SINK", previous_.c_str(), 1);
    } else {
        unsetenv("PULSE_SINK");
    }
    std::string ignored;
    pactl({"unload-module", module_}, ignored, ignored);
}

bool NullSink::create(std::string& error) {
    static std::atomic<int> serial{0};
    name_ = "tolvane_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    std::string output;
    if (!pactl({"load-module", "module-null-sink", "sink_name=" + name_}, output, error)) {
        return false;
    }
    module_ = output.substr(0, output.find_first_of("\r\n"));
    if (module_.empty()) {
        error = "pactl load-module printed no module index";
        return false;
    }
    if (const char* previous = std::getenv("PULSE_SINK")) {
        hadPrevious_ = true;
        previous_ = previous;
    }
    setenv("PULSE_SINK", name_.c_str(), 1);
    return true;
}

} // namespace tolvane::test
