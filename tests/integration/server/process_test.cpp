// tolvane-server as its own process: command line, configuration faults,
// signals, and fifty clients at once.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tolvane::server::test {
namespace {

namespace fs = std::filesystem;

const std::string kServer = TOLVANE_BINARY_DIR "/server/tolvane-server";

// One run of the server program; stdout and stderr are collected by a reader
// thread (so the server never blocks on a full pipe) until it exits.
class ServerProcess {
  public:
    explicit ServerProcess(const std::vector<std::string>& args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<char*> argv{const_cast<char*>(kServer.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kServer.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        reader_ = std::thread([this, fd = out[0]] { read(fd); });
    }

    ~ServerProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    // The port from the "listening on" line; 0 when the server ended first.
    int waitForPort() {
        static const std::regex listening("listening on http://[^:]+:([0-9]+)/");
        std::unique_lock lock(mutex_);
        std::smatch match;
        changed_.wait_for(lock, std::chrono::seconds(30),
                          [&] { return std::regex_search(output_, match, listening) || closed_; });
        return std::regex_search(output_, match, listening) ? std::stoi(match[1]) : 0;
    }

    // Waits (at most a minute) for the exit; the exit status, or -1.
    int wait() {
        int status = 0;
        for (int i = 0; i < 600; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

    void signal(int number) const { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }

    std::string output() {
        if (exited_ && reader_.joinable()) {
            reader_.join();
        }
        const std::lock_guard lock(mutex_);
        return output_;
    }

    // Resident memory of the server in kB, from /proc.
    long residentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        return -1;
    }

  private:
    void read(int fd) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            const std::lock_guard lock(mutex_);
            if (n <= 0) {
                closed_ = true;
                changed_.notify_all();
                break;
            }
            output_.append(buffer, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
        ::close(fd);
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool closed_ = false;
};

struct RunResult {
    int status;
    std::string output;
};

RunResult run(const std::vector<std::string>& args) {
    ServerProcess process(args);
    const int status = process.wait();
    return {status, process.output()};
}

TEST(ServerProgramTest, CommandLineAndConfigurationFaultsAreReportedClearly) {
    RunResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: tolvane-server"), std::string::npos);

    RunResult unknown = run({"--colour", "blue"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.output.find("unknown option '--colour'"), std::string::npos)
        << unknown.output;
    EXPECT_EQ(run({"--port", "http"}).status, 2);
    EXPECT_EQ(run({"--workers"}).status, 2);

    TempDir dir;
    RunResult missing = run({"--config", (dir.path() / "none.ini").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("none.ini"), std::string::npos) << missing.output;

    writeFile(dir.path() / "bad.ini", "[user x]\nemail = x@y\npassword_md5 = demo\nuserid = 1\n");
    RunResult bad = run({"--config", (dir.path() / "bad.ini").string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("[user x] password_md5: must be 32 hexadecimal digits"),
              std::string::npos)
        << bad.output;
}

TEST(ServerProgramTest, SecondServerOnTheSamePortFailsAndSignalsStopCleanly) {
    TempDir dir;
    writeFile(dir.path() / "server.ini", "[server]\nport = 0\n[limits]\ncolour = blue\n");
    ServerProcess first({"--config", (dir.path() / "server.ini").string(), "--workers", "1"});
    const int port = first.waitForPort();
    ASSERT_GT(port, 0) << first.output();
    EXPECT_NE(first.output().find("unknown key [limits] colour ignored"), std::string::npos);

    RunResult second =
        run({"--config", (dir.path() / "server.ini").string(), "--port", std::to_string(port)});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.output.find("cannot listen on 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << second.output;

    EXPECT_EQ(
        parseDoor(httpPost("http://127.0.0.1:" + std::to_string(port) + "/tolvane/tolvanedoor.php",
                           "fresh=1")
                      .body)
            .fields.size(),
        8u);
    first.signal(SIGINT);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_NE(first.output().find("stopping (SIGINT)"), std::string::npos);
}

// Fifty clients at once, each reading one text through the whole protocol,
// twice over; the server's memory and files stay bounded.
TEST(ServerLoadTest, FiftyClientsAtOnceAllGetCompleteAudio) {
    constexpr int kClients = 50;
    constexpr int kKeptJobs = 60;
    TempDir dir;
    writeFile(dir.path() / "news.xml", "<rss><channel></channel></rss>");
    writeFile(dir.path() / "atom.xml", "<feed xmlns=\"http://www.w3.org/2005/Atom\"/>");
    writeFile(dir.path() / "server.ini",
              testConfig("[limits]\nkept_jobs = " + std::to_string(kKeptJobs) + "\n"));
    ServerProcess server({"--config", (dir.path() / "server.ini").string(), "--data",
                          (dir.path() / "audio").string()});
    const int port = server.waitForPort();
    ASSERT_GT(port, 0) << server.output();
    const std::string door =
        "http://127.0.0.1:" + std::to_string(port) + "/tolvane/tolvanedoor.php";

    std::vector<long> resident;
    for (int round = 0; round < 2; ++round) {
        std::atomic<int> complete{0};
        std::atomic<int> waited{0};
        std::mutex failuresMutex;
        std::vector<std::string> failures;
        const auto fail = [&](const std::string& why) {
            const std::lock_guard lock(failuresMutex);
            failures.push_back(why);
        };
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                const Session session = logIn(door);
                if (session.token.empty()) {
                    return fail("login failed");
                }
                const std::vector<std::string> added =
                    parseAdd(httpPost(session.addUrl,
                                      addBody(session, "Client " + std::to_string(i) +
                                                           " reads this short sentence aloud now."))
                                 .body);
                if (added.size() != 5 || added[1] != "succeed") {
                    return fail("add refused: " + (added.size() == 5 ? added[4] : ""));
                }
                const auto first =
                    parseQuery(httpPost(session.queryUrl, queryBody(session, added[2])).body);
                if (first.size() == 7 && (first[2] == "wait" || first[2] == "ttsing")) {
                    ++waited;
                }
                const std::vector<std::string> done = waitForJob(session, added[2], 1200);
                if (done.size() != 7 || done[2] != "ttsed") {
                    return fail("job ended " + (done.size() == 7 ? done[2] + " " + done[6] : ""));
                }
                const HttpResult audio = httpGet(done[3]);
                std::string why;
                if (audio.status != 200 ||
                    audio.header("content-length") != std::to_string(audio.body.size()) ||
                    !wellFormedMp3(audio.body, why)) {
                    return fail("bad audio: " + std::to_string(audio.status) + " " + why);
                }
                ++complete;
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
        EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
        EXPECT_EQ(complete.load(), kClients);
        EXPECT_GT(waited.load(), 0) << "add answered before synthesis, jobs waited in the queue";
        resident.push_back(server.residentKb());
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dir.path() / "audio")) {
            files += entry.path().extension() == ".mp3" ? 1 : 0;
        }
        EXPECT_LE(files, static_cast<std::size_t>(kKeptJobs));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(resident[1], resident[0] + 4 * 1024)
        << "resident memory grew from " << resident[0] << " kB to " << resident[1] << " kB";
#endif
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0) << server.output();
    EXPECT_TRUE(fs::is_empty(dir.path() / "audio")) << "job files are removed at exit";
}

} // namespace
} // namespace tolvane::server::test
