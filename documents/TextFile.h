#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// A text file for the text box (Open Text, or a file dropped on the box):
// read, decoded and cut to the box's limit. No toolkit here; the front ends
// only choose the file.
class TextFile {
  public:
    // The most bytes read of one file; a longer file is read this far and cut
    // like any text longer than the limit.
    static constexpr size_t kMaxReadBytes = size_t(16) << 20;

    enum class Outcome {
        kLoaded,     // the whole text
        kCut,        // the first `limit` characters
        kUnreadable, // the file cannot be read (`error` says why)
        kNotText,    // no charset tried decodes it, or it holds NUL characters
    };

    struct Result {
        Outcome outcome = Outcome::kUnreadable;
        std::u16string text; // line breaks as "\n"
        std::string error;   // the system's reason, for kUnreadable
    };

    // Reads `path` and keeps at most `limit` UTF-16 units of its text (never
    // half a surrogate pair), decoded as decode() does with the locale's
    // charset.
    static Result load(const std::filesystem::path& path, int limit);
    // Keeps at most `limit` UTF-16 units of `text`, never half a surrogate
    // pair; true when something was cut off.
    static bool cut(std::u16string& text, int limit);

    // The text of a file's bytes: with a byte-order mark, UTF-8, UTF-16LE or
    // UTF-16BE as it says; otherwise UTF-8 when every byte is valid UTF-8;
    // else `localeCharset` (unless it is UTF-8), then GB18030. Line breaks
    // (CR LF, a lone CR) become "\n". `truncated` says the bytes stop before
    // the file's end, so a character cut off there is dropped. Nothing when
    // no charset decodes it all.
    static std::optional<std::u16string>
    decode(std::string_view bytes, const std::string& localeCharset, bool truncated = false);
};

} // namespace tolvane
