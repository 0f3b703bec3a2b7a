#include "tools/play/CommandLine.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

namespace tolvane::play {

namespace {

// Bits of the commands an option applies to.
constexpr unsigned kDecode = 1u << unsigned(Command::Decode);
constexpr unsigned kPlay = 1u << unsigned(Command::Play);
constexpr unsigned kTags = 1u << unsigned(Command::Tags);
constexpr unsigned kSpectrum = 1u << unsigned(Command::Spectrum);
constexpr unsigned kSounding = kPlay | kSpectrum;  // commands that play on a device
constexpr unsigned kRunning = kDecode | kSounding; // commands that run the decoder

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
    {"tags", Command::Tags, "FILE",
     "print the ID3v1 (--v1) or ID3v2 (--v2) tag as one line of JSON"},
    {"spectrum", Command::Spectrum, "FILE",
     "play and show level meters and a coarse spectrum a few times a second"},
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

// Gains beyond ±96 dB put every 16-bit sample below its last bit or at full
// scale; the bound also keeps thousandths of a dB well inside 32 bits.
constexpr int64_t kMaxGainDb = 96;
// The band equalizer's frequency points: 96000 Hz stands for "no upper edge".
constexpr int64_t kMaxPointHz = 96000;
// An 8191-tap filter resolves a few Hz; more bands than this add only design time.
constexpr size_t kMaxPoints = 64;

std::vector<std::string_view> commaList(std::string_view text) {
    std::vector<std::string_view> items;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) {
            return items;
        }
        start = comma + 1;
    }
}

bool parseWholeDb(std::string_view text, int32_t& db, std::string& error) {
    int64_t value = 0;
    if (!parseNumber(text, -kMaxGainDb, kMaxGainDb, "a gain in whole dB", value, error)) {
        return false;
    }
    db = int32_t(value);
    return true;
}

// A gain in dB, in decimal notation, as whole thousandths of a dB.
bool parseMilliDb(std::string_view text, int32_t& milli, std::string& error) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (ec != std::errc() || stop != end || !(value >= -double(kMaxGainDb)) ||
        !(value <= double(kMaxGainDb))) {
        error = "'" + std::string(text) + "' is not a gain in dB (-" + std::to_string(kMaxGainDb) +
                ".." + std::to_string(kMaxGainDb) + ")";
        return false;
    }
    milli = int32_t(std::lround(value * 1000));
    return true;
}

bool checkCount(size_t given, size_t min, size_t max, std::string_view what, std::string& error) {
    if (given >= min && given <= max) {
        return true;
    }
    error = std::to_string(given) + " " + std::string(what) + " given, " +
            (min == max ? std::to_string(min) : std::to_string(min) + ".." + std::to_string(max)) +
            " wanted";
    return false;
}

bool applySubbandEq(PlayOptions& o, Values v, std::string& error) {
    SubbandEq eq;
    const std::vector<std::string_view> gains = commaList(v[1]);
    if (!parseWholeDb(v[0], eq.preampDb, error) ||
        !checkCount(gains.size(), eq.gainsDb.size(), eq.gainsDb.size(), "gains", error)) {
        return false;
    }
    for (size_t i = 0; i < gains.size(); ++i) {
        if (!parseWholeDb(gains[i], eq.gainsDb[i], error)) {
            return false;
        }
    }
    o.subbandEq = eq;
    return true;
}

bool applyEqBands(PlayOptions& o, Values v, std::string& error) {
    const std::vector<std::string_view> items = commaList(v[0]);
    if (!checkCount(items.size(), 2, kMaxPoints, "points", error)) {
        return false;
    }
    std::vector<int32_t> points;
    for (std::string_view item : items) {
        int64_t hz = 0;
        if (!parseNumber(item, 0, kMaxPointHz, "a frequency in Hz", hz, error)) {
            return false;
        }
        if (!points.empty() && hz <= points.back()) {
            error = "the points must rise: " + std::string(item) + " follows " +
                    std::to_string(points.back());
            return false;
        }
        points.push_back(int32_t(hz));
    }
    o.eqBands = points;
    return true;
}

