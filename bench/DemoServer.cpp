#include "bench/DemoServer.h"

#include "platform/IniFile.h"
#include "tests/support/TestPaths.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tolvane::bench {

DemoServer::DemoServer(const std::vector<Setting>& settings,
                       const std::vector<std::string>& extraArgs) {
    const std::string config =
        settings.empty() ? test::sourceDir() + "/resources/server-demo.ini" : writeConfig(settings);
    int out[2];
    if (config.empty() || pipe(out) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::string path = test::binaryDir() + "/server/tolvane-server";
    std::vector<std::string> args{path, "--config", config, "--port", "0", "--quiet"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    readAddress(out[0]);
    close(out[0]);
}

DemoServer::~DemoServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!configDir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(configDir_, ec);
    }
}

std::string DemoServer::writeConfig(const std::vector<Setting>& settings) {
    const std::filesystem::path demo = test::sourceDir() + "/resources/server-demo.ini";
    std::ifstream in(demo, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Setting> all = settings;
    const platform::IniFile demoIni = platform::IniFile::parse(bytes);
    for (const std::string& section : demoIni.sectionNames()) {
        const auto source = demoIni.value(section, "source");
        if (section.rfind("feed ", 0) == 0 && source && source->find("://") == std::string::npos) {
            all.push_back({section, "source", (demo.parent_path() / *source).string()});
        }
    }
    for (const Setting& setting : all) {
        const auto changed =
            platform::IniFile::withValue(bytes, setting.section, setting.key, setting.value);
        if (!changed) {
            return {};
        }
        bytes = *changed;
    }
    std::string dir = (std::filesystem::temp_directory_path() / "tolvane-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        return {};
    }
    configDir_ = dir;
    const std::string path = dir + "/server.ini";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

double DemoServer::cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // utime and stime are the 12th and 13th fields after the parenthesised name.
    std::istringstream fields(text.substr(std::min(text.size(), text.rfind(')') + 2)));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12) {
            ticks += std::stod(field);
        }
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

void DemoServer::readAddress(int fd) {
    std::string log;
    char buffer[512];
    static const std::regex listening("listening on (http://[^:]+:(\\d+)/\\S*)|working \\(");
    std::smatch match;
    for (ssize_t n; pid_ > 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
        log.append(buffer, size_t(n));
        if (std::regex_search(log, match, listening)) {
            baseUrl_ = match[1];
            port_ = match[2];
            ready_ = true;
            return;
        }
    }
}

} // namespace tolvane::bench
