#include "tools/play/CommandLine.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <vector>

namespace tolvane::play {

namespace {

// Bits of the commands an option applies to.
constexpr unsigned kDecode = 1u << unsigned(Command::Decode);
constexpr unsigned kPlay = 1u << unsigned(Command::Play);

// Times and counts travel through the engine's 32-bit signed arithmetic.
constexpr int64_t kMaxMs = std::numeric_limits<int32_t>::max();

struct CommandSpec {
    std::string_view name;
    Command command;
    std::string_view arguments; // names of the positional arguments, blank-separated
    std::string_view help;
};

constexpr CommandSpec kCommands[] = {
    {"info", Command::Info, "FILE", "print the stream's description as one line of JSON"},
    {"decode", Command::Decode, "FILE OUT.wav",
     "decode to a 16-bit stereo WAV file ('-' writes to standard output)"},
    {"play", Command::Play, "FILE",
     "play on an output device; space pauses and resumes, q or Ctrl-C stops"},
    {"devices", Command::Devices, "", "list the output devices: index, name and channels"},
};

using Values = std::span<const std::string_view>;
using Apply = bool (*)(PlayOptions&, Values, std::string& error);

struct OptionSpec {
    std::string_view name;
    std::string_view arguments; // names of its values, blank-separated
    unsigned commands;
    std::string_view help;
    Apply apply;
};

bool parseNumber(std::string_view text, int64_t min, int64_t max, std::string_view what,
                 int64_t& value, std::string& error) {
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || stop != end || value < min || value > max) {
        error = "'" + std::string(text) + "' is not " + std::string(what) + " (" +
                std::to_string(min) + ".." + std::to_string(max) + ")";
        return false;
    }
    return true;
}

bool parseMs(std::string_view text, uint32_t& ms, std::string& error) {
    int64_t value = 0;
    if (!parseNumber(text, 0, kMaxMs, "a time in milliseconds", value, error)) {
        return false;
    }
    ms = uint32_t(value);
    return true;
}

bool parsePercentPair(Values values, std::optional<std::array<uint32_t, 2>>& out,
                      std::string& error) {
    std::array<uint32_t, 2> pair{};
    for (size_t i = 0; i < 2; ++i) {
        int64_t value = 0;
        if (!parseNumber(values[i], 0, 100, "a percentage", value, error)) {
            return false;
        }
        pair[i] = uint32_t(value);
    }
    out = pair;
    return true;
}

bool applyDevice(PlayOptions& o, Values v, std::string& error) {
    int64_t value = 0;
    if (!parseNumber(v[0], -1, std::numeric_limits<int32_t>::max(), "a device index", value,
                     error)) {
        return false;
    }
    o.device = int32_t(value);
    return true;
}

bool applySeek(PlayOptions& o, Values v, std::string& error) {
    uint32_t ms = 0;
    if (!parseMs(v[0], ms, error)) {
        return false;
    }
    o.seekMs = ms;
    return true;
}

bool applyReverse(PlayOptions& o, Values, std::string&) {
    o.reverse = true;
    return true;
}

bool applyLoop(PlayOptions& o, Values v, std::string& error) {
    LoopRange loop;
    int64_t count = 0;
    if (!parseMs(v[0], loop.startMs, error) || !parseMs(v[1], loop.endMs, error) ||
        !parseNumber(v[2], 1, std::numeric_limits<int32_t>::max(), "a repetition count", count,
                     error)) {
        return false;
    }
    loop.count = uint32_t(count);
    o.loop = loop;
    return true;
}

bool applyVolume(PlayOptions& o, Values v, std::string& error) {
    return parsePercentPair(v, o.volume, error);
}

bool applyFadeIn(PlayOptions& o, Values v, std::string& error) {
    uint32_t ms = 0;
    if (!parseMs(v[0], ms, error)) {
        return false;
    }
    o.fadeInMs = ms;
    return true;
}

bool applyFadeOut(PlayOptions& o, Values v, std::string& error) {
    uint32_t ms = 0;
    if (!parseMs(v[0], ms, error)) {
        return false;
    }
    o.fadeOutMs = ms;
    return true;
}

bool applyMix(PlayOptions& o, Values v, std::string& error) {
    return parsePercentPair(v, o.mix, error);
}

bool applyVocalCut(PlayOptions& o, Values, std::string&) {
    o.vocalCut = true;
    return true;
}

constexpr OptionSpec kOptions[] = {
    {"--device", "N", kPlay, "play on output device N (see devices; -1 = the system's choice)",
     applyDevice},
    {"--seek", "MS", kDecode | kPlay, "start MS milliseconds into the stream", applySeek},
    {"--reverse", "", kDecode | kPlay, "play backwards, from the end or from --seek", applyReverse},
    {"--loop", "START_MS END_MS COUNT", kDecode | kPlay,
     "play the part from START_MS to END_MS, COUNT times", applyLoop},
    {"--volume", "L R", kDecode | kPlay, "engine volume of each side in percent (0..100)",
     applyVolume},
    {"--fade-in", "MS", kDecode | kPlay, "rise from silence over the first MS milliseconds",
     applyFadeIn},
    {"--fade-out", "MS", kDecode | kPlay, "fall to silence over the last MS milliseconds",
     applyFadeOut},
    {"--mix", "L R", kDecode | kPlay,
     "mix both channels into one: L percent of the left, R percent of the right", applyMix},
    {"--vocal-cut", "", kDecode | kPlay, "remove what both channels share (centred voices)",
     applyVocalCut},
};

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const size_t blank = text.find(' ');
        out.push_back(text.substr(0, blank));
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    }
    return out;
}

