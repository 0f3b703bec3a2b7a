#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace tolvane {

// Text handed to the client from outside its window (`tolvane --read…`, the
// desktop entry's actions, a key bound to them), to be read as typed text.
struct ReadRequest {
    enum class Source { kText, kFile, kSelection, kClipboard };
    Source source = Source::kText;
    // The text; for the selection and the clipboard, what they held when asked.
    std::u16string text;
    std::filesystem::path file; // kFile: read as Open Text reads it
    // kSelection: false where the desktop keeps no primary selection.
    bool offered = true;
};

// What came of a request: read, or why not (the same text the status line shows).
struct ReadOutcome {
    bool reading = false;
    std::u16string reason;
};

using ReadDone = std::function<void(const ReadOutcome&)>;

} // namespace tolvane
