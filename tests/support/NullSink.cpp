#include "tests/support/NullSink.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tolvane::test {

namespace {

// Runs `argv` and collects its standard output; false with `error` unless it
// exits with status 0.
bool run(const std::vector<std::string>& argv, std::string& output, std::string& error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t child = -1;
    const int rc = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return false;
    }
    char buffer[256];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = argv[0] + " " + argv[1] +
                " failed (is the PulseAudio daemon running? see "
                "scripts/pulse.sh)";
        return false;
    }
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
    run({"pactl", "unload-module", module_}, ignored, ignored);
}

bool NullSink::create(std::string& error) {
    static std::atomic<int> serial{0};
    name_ = "tolvane_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    std::string output;
    if (!run({"pactl", "load-module", "module-null-sink", "sink_name=" + name_}, output, error)) {
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
