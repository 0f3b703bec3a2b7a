// Arbitrary bytes through the speech server's script splitter: the runs must
// cover the text in order, alternate in script, keep well-formed text's
// characters whole, and put ASCII letters in Latin runs and ideographs in Han
// runs.
#include "server/ScriptRuns.h"
#include "server/Utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using tolvane::server::Script;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkCharacters(const tolvane::server::ScriptRun& run) {
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < run.text.size();) {
        const std::size_t length = tolvane::server::decodeUtf8(run.text, pos, cp);
        if (length == 0) {
            ++pos;
            continue;
        }
        const bool letter = (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z');
        check(!letter || run.script == Script::Latin);
        check(!(cp >= 0x4E00 && cp <= 0x9FFF) || run.script == Script::Han);
        pos += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const Script neutral = (data[0] & 1) != 0 ? Script::Han : Script::Latin;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool wellFormed = tolvane::server::isValidUtf8(text);
    const char* next = text.data();
    bool first = true;
    Script previous = neutral;
    for (const tolvane::server::ScriptRun& run : tolvane::server::splitScripts(text, neutral)) {
        check(run.text.data() == next && !run.text.empty());
        check(first || run.script != previous);
        check(!wellFormed || tolvane::server::isValidUtf8(run.text));
        checkCharacters(run);
        next = run.text.data() + run.text.size();
        previous = run.script;
        first = false;
    }
    check(next == text.data() + text.size());
    return 0;
}
