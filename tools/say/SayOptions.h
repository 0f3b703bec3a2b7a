#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvane::say {

// The command line of tolvane-say.
struct SayOptions {
    std::string configPath; // --config FILE; empty: the usual lookup
    std::string language;   // --lang; empty: the configured language
    bool trace = false;     // --trace: trace lines on standard error
    bool follow = false;    // --follow: each word as it is heard, with its time
    int feed = 0;           // --feed N (1-based); 0 reads text
    std::string file;       // --file FILE: a document to read; empty reads the text
    bool resume = false;    // --resume: a document from the part last read
    // --rate and --volume (0-100) and --voice NAME: the speech settings for
    // this run in place of the configured ones.
    std::optional<int> rate;
    std::optional<int> volume;
    std::optional<std::string> voice;
    bool help = false;
    std::vector<std::string> words; // the text, when given as arguments
    bool fromStdin = false;         // no words, or the one word "-"
};

struct ParsedOptions {
    bool ok = false;
    std::string error; // a usage error, when not ok
    SayOptions options;
};

// Parses the arguments after the program name.
ParsedOptions parseSayOptions(const std::vector<std::string>& args);

extern const char* const kSayUsage;

} // namespace tolvane::say