bool applyEqGains(PlayOptions& o, Values v, std::string& error) {
    BandGains eq;
    const std::vector<std::string_view> gains = commaList(v[1]);
    if (!parseMilliDb(v[0], eq.preampMilli, error)) {
        return false;
    }
    for (std::string_view gain : gains) {
        int32_t milli = 0;
        if (!parseMilliDb(gain, milli, error)) {
            return false;
        }
        eq.gainsMilli.push_back(milli);
    }
    o.eqGains = eq;
    return true;
}

bool applyEcho(PlayOptions& o, Values v, std::string& error) {
    const std::vector<std::string_view> items = commaList(v[0]);
    if (!checkCount(items.size(), 5, 5, "values", error)) {
        return false;
    }
    EchoSettings echo;
    int64_t mode = 0;
    int64_t delay = 0;
    if (!parseNumber(items[0], 0, 9, "an echo mode", mode, error) ||
        !parseNumber(items[1], 0, 1000, "a delay in milliseconds", delay, error) ||
        !parseWholeDb(items[2], echo.dryDb, error) || !parseWholeDb(items[3], echo.wetDb, error) ||
        !parseWholeDb(items[4], echo.outputDb, error)) {
        return false;
    }
    echo.mode = int32_t(mode);
    echo.delayMs = int32_t(delay);
    o.echo = echo;
    return true;
}

bool applyV1(PlayOptions& o, Values, std::string&) {
    o.tagVersion |= 1;
    return true;
}

bool applyV2(PlayOptions& o, Values, std::string&) {
    o.tagVersion |= 2;
    return true;
}

bool applyPoints(PlayOptions& o, Values v, std::string& error) {
    int64_t points = 0;
    const char* what = "a power of two";
    if (!parseNumber(v[0], 32, 16384, what, points, error)) {
        return false;
    }
    if ((points & (points - 1)) != 0) {
        error = "'" + std::string(v[0]) + "' is not " + what + " (32..16384)";
        return false;
    }
    o.fftPoints = int32_t(points);
    return true;
}

// The engine's window types in the order of their numbers 1..14.
constexpr std::string_view kWindowNames[] = {
    "rectangular",      "hamming", "hann",          "sine",     "lanczos", "bartlett",
    "triangular",       "gauss",   "bartlett-hann", "blackman", "nuttall", "blackman-harris",
    "blackman-nuttall", "flat-top"};

bool applyWindow(PlayOptions& o, Values v, std::string& error) {
    for (size_t i = 0; i < std::size(kWindowNames); ++i) {
        if (v[0] == kWindowNames[i]) {
            o.fftWindow = int32_t(i + 1);
            return true;
        }
    }
    int64_t type = 0;
    if (!parseNumber(v[0], 1, int64_t(std::size(kWindowNames)), "a window type", type, error)) {
        error += "; or a name:";
        for (std::string_view name : kWindowNames) {
            error += (name == kWindowNames[0] ? " " : ", ") + std::string(name);
        }
        return false;
    }
    o.fftWindow = int32_t(type);
    return true;
}

