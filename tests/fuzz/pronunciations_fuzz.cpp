// Feeds arbitrary bytes to the pronunciations file's reader and writer, and
// its rules to the replacement of a text: what is read must be written back
// unchanged and read again the same, and every replacement must lie inside
// the texts and account for all of the text sent.
#include "config/Pronunciations.h"
#include "platform/Text.h"
#include "ui/core/Pronouncer.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

using tolvane::Pronouncer;

void checkReplaced(std::u16string_view text, const Pronouncer::Result& result) {
    std::u16string rebuilt;
    int at = 0;
    for (const Pronouncer::Replaced& piece : result.replaced) {
        if (piece.at < at || piece.length <= 0 || piece.at + piece.length > int(text.size()) ||
            piece.spokenAt != int(rebuilt.size() + size_t(piece.at - at)) ||
            piece.spokenAt + piece.spokenLength > int(result.text.size())) {
            __builtin_trap();
        }
        rebuilt.append(text.substr(size_t(at), size_t(piece.at - at)));
        rebuilt.append(result.text.substr(size_t(piece.spokenAt), size_t(piece.spokenLength)));
        at = piece.at + piece.length;
    }
    rebuilt.append(text.substr(size_t(at)));
    if (rebuilt != result.text) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using tolvane::PronunciationFile;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const PronunciationFile::Parsed parsed = PronunciationFile::parse(bytes);
    const std::string written = PronunciationFile::merged(bytes, parsed.rules);
    const PronunciationFile::Parsed again = PronunciationFile::parse(written);
    if (again.rules != parsed.rules || again.problems.size() != parsed.problems.size() ||
        PronunciationFile::merged(written, parsed.rules) != written) {
        __builtin_trap();
    }

    const std::u16string text = tolvane::platform::utf8ToUtf16(bytes);
    for (const auto language :
         {tolvane::Pronunciation::Language::kEnglish, tolvane::Pronunciation::Language::kChinese}) {
        int64_t room = int64_t(size % 64);
        const int64_t given = room;
        const Pronouncer::Result result = Pronouncer(parsed.rules, language).apply(text, room);
        checkReplaced(text, result);
        if (int64_t(result.text.size()) - int64_t(text.size()) > given) {
            __builtin_trap();
        }
    }
    return 0;
}
