#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::server {

struct ServerConfig;
enum class ServerRole;

// The server's command line: a configuration file and the settings that
// override it.
struct CommandLine {
    bool help = false;
    bool version = false;
    bool quiet = false; // no per-request log lines
    std::optional<std::filesystem::path> config;
    std::optional<std::string> address;
    std::optional<int> port;
    std::optional<std::filesystem::path> dataDir;
    std::optional<int> workers;
    std::optional<ServerRole> role;

    // nullopt with `error` for an unknown flag, a missing value or a bad number.
    static std::optional<CommandLine> parse(const std::vector<std::string>& args,
                                            std::string& error);

    // Writes the overrides into `config`.
    void apply(ServerConfig& config) const;

    static std::string usage();
};

} // namespace tolvane::server
