#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// The decoding of plain text files for the text box and the document reader.
class TextFile {
  public:
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
