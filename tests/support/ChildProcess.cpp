#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tolvane::test {

namespace {

// A file descriptor closed at the end of its scope unless released.
class Fd {
  public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

class FileActions {
  public:
    FileActions() {
        rc_ = posix_spawn_file_actions_init(&actions_);
        initialised_ = rc_ == 0;
    }
    ~FileActions() {
        if (initialised_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    void open(int fd, const char* path, int flags) {
        if (rc_ == 0) {
            rc_ = posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0644);
        }
    }
    void dup(int from, int to) {
        if (rc_ == 0) {
            rc_ = posix_spawn_file_actions_adddup2(&actions_, from, to);
        }
    }
    // The first failure's error number, 0 when every step worked.
    int rc() const { return rc_; }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    int rc_ = 0;
    bool initialised_ = false;
};

bool makePipe(Fd& readEnd, Fd& writeEnd, std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

// The inherited environment with `extra` added, an entry of `extra` taking the
// place of an inherited one of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> all;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
            return nameOf(x) == nameOf(entry);
        });
        if (!replaced) {
            all.push_back(entry);
        }
    }
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Straight system calls: glibc 2.36 declares its wrappers without C linkage,
// so C++ code can't link them.
int pidfdOpen(pid_t pid) {
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSignal(int pidFd, int number) {
    return int(::syscall(SYS_pidfd_send_signal, pidFd, number, nullptr, 0));
}

} // namespace

ChildProcess::~ChildProcess() {
    if (io_.joinable()) {
        if (exitCode() < 0) {
            pidfdSignal(pidFd_, SIGKILL);
        }
        // Stops the I/O thread even when something else still holds the
        // output pipes open; it reaps the child before it ends.
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
        io_.join();
    }
    for (int fd : {pidFd_, wakeFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         std::string& error, const ChildOptions& options) {
    if (pid_ >= 0) {
        error = "a child is already running";
        return false;
    }
    Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    FileActions actions;
    if (options.input) {
        if (!makePipe(inRead, inWrite, error)) {
            return false;
        }
        actions.dup(inRead.get(), 0);
    } else {
        actions.open(0, "/dev/null", O_RDONLY);
    }
    if (options.stdoutFile.empty()) {
        if (!makePipe(outRead, outWrite, error)) {
            return false;
        }
        actions.dup(outWrite.get(), 1);
    } else {
        actions.open(1, options.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    }
    if (options.mergeStderr) {
        actions.dup(1, 2);
    } else {
        if (!makePipe(errRead, errWrite, error)) {
            return false;
        }
        actions.dup(errWrite.get(), 2);
    }
    if (actions.rc() != 0) {
        error = std::string("posix_spawn_file_actions: ") + std::strerror(actions.rc());
        return false;
    }

    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = environmentWith(options.env);
    const std::vector<char*> argv = pointersTo(argStrings);
    const std::vector<char*> envp = pointersTo(envStrings);
    pid_t pid = -1;
    const int rc =
        options.searchPath
            ? posix_spawnp(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data())
            : posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
    if (rc != 0) {
        error = "can't start " + program + ": " + std::strerror(rc);
        return false;
    }
    inRead.reset();
    outWrite.reset();
    errWrite.reset();

    Fd pidFd, wakeFd;
    const char* failed = nullptr;
    pidFd.reset(pidfdOpen(pid));
    if (pidFd.get() < 0) {
        failed = "pidfd_open";
    } else if (wakeFd.reset(::eventfd(0, EFD_CLOEXEC)); wakeFd.get() < 0) {
        failed = "eventfd";
    } else if (inWrite.get() >= 0 && ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK) != 0) {
        failed = "fcntl";
    }
    if (failed != nullptr) {
        error = std::string(failed) + ": " + std::strerror(errno);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return false;
    }
    pid_ = pid;
    pidFd_ = pidFd.release();
    wakeFd_ = wakeFd.release();
    streamsOpen_ = (outRead.get() >= 0 ? 1 : 0) + (errRead.get() >= 0 ? 1 : 0);
    io_ = std::thread(&ChildProcess::pump, this, inWrite.release(), outRead.release(),
                      errRead.release(), options.input.value_or(std::string()));
    return true;
}

void ChildProcess::pump(int inputFd, int outFd, int errFd, std::string input) {
    // A child that stops reading its input makes write() fail with EPIPE; the
    // signal that comes with it stays blocked on this thread.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    if (const int rc = pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr); rc != 0) {
        const std::lock_guard lock(mutex_);
        err_ += std::string("pthread_sigmask: ") + std::strerror(rc) + "\n";
    }

    size_t written = 0;
    bool reaped = false;
    while (!reaped || outFd >= 0 || errFd >= 0) {
        pollfd fds[5] = {{wakeFd_, POLLIN, 0},
                         {reaped ? -1 : pidFd_, POLLIN, 0},
                         {inputFd, POLLOUT, 0},
                         {outFd, POLLIN, 0},
                         {errFd, POLLIN, 0}};
        if (::poll(fds, 5, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            const std::lock_guard lock(mutex_);
            err_ += std::string("poll: ") + std::strerror(errno) + "\n";
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            reaped = reap(false);
        }
        if (fds[2].revents != 0) {
            const ssize_t n = ::write(inputFd, input.data() + written,
                                      std::min<size_t>(input.size() - written, 65536));
            written += n > 0 ? size_t(n) : 0;
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                ::close(inputFd);
                inputFd = -1;
            }
        }
        if (fds[3].revents != 0) {
            appendOutput(outFd, true, outFd);
        }
        if (fds[4].revents != 0) {
            appendOutput(errFd, false, errFd);
        }
    }
    if (!reaped) {
        reap(true);
    }
    for (int fd : {inputFd, outFd, errFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const std::lock_guard lock(mutex_);
    streamsOpen_ = 0;
    changed_.notify_all();
}

void ChildProcess::appendOutput(int fd, bool toOut, int& open) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    const std::lock_guard lock(mutex_);
    if (n > 0) {
        (toOut ? out_ : err_).append(buffer, size_t(n));
    } else {
        if (n < 0) {
            err_ += std::string("read: ") + std::strerror(errno) + "\n";
        }
        ::close(fd);
        open = -1;
        --streamsOpen_;
    }
    changed_.notify_all();
}

// Collects the exit status once the child has ended; false while it runs.
bool ChildProcess::reap(bool block) {
    siginfo_t info{};
    int rc;
    do {
        rc = ::waitid(P_PIDFD, id_t(pidFd_), &info, WEXITED | (block ? 0 : WNOHANG));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0 && info.si_pid == 0) {
        return false;
    }
    const std::lock_guard lock(mutex_);
    if (rc != 0) {
        err_ += std::string("waitid: ") + std::strerror(errno) + "\n";
    } else {
        exitCode_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    }
    exited_ = true;
    changed_.notify_all();
    return true;
}

bool ChildProcess::wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return pid_ >= 0 && changed_.wait_for(lock, limit, [this] { return ended(); });
}

int ChildProcess::exitCode() const {
    const std::lock_guard lock(mutex_);
    return exitCode_;
}

bool ChildProcess::signal(int number) {
    return pidFd_ >= 0 && pidfdSignal(pidFd_, number) == 0;
}

bool ChildProcess::terminate(std::chrono::milliseconds limit) {
    signal(SIGTERM);
    if (wait(limit)) {
        return true;
    }
    signal(SIGKILL);
    wait(std::chrono::seconds(10));
    return false;
}

std::vector<std::string> ChildProcess::waitForOutput(const std::regex& pattern,
                                                     std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    std::smatch match;
    const auto found = [&] { return std::regex_search(out_, match, pattern); };
    changed_.wait_for(lock, limit, [&] { return pid_ < 0 || found() || ended(); });
    if (!found()) {
        return {};
    }
    return {match.begin(), match.end()};
}

std::string ChildProcess::out() const {
    const std::lock_guard lock(mutex_);
    return out_;
}

std::string ChildProcess::err() const {
    const std::lock_guard lock(mutex_);
    return err_;
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const ChildOptions& options, std::chrono::milliseconds limit) {
    RunResult result;
    ChildProcess child;
    if (!child.start(program, args, result.err, options)) {
        return result;
    }
    const bool ended = child.wait(limit);
    result.out = child.out();
    result.err = child.err();
    if (!ended) {
        result.err +=
            program + " still running after " + std::to_string(limit.count()) + " ms; killed\n";
        return result;
    }
    result.exitCode = child.exitCode();
    return result;
}

std::string saidAside(const std::string& text) {
    const size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? std::string() : " (" + text.substr(0, end + 1) + ")";
}

std::string startSessionBus(ChildProcess& daemon, std::string& error) {
    if (!daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"}, error,
                      {.searchPath = true})) {
        return {};
    }
    const auto address =
        daemon.waitForOutput(std::regex("(unix:[^\n]+)\n"), std::chrono::seconds(10));
    if (address.empty()) {
        error = "dbus-daemon named no address" + saidAside(daemon.err());
        return {};
    }
    return address[1];
}

std::string startXvfb(ChildProcess& server, const std::vector<std::string>& args,
                      std::string& error) {
    std::vector<std::string> all = {"-displayfd", "1", "-nolisten", "tcp"};
    all.insert(all.end(), args.begin(), args.end());
    if (!server.start("Xvfb", all, error, {.searchPath = true})) {
        return {};
    }
    const auto display = server.waitForOutput(std::regex("([0-9]+)\n"), std::chrono::seconds(20));
    if (display.empty()) {
        error = "Xvfb named no display" + saidAside(server.err());
        return {};
    }
    return ":" + display[1];
}

} // namespace tolvane::test