constexpr OptionSpec kOptions[] = {
    {"--device", "N", kSounding, "play on output device N (see devices; -1 = the system's choice)",
     applyDevice},
    {"--seek", "MS", kRunning, "start MS milliseconds into the stream", applySeek},
    {"--reverse", "", kRunning, "play backwards, from the end or from --seek", applyReverse},
    {"--loop", "START_MS END_MS COUNT", kRunning,
     "play the part from START_MS to END_MS, COUNT times", applyLoop},
    {"--volume", "L R", kRunning, "engine volume of each side in percent (0..100)", applyVolume},
    {"--fade-in", "MS", kRunning, "rise from silence over the first MS milliseconds", applyFadeIn},
    {"--fade-out", "MS", kRunning, "fall to silence over the last MS milliseconds", applyFadeOut},
    {"--mix", "L R", kRunning,
     "mix both channels into one: L percent of the left, R percent of the right", applyMix},
    {"--vocal-cut", "", kRunning, "remove what both channels share (centred voices)",
     applyVocalCut},
    {"--eq-subband", "PREAMP G0,...,G9", kRunning,
     "sub-band equalizer: preamp and ten band gains in whole dB (-96..96); the bands are\n"
     "      the MPEG sub-bands 0, 1, 2, 3, 4, 5-7, 8-13, 14-18, 19-23, 24-31",
     applySubbandEq},
    {"--eq-bands", "F0,...,Fn", kRunning,
     "band equalizer: rising frequency points in Hz (2..64 of them, 0..96000) with a band\n"
     "      between each two; 96000 means no upper edge (default 0,115,240,455,800,2000,\n"
     "      4500,9000,13000,15000,96000)",
     applyEqBands},
    {"--eq-gains", "PREAMP G0,...", kRunning,
     "band equalizer: preamp and one gain per band in dB (-96..96, to 0.001 dB); decode\n"
     "      starts once the filter is designed",
     applyEqGains},
    {"--echo", "MODE,DELAY,DRY,WET,OUT", kRunning,
     "echo: mode 0..9, delay 0..1000 ms, dry, echo and output gains in whole dB", applyEcho},
    {"--v1", "", kTags, "read the ID3v1 tag at the end of the file", applyV1},
    {"--v2", "", kTags, "read the ID3v2 tag at the start of the file", applyV2},
    {"--points", "N", kSpectrum, "transform size: a power of two from 32 to 16384 (default 2048)",
     applyPoints},
    {"--window", "W", kSpectrum,
     "window: 1..14 or rectangular, hamming, hann (default), sine, lanczos, bartlett,\n"
     "      triangular, gauss, bartlett-hann, blackman, nuttall, blackman-harris,\n"
     "      blackman-nuttall, flat-top",
     applyWindow},
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

// The band count of the equalizer's layout: the engine's ten unless --eq-bands.
size_t bandCount(const PlayOptions& o) {
    return o.eqBands ? o.eqBands->size() - 1 : 10;
}

// Combinations the engine would refuse or quietly override, and options that
// only work together.
bool checkCombinations(const PlayOptions& o, std::string& error) {
    if (o.loop && o.seekMs) {
        error = "--loop starts at its own START_MS; it cannot be combined with --seek";
    } else if (o.loop && o.reverse) {
        error = "--loop cannot be combined with --reverse";
    } else if (o.eqBands && !o.eqGains) {
        error = "--eq-bands needs --eq-gains with a gain for each band";
    } else if (o.eqGains && o.eqGains->gainsMilli.size() != bandCount(o)) {
        error = "--eq-gains: " + std::to_string(o.eqGains->gainsMilli.size()) + " gains given, " +
                std::to_string(bandCount(o)) + " wanted (one per band)";
    } else if (o.command == Command::Tags && o.tagVersion == 0) {
        error = "tags needs --v1 or --v2";
    } else if (o.tagVersion == 3) {
        error = "--v1 and --v2 exclude each other";
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

std::string commandNames(unsigned commands) {
    std::string names;
    for (const CommandSpec& c : kCommands) {
        if (commands & (1u << unsigned(c.command))) {
            names += (names.empty() ? "" : ", ") + std::string(c.name);
        }
    }
    return names + " only";
}

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
        if (o.commands != kRunning) {
            line += " (" + commandNames(o.commands) + ")";
        }
        text += line + "\n";
    }
    text += "\nexit status: 0 success, 1 the engine or a file failed (its reason is the last\n"
            "line on standard error), 2 usage error\n";
    return text;
}

} // namespace tolvane::play
