// tolvane-server: reads its configuration, serves until SIGINT or SIGTERM,
// then finishes the running requests and stops. The main thread only waits
// for the signal; every other thread is started by ServerApp.
#include "platform/Paths.h"
#include "server/CommandLine.h"
#include "server/Log.h"
#include "server/ServerApp.h"
#include "server/ServerConfig.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <pthread.h>

#ifndef TOLVANE_SERVER_VERSION
#define TOLVANE_SERVER_VERSION "0.0.0"
#endif

namespace fs = std::filesystem;
using namespace tolvane::server;

namespace {

// server.ini next to the program, then in the user's configuration folder.
std::optional<fs::path> findConfig() {
    std::vector<fs::path> candidates;
    const fs::path exeDir = tolvane::platform::executableDir();
    if (!exeDir.empty()) {
        candidates.push_back(exeDir / "server.ini");
    }
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        candidates.push_back(fs::path(xdg) / "tolvane" / "server.ini");
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        candidates.push_back(fs::path(home) / ".config" / "tolvane" / "server.ini");
    }
    for (const fs::path& candidate : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<ServerConfig> loadConfig(const CommandLine& line) {
    const std::optional<fs::path> file = line.config ? line.config : findConfig();
    ServerConfig config;
    if (file) {
        std::string error;
        std::vector<std::string> warnings;
        std::optional<ServerConfig> loaded = ServerConfig::load(*file, error, warnings);
        for (const std::string& warning : warnings) {
            logLine("warning: " + file->string() + ": " + warning);
        }
        if (!loaded) {
            std::fprintf(stderr, "tolvane-server: %s\n", error.c_str());
            return std::nullopt;
        }
        config = std::move(*loaded);
        logLine("configuration " + fs::absolute(*file).string());
    } else {
        logLine("warning: no server.ini found (see --help); running without users or feeds");
    }
    line.apply(config);
    if (std::string error; !config.validate(error)) {
        std::fprintf(stderr, "tolvane-server: %s\n", error.c_str());
        return std::nullopt;
    }
    return config;
}

// What the process serves: the door's address and, for a worker, only where
// it takes jobs from.
std::string startLine(const ServerConfig& config, ServerApp& app) {
    const std::string audio = config.store == StoreBackend::Redis
                                  ? "jobs and audio in Redis at " + config.redis
                                  : "audio in " + app.memoryJobs()->dataDir().string();
    const std::string counts =
        std::to_string(config.users.size()) + " users, " + std::to_string(config.feeds.size()) +
        " feeds, " + (config.role == ServerRole::Web ? "no" : std::to_string(config.workers)) +
        " workers, " + audio;
    if (config.role == ServerRole::Worker) {
        return "tolvane-server " TOLVANE_SERVER_VERSION " working (" + counts + ")";
    }
    const bool ipv6 = config.address.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + config.address + "]" : config.address;
    return "tolvane-server " TOLVANE_SERVER_VERSION " listening on http://" + host + ":" +
           std::to_string(app.port()) + "/tolvane/tolvanedoor.php (" + counts + ")";
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<CommandLine> line =
        CommandLine::parse(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!line) {
        std::fprintf(stderr, "tolvane-server: %s\nTry 'tolvane-server --help'.\n", error.c_str());
        return 2;
    }
    if (line->help) {
        std::fputs(CommandLine::usage().c_str(), stdout);
        return 0;
    }
    if (line->version) {
        std::printf("tolvane-server %s\n", TOLVANE_SERVER_VERSION);
        return 0;
    }
    // Blocked before any thread starts, so every thread inherits the mask and
    // the signals reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (const int failed = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); failed != 0) {
        std::fprintf(stderr, "tolvane-server: cannot block signals: %s\n", std::strerror(failed));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Blocks past this go straight back to the system when freed. glibc would
    // otherwise raise the threshold after the first large free (a feed's
    // document, a long text), and the threads' heaps would keep such peaks.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);

    const std::optional<ServerConfig> config = loadConfig(*line);
    if (!config) {
        return 1;
    }
    ServerApp app(*config);
    if (!app.start(error)) {
        std::fprintf(stderr, "tolvane-server: %s\n", error.c_str());
        return 1;
    }
    logLine(startLine(*config, app));
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    logLine(std::string("stopping (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ")");
    app.stop();
    logLine("stopped");
    return 0;
}
