#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

// The texts controllers send to the dialog, held in slots of 256 UTF-16 units
// (255 of text and the terminator).
class ReportText {
  public:
    static constexpr size_t kSlotUnits = 256;

    // `utf8` converted to UTF-16 (ill-formed bytes become U+FFFD), cut to fit a
    // slot of `units` units; a cut never splits a surrogate pair.
    static std::u16string fromUtf8(std::string_view utf8, size_t units = kSlotUnits);

    // `text` cut to fit a slot of `units` units.
    static std::u16string fit(std::u16string text, size_t units = kSlotUnits);

    // "%s[%s]": a failure text directly followed by libcurl's error text.
    static std::u16string withTransferError(std::u16string_view text, std::string_view curlError);

    // "%s [%s, %s]": a failure text with the server's errcode and errmsg.
    static std::u16string withServerError(std::u16string_view text, std::string_view errcode,
                                          std::string_view errmsg);

    // `bytes` cut to at most `limit` bytes, as texts are copied into 256-byte fields.
    static std::string field(std::string_view bytes, size_t limit = kSlotUnits - 1);
};

} // namespace tolvane
