#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tolvane::test {

// How ChildProcess::start sets up the child.
struct ChildOptions {
    std::vector<std::string> env;     // "NAME=value", replacing an inherited NAME
    std::optional<std::string> input; // fed to standard input; /dev/null when absent
    std::filesystem::path stdoutFile; // standard output goes here; collected when empty
    bool mergeStderr = false;         // standard error goes where standard output goes
    bool searchPath = false;          // look `program` up on PATH
};

// A program run by a test as its own process.
//
// Threads: the test's thread calls the public functions; one I/O thread,
// started by start(), feeds standard input, collects the output the child
// writes to its pipes (so the child never blocks on a full pipe) and reaps
// the child when its pidfd reports the exit. mutex_ guards out_, err_,
// exitCode_, exited_ and streamsOpen_; changed_ wakes the waiting calls.
class ChildProcess {
  public:
    ChildProcess() = default;
    // Kills and reaps the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs `program` with `args` (argv[0] is `program`); false with the reason.
    bool start(const std::string& program, const std::vector<std::string>& args, std::string& error,
               const ChildOptions& options = {});

    // Waits up to `limit` until the child has exited and its output has been
    // read to the end; false when that did not happen in time.
    bool wait(std::chrono::milliseconds limit);
    // The exit status, 128 + the signal's number for a death by signal, -1
    // while the child runs or when it never started.
    int exitCode() const;
    bool signal(int number);
    // SIGTERM, then SIGKILL when the child has not ended within `limit`; true
    // when SIGTERM was enough.
    bool terminate(std::chrono::milliseconds limit);

    // Waits up to `limit` for the collected standard output to match
    // `pattern`: the match and its groups, or empty when the child ended or
    // the limit passed first.
    std::vector<std::string> waitForOutput(const std::regex& pattern,
                                           std::chrono::milliseconds limit);

    // The output collected so far: standard output (empty when it went to a
    // file; standard error included when merged) and standard error.
    std::string out() const;
    std::string err() const;
    pid_t pid() const { return pid_; }

  private:
    void pump(int inputFd, int outFd, int errFd, std::string input);
    bool reap(bool block);
    void appendOutput(int fd, bool toOut, int& open);
    bool ended() const { return exited_ && streamsOpen_ == 0; }

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int wakeFd_ = -1; // an eventfd that tells the I/O thread to stop
    std::thread io_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    int exitCode_ = -1;
    bool exited_ = false;
    int streamsOpen_ = 0;
};

struct RunResult {
    int exitCode = -1; // -1 when the program did not start or end in time
    std::string out;
    std::string err; // with the reason when exitCode is -1
};

// Runs `program` to its end with the output collected; a child still running
// after `limit` is killed.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const ChildOptions& options = {},
              std::chrono::milliseconds limit = std::chrono::minutes(2));

// What a child printed, for an error message: " (TEXT)" with TEXT's trailing
// line ends removed, or nothing when it printed nothing.
std::string saidAside(const std::string& text);

// Starts a private session bus (dbus-daemon) in `daemon`: its address, or
// empty with the reason in `error`.
std::string startSessionBus(ChildProcess& daemon, std::string& error);

// Starts an X server of its own (Xvfb, `args` added) in `server`: its display
// (":N"), or empty with the reason in `error`.
std::string startXvfb(ChildProcess& server, const std::vector<std::string>& args,
                      std::string& error);

} // namespace tolvane::test