const CommandSpec* findCommand(std::string_view name) {
    for (const CommandSpec& spec : kCommands) {
        if (spec.name == name) {
            return &spec;
        }
    }
    return nullptr;
}

const OptionSpec* findOption(std::string_view name) {
    for (const OptionSpec& spec : kOptions) {
        if (spec.name == name) {
            return &spec;
        }
    }
    return nullptr;
}

// Combinations the engine would refuse or quietly override.
bool checkCombinations(const PlayOptions& o, std::string& error) {
    if (o.loop && o.seekMs) {
        error = "--loop starts at its own START_MS; it cannot be combined with --seek";
    } else if (o.loop && o.reverse) {
        error = "--loop cannot be combined with --reverse";
    }
    return error.empty();
}

class Parser {
  public:
    explicit Parser(std::span<const char* const> args) : args_(args) {}

    CommandLine::Result run() {
        CommandLine::Result result;
        result.ok = parse(result.options, result.error);
        return result;
    }

  private:
    bool parse(PlayOptions& o, std::string& error) {
        if (args_.empty()) {
            error = "no command given";
            return false;
        }
        const std::string_view first = args_[0];
        if (first == "--help" || first == "-h" || first == "help") {
            o.command = Command::Help;
            return true;
        }
        const CommandSpec* command = findCommand(first);
        if (!command) {
            error = "unknown command '" + std::string(first) + "'";
            return false;
        }
        o.command = command->command;
        std::vector<std::string_view> positionals;
        if (!readArguments(*command, o, positionals, error)) {
            return false;
        }
        const std::vector<std::string_view> wanted = words(command->arguments);
        if (positionals.size() != wanted.size()) {
            error = std::string(command->name) +
                    (wanted.empty() ? " takes no arguments"
                                    : " needs " + std::string(command->arguments));
            return false;
        }
        if (!wanted.empty()) {
            o.file = positionals[0];
        }
        if (wanted.size() > 1) {
            o.output = positionals[1];
        }
        return checkCombinations(o, error);
    }

    bool readArguments(const CommandSpec& command, PlayOptions& o,
                       std::vector<std::string_view>& positionals, std::string& error) {
        bool optionsEnded = false;
        std::vector<std::string_view> seen;
        for (size_t i = 1; i < args_.size(); ++i) {
            const std::string_view arg = args_[i];
            if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
                positionals.push_back(arg);
                continue;
            }
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            const OptionSpec* option = findOption(arg);
            const unsigned bit = 1u << unsigned(command.command);
            if (!option || !(option->commands & bit)) {
                error = "unknown option " + std::string(arg) + " for " + std::string(command.name);
                return false;
            }
            for (std::string_view before : seen) {
                if (before == option->name) {
                    error = std::string(arg) + " is given twice";
                    return false;
                }
            }
            seen.push_back(option->name);
            if (!applyOption(*option, i, o, error)) {
                return false;
            }
        }
        return true;
    }

    // Hands the option at args_[at] its values and moves `at` past them.
    bool applyOption(const OptionSpec& option, size_t& at, PlayOptions& o, std::string& error) {
        const size_t count = words(option.arguments).size();
        if (args_.size() - at - 1 < count) {
            error = std::string(option.name) + " needs " + std::string(option.arguments);
            return false;
        }
        std::vector<std::string_view> values;
        for (size_t k = 0; k < count; ++k) {
            values.emplace_back(args_[at + 1 + k]);
        }
        at += count;
        std::string reason;
        if (!option.apply(o, values, reason)) {
            error = std::string(option.name) + ": " + reason;
            return false;
        }
        return true;
    }

    std::span<const char* const> args_;
};

} // namespace

CommandLine::Result CommandLine::parse(std::span<const char* const> args) {
    return Parser(args).run();
}

std::string CommandLine::usage() {
    std::string text = "usage:\n";
    for (const CommandSpec& c : kCommands) {
        bool options = false;
        for (const OptionSpec& o : kOptions) {
            options = options || (o.commands & (1u << unsigned(c.command)));
        }
        text += "  tolvane-play " + std::string(c.name) +
                (c.arguments.empty() ? "" : " " + std::string(c.arguments)) +
                (options ? " [options]" : "") + "\n      " + std::string(c.help) + "\n";
    }
    text += "  tolvane-play --help\n\noptions:\n";
    for (const OptionSpec& o : kOptions) {
        std::string line = "  " + std::string(o.name);
        if (!o.arguments.empty()) {
            line += " " + std::string(o.arguments);
        }
        line += "\n      " + std::string(o.help);
        if (!(o.commands & kDecode)) {
            line += " (play only)";
        }
        text += line + "\n";
    }
    text += "\nexit status: 0 success, 1 the engine or a file failed (its reason is the last\n"
            "line on standard error), 2 usage error\n";
    return text;
}

} // namespace tolvane::play
