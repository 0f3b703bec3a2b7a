// tolvane-say: reads text (or a news feed) aloud without a window. See
// tools/say/SayOptions.cpp for the command line.
#include "documents/DocumentReader.h"
#include "platform/StreamIdentity.h"
#include "platform/Text.h"
#include "tools/say/SayApp.h"
#include "tools/say/SayOptions.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted = true;
}

// Ctrl-C (and SIGTERM) stop the reading cleanly; a second one ends the
// program at once.
void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += text.empty() ? word : " " + word;
    }
    return text;
}

std::string trimmed(std::string text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

int main(int argc, char** argv) {
    using namespace tolvane::say;
    const ParsedOptions parsed = parseSayOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::cerr << "tolvane-say: " << parsed.error << "\n" << kSayUsage;
        return 2;
    }
    if (parsed.options.help) {
        std::cout << kSayUsage;
        return 0;
    }
    std::u16string text;
    if (!parsed.options.file.empty()) {
        const tolvane::OpenedDocument opened = tolvane::openDocument(parsed.options.file);
        if (!opened) {
            std::cerr << "tolvane-say: " << parsed.options.file << ": " << opened.problem.message
                      << "\n";
            return 1;
        }
        text = opened.document.text();
    } else if (parsed.options.feed == 0) {
        const std::string typed = trimmed(
            parsed.options.fromStdin ? std::string(std::istreambuf_iterator<char>(std::cin), {})
                                     : joined(parsed.options.words));
        text = tolvane::platform::ansiToUtf16(typed);
        if (text.empty()) {
            std::cerr << "tolvane-say: no text to read\n" << kSayUsage;
            return 2;
        }
    }
    catchInterrupts();
    // The window's command-line twin reads aloud under the same name and role.
    tolvane::platform::announceStreamIdentity({"Tolvane", "tolvane", "speech"});
    SayApp app(parsed.options, std::move(text), std::cout, std::cerr, interrupted);
    return app.run();
}
