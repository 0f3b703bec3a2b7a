#include "server/CommandLine.h"

#include "server/ServerConfig.h"

#include <charconv>

namespace tolvane::server {

namespace {

bool parseInt(const std::string& text, int min, int max, int& out) {
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < min ||
        value > max) {
        return false;
    }
    out = value;
    return true;
}

} // namespace

std::optional<CommandLine> CommandLine::parse(const std::vector<std::string>& args,
                                              std::string& error) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> inlineValue;
        if (const std::size_t equals = flag.find('=');
            flag.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = flag.substr(equals + 1);
            flag.resize(equals);
        }
        if (flag == "--help" || flag == "-h") {
            line.help = true;
            continue;
        }
        if (flag == "--version") {
            line.version = true;
            continue;
        }
        if (flag == "--quiet") {
            line.quiet = true;
            continue;
        }
        if (flag != "--config" && flag != "--address" && flag != "--port" && flag != "--data" &&
            flag != "--workers" && flag != "--role") {
            error = "unknown option '" + args[i] + "'";
            return std::nullopt;
        }
        if (!inlineValue && i + 1 >= args.size()) {
            error = "option " + flag + " needs a value";
            return std::nullopt;
        }
        const std::string value = inlineValue ? *inlineValue : args[++i];
        int number = 0;
        if (flag == "--config") {
            line.config = value;
        } else if (flag == "--address") {
            line.address = value;
        } else if (flag == "--data") {
            line.dataDir = value;
        } else if (flag == "--role") {
            if (value != "web" && value != "worker" && value != "all") {
                error = "--role needs web, worker or all, not '" + value + "'";
                return std::nullopt;
            }
            line.role = value == "web"      ? ServerRole::Web
                        : value == "worker" ? ServerRole::Worker
                                            : ServerRole::All;
        } else if (flag == "--port") {
            if (!parseInt(value, 0, 65535, number)) {
                error = "--port needs a number from 0 to 65535, not '" + value + "'";
                return std::nullopt;
            }
            line.port = number;
        } else {
            if (!parseInt(value, 1, 64, number)) {
                error = "--workers needs a number from 1 to 64, not '" + value + "'";
                return std::nullopt;
            }
            line.workers = number;
        }
    }
    return line;
}

void CommandLine::apply(ServerConfig& config) const {
    if (address) {
        config.address = *address;
    }
    if (port) {
        config.port = *port;
    }
    if (dataDir) {
        config.dataDir = *dataDir;
    }
    if (workers) {
        config.workers = *workers;
    }
    if (quiet) {
        config.logRequests = false;
    }
    if (role) {
        config.role = *role;
    }
}

std::string CommandLine::usage() {
    return "Usage: tolvane-server [options]\n"
           "The reference speech server: speaks the Tolvane client's protocol over HTTP.\n"
           "\n"
           "  --config FILE   read FILE (default: server.ini next to the program, then\n"
           "                  $XDG_CONFIG_HOME/tolvane/server.ini; none: built-in defaults)\n"
           "  --address ADDR  listen on ADDR (default 127.0.0.1)\n"
           "  --port N        listen on port N (default 8080; 0 picks a free port)\n"
           "  --data DIR      keep finished MP3 files in DIR (default: a private\n"
           "                  temporary folder removed at exit)\n"
           "  --workers N     synthesise on N worker threads (default 2)\n"
           "  --role ROLE     all (default): answer HTTP and synthesise; web: answer HTTP\n"
           "                  only; worker: synthesise only, no HTTP port (web and worker\n"
           "                  need [store] backend = redis)\n"
           "  --quiet         do not log each request\n"
           "  --version       print the version and exit\n"
           "  --help          print this help and exit\n"
           "\n"
           "SIGINT or SIGTERM finishes the running requests and stops the server.\n";
}

} // namespace tolvane::server
