#include "tools/say/SayOptions.h"

#include <charconv>

namespace tolvane::say {

const char* const kSayUsage =
    "usage: tolvane-say [--config FILE] [--lang zh-CN|en-US] [--trace] [TEXT...]\n"
    "       tolvane-say [--config FILE] [--lang zh-CN|en-US] [--trace] --feed N\n"
    "Reads TEXT aloud through the configured speech server (standard input when\n"
    "no TEXT or \"-\" is given), or with --feed the N-th news feed of the user,\n"
    "item by item. Prints every report as MESSAGE/CODE followed by its payload.\n"
    "Exit status: 0 when the reading ended, 1 after a failure, 2 for a usage\n"
    "error, 130 when interrupted.\n";

namespace {

// "--name VALUE" or "--name=VALUE"; advances `i` past what it took.
bool valueOf(const std::vector<std::string>& args, size_t& i, const std::string& name,
             std::string& value, std::string& error) {
    const std::string& arg = args[i];
    if (arg.rfind(name + "=", 0) == 0) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

bool isOption(const std::string& arg, const std::string& name) {
    return arg == name || arg.rfind(name + "=", 0) == 0;
}

bool parseFeed(const std::string& text, int& feed) {
    const char* end = text.data() + text.size();
    const auto [last, ec] = std::from_chars(text.data(), end, feed);
    return ec == std::errc() && last == end && feed >= 1;
}

} // namespace

ParsedOptions parseSayOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    SayOptions& o = parsed.options;
    bool textOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        if (textOnly || arg == "-" || arg.empty() || arg[0] != '-') {
            o.words.push_back(arg);
        } else if (arg == "--") {
            textOnly = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (isOption(arg, "--config")) {
            if (!valueOf(args, i, "--config", o.configPath, parsed.error)) {
                return parsed;
            }
            if (o.configPath.empty()) {
                parsed.error = "--config needs a file name";
                return parsed;
            }
        } else if (isOption(arg, "--lang")) {
            if (!valueOf(args, i, "--lang", o.language, parsed.error)) {
                return parsed;
            }
            if (o.language != "zh-CN" && o.language != "en-US") {
                parsed.error = "--lang takes zh-CN or en-US, not \"" + o.language + "\"";
                return parsed;
            }
        } else if (isOption(arg, "--feed")) {
            if (!valueOf(args, i, "--feed", value, parsed.error)) {
                return parsed;
            }
            if (!parseFeed(value, o.feed)) {
                parsed.error = "--feed takes a feed number from 1, not \"" + value + "\"";
                return parsed;
            }
        } else {
            parsed.error = "unknown option " + arg;
            return parsed;
        }
    }
    if (o.feed > 0 && !o.words.empty()) {
        parsed.error = "--feed reads a feed; give no text with it";
        return parsed;
    }
    if (o.words.size() == 1 && o.words[0] == "-") {
        o.words.clear();
        o.fromStdin = true;
    } else if (o.words.empty() && o.feed == 0) {
        o.fromStdin = true;
    }
    parsed.ok = true;
    return parsed;
}

} // namespace tolvane::say
