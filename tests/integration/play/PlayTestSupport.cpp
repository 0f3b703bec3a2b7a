#include "tests/integration/play/PlayTestSupport.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>

namespace tolvane::test {

namespace {

std::filesystem::path makeTempDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        return {};
    }
    return pattern;
}

// Long enough for the slowest decode under the sanitizers.
constexpr std::chrono::minutes kToolLimit(5);

} // namespace

const PlayFiles& PlayFiles::get() {
    static PlayFiles files;
    return files;
}

PlayFiles::PlayFiles() : dir_(makeTempDir("tolvane-play")) {
    if (dir_.empty()) {
        return;
    }
    // Made once per build folder by the test run's fixture; copied, since
    // tests write files of their own beside them.
    const std::filesystem::path shared = ::tolvane::test::binaryDir() + "/test-media/play";
    if (std::filesystem::exists(shared / ".complete")) {
        std::error_code ec;
        std::filesystem::copy(shared, dir_, ec);
        ok_ = !ec;
        return;
    }
    const RunResult made = run(
        "/bin/sh",
        {::tolvane::test::sourceDir() + "/tests/integration/play/make_play_mp3s.sh", dir_.string()},
        {}, kToolLimit);
    ok_ = made.exitCode == 0;
    if (!ok_) {
        std::cerr << "make_play_mp3s.sh failed: " << made.out << made.err;
    }
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
    return std::filesystem::path(::tolvane::test::binaryDir()) / "tools" / "tolvane-play";
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
    const RunResult r =
        run(toolPath().string(), args, {.env = env, .stdoutFile = stdoutPath}, kToolLimit);
    return {r.exitCode, r.out, r.err};
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
    const RunResult r =
        run("madplay", {"-Q", "-S", "-b", "16", "-o", "wave:" + wav.string(), mp3.string()},
            {.searchPath = true}, kToolLimit);
    bool ok = r.exitCode == 0;
    if (!ok) {
        error = "madplay failed on " + mp3.string() + ": " + r.err;
    } else {
        ok = readWav(wav, audio, error);
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
    if (args.empty()) {
        return -1;
    }
    return run(args[0], {args.begin() + 1, args.end()}, {.searchPath = true}, kToolLimit).exitCode;
}

} // namespace tolvane::test
