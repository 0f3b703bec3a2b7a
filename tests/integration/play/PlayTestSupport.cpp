#include "tests/integration/play/PlayTestSupport.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tolvane::test {

namespace {

std::filesystem::path makeTempDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        return {};
    }
    return pattern;
}

// Spawns the tool with standard output and error redirected to files.
pid_t spawnTool(const std::vector<std::string>& args, const std::filesystem::path& outPath,
                const std::filesystem::path& errPath, const std::vector<std::string>& env) {
    std::vector<std::string> all = {toolPath().string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment(env.begin(), env.end());
    for (char** e = environ; *e; ++e) {
        environment.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

const PlayFiles& PlayFiles::get() {
    static PlayFiles files;
    return files;
}

PlayFiles::PlayFiles() : dir_(makeTempDir("tolvane-play")) {
    if (dir_.empty()) {
        return;
    }
    const std::string command = std::string("sh ") + TOLVANE_SOURCE_DIR +
                                "/tests/integration/play/make_play_mp3s.sh " + dir_.string();
    ok_ = std::system(command.c_str()) == 0;
}

PlayFiles::~PlayFiles() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> PlayFiles::names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".mp3" || ext == ".mp2") {
            out.push_back(entry.path().filename().string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::filesystem::path toolPath() {
    return std::filesystem::path(TOLVANE_BINARY_DIR) / "tools" / "tolvane-play";
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ProcessResult::lastErrorLine() const {
    std::string text = err;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const size_t at = text.rfind('\n');
    return at == std::string::npos ? text : text.substr(at + 1);
}

ProcessResult runTool(const std::vector<std::string>& args, const std::filesystem::path& stdoutPath,
                      const std::vector<std::string>& env) {
    ProcessResult result;
    const std::filesystem::path dir = makeTempDir("tolvane-play-run");
    const std::filesystem::path out = stdoutPath.empty() ? dir / "out" : stdoutPath;
    const pid_t pid = spawnTool(args, out, dir / "err", env);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        result.exitCode = exitCodeOf(status);
    }
    if (stdoutPath.empty()) {
        result.out = readText(out);
    }
    result.err = readText(dir / "err");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!outPath_.empty()) {
        std::filesystem::remove_all(outPath_.parent_path(), ec);
    }
}

bool ToolProcess::start(const std::vector<std::string>& args, std::string& error) {
    const std::filesystem::path dir = makeTempDir("tolvane-play-bg");
    outPath_ = dir / "out";
    errPath_ = dir / "err";
    pid_ = spawnTool(args, outPath_, errPath_, {});
    if (pid_ <= 0) {
        error = "can't start " + toolPath().string();
        return false;
    }
    return true;
}

void ToolProcess::signal(int number) {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}

bool ToolProcess::wait(std::chrono::milliseconds limit, ProcessResult& result) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (pid_ > 0) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            result.exitCode = exitCodeOf(status);
            result.out = readText(outPath_);
            result.err = readText(errPath_);
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<std::pair<std::string, long>> parseJsonLine(const std::string& line) {
    std::vector<std::pair<std::string, long>> fields;
    static const std::regex field(R"re("([a-z_]+)":(-?[0-9]+))re");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), field);
         it != std::sregex_iterator(); ++it) {
        fields.emplace_back((*it)[1].str(), std::stol((*it)[2].str()));
    }
    return fields;
}

std::map<std::string, long> infoOf(const std::filesystem::path& mp3) {
    const ProcessResult result = runTool({"info", mp3.string()});
    std::map<std::string, long> info;
    if (result.exitCode == 0) {
        for (const auto& [key, value] : parseJsonLine(result.out)) {
            info[key] = value;
        }
    }
    return info;
}

bool madplayDecode(const std::filesystem::path& mp3, WavAudio& audio, std::string& error) {
    const std::filesystem::path dir = makeTempDir("tolvane-play-madplay");
    const std::filesystem::path wav = dir / "reference.wav";
    const std::string command =
        "madplay -Q -S -b 16 -o wave:" + wav.string() + " '" + mp3.string() + "' 2>/dev/null";
    const bool ok = std::system(command.c_str()) == 0 && readWav(wav, audio, error);
    if (!ok && error.empty()) {
        error = "madplay failed on " + mp3.string();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ok;
}

bool toolDecode(const std::filesystem::path& mp3, WavAudio& audio, std::string& error,
                const std::vector<std::string>& options) {
    const std::filesystem::path dir = makeTempDir("tolvane-play-decode");
    const std::filesystem::path wav = dir / "out.wav";
    std::vector<std::string> args = {"decode", mp3.string(), wav.string()};
    args.insert(args.end(), options.begin(), options.end());
    const ProcessResult result = runTool(args);
    bool ok = result.exitCode == 0;
    if (!ok) {
        error = "exit " + std::to_string(result.exitCode) + ": " + result.lastErrorLine();
    } else {
        ok = readWav(wav, audio, error);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ok;
}

int runProgram(const std::vector<std::string>& args) {
    std::vector<std::string> all(args);
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return exitCodeOf(status);
}

} // namespace tolvane::test
