#include "tools/say/SayOptions.h"

#include <charconv>

namespace tolvane::say {

const char* const kSayUsage =
    "usage: tolvane-say [--config FILE] [--lang zh-CN|en-US] [--trace] [--follow] [SPEECH]\n"
    "                   [TEXT...]\n"
    "       tolvane-say [--config FILE] [--lang zh-CN|en-US] [--trace] [--follow] [SPEECH]\n"
    "                   --feed N\n"
    "       tolvane-say [--config FILE] [--lang zh-CN|en-US] [--trace] [--follow] [SPEECH]\n"
    "                   --file DOCUMENT [--resume]\n"
    "Reads TEXT aloud through the configured speech server (standard input when\n"
    "no TEXT or \"-\" is given), with --file the text of a document (PDF, EPUB,\n"
    "DOCX, ODT, HTML or plain text), or with --feed the N-th news feed of the\n"
    "user, item by item. A text longer than the user's limit is read in parts,\n"
    "each cut at a sentence end and announced as \"part K/N FROM TO\" (its\n"
    "characters, counted as the limit counts them). The part of a document\n"
    "being read is kept; --resume starts from it.\n"
    "Prints every report as MESSAGE/CODE followed by its payload.\n"
    "--follow also prints each word as it is heard, \"word SECONDS TEXT\" with the\n"
    "word's time in the audio, when the server's audio carries word timings.\n"
    "SPEECH replaces the configured speech settings for this run:\n"
    "  --rate N (0-100, 50 normal), --volume N (0-100), --voice NAME\n"
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

// A whole number from 0 to 100.
bool parseLevel(const std::string& text, std::optional<int>& level) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [last, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || last != end || value < 0 || value > 100) {
        return false;
    }
    level = value;
    return true;
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
        } else if (arg == "--follow") {
            o.follow = true;
        } else if (arg == "--resume") {
            o.resume = true;
        } else if (isOption(arg, "--file")) {
            if (!valueOf(args, i, "--file", o.file, parsed.error)) {
                return parsed;
            }
            if (o.file.empty()) {
                parsed.error = "--file needs a file name";
                return parsed;
            }
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
        } else if (isOption(arg, "--rate") || isOption(arg, "--volume")) {
            const std::string name = arg.substr(0, arg.find('='));
            if (!valueOf(args, i, name, value, parsed.error)) {
                return parsed;
            }
            if (!parseLevel(value, name == "--rate" ? o.rate : o.volume)) {
                parsed.error = name + " takes a whole number from 0 to 100, not \"" + value + "\"";
                return parsed;
            }
        } else if (isOption(arg, "--voice")) {
            if (!valueOf(args, i, "--voice", value, parsed.error)) {
                return parsed;
            }
            if (value.empty() || value.size() > 255 ||
                value.find_first_of("\r\n") != std::string::npos) {
                parsed.error = "--voice takes a name of one line, at most 255 bytes";
                return parsed;
            }
            o.voice = value;
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
    if (!o.file.empty() && (o.feed > 0 || !o.words.empty())) {
        parsed.error = "--file reads a document; give no text or feed with it";
        return parsed;
    }
    if (o.resume && o.file.empty()) {
        parsed.error = "--resume goes with --file";
        return parsed;
    }
    if (o.words.size() == 1 && o.words[0] == "-") {
        o.words.clear();
        o.fromStdin = true;
    } else if (o.words.empty() && o.feed == 0 && o.file.empty()) {
        o.fromStdin = true;
    }
    parsed.ok = true;
    return parsed;
}

} // namespace tolvane::say
