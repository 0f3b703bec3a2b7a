#include "platform/Text.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <initializer_list>
#include <langinfo.h>
#include <locale.h>
#include <optional>

namespace tolvane::platform {

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr const char* kUtf16 = kLittleEndian ? "UTF-16LE" : "UTF-16BE";
constexpr const char* kUtf32 = kLittleEndian ? "UTF-32LE" : "UTF-32BE";
constexpr char32_t kReplacement = U'\uFFFD';

class Iconv {
  public:
    Iconv(const std::string& to, const std::string& from)
        : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

// Runs `cd` over all of `in`. Where the input cannot be converted, `skip` input
// bytes are dropped and `replacement` (already in the target charset) is
// written; with no replacement the run fails (nullopt) instead, except for a
// sequence cut off at the end when `cutEndAllowed`, which is dropped.
std::optional<std::string> runIconv(Iconv& cd, std::string_view in, size_t skip,
                                    std::optional<std::string_view> replacement,
                                    bool cutEndAllowed = false) {
    std::string out;
    out.resize(in.size() * 2 + 16);
    size_t used = 0;
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    bool flushing = false;
    for (;;) {
        char* outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        const size_t result = flushing ? iconv(cd.get(), nullptr, nullptr, &outPtr, &outLeft)
                                       : iconv(cd.get(), &inPtr, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        used = static_cast<size_t>(outPtr - out.data());
        if (result != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = true;
            continue;
        }
        if (error == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (flushing) {
            break;
        }
        if (!replacement) {
            if (error != EINVAL || !cutEndAllowed) {
                return std::nullopt;
            }
            inLeft = 0; // the cut-off sequence goes; what came before is flushed
            flushing = true;
            continue;
        }
        // EILSEQ: a bad or unconvertible sequence; EINVAL: one cut off at the end.
        const size_t drop = error == EILSEQ ? std::min(skip, inLeft) : inLeft;
        inPtr += drop;
        inLeft -= drop;
        out.resize(std::max(out.size(), used + replacement->size()));
        out.replace(used, replacement->size(), *replacement);
        used += replacement->size();
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
    return out;
}

std::u16string utf16Of(const std::string& bytes) {
    std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    return text;
}

std::string bytesOf(std::u32string_view text) {
    return {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char32_t)};
}

std::u32string codePointsOf(const std::string& bytes) {
    std::u32string text(bytes.size() / sizeof(char32_t), U'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char32_t));
    return text;
}

// The code points of `text` in `charset`, U+FFFD for each invalid sequence;
// `unit` is the charset's code unit size in bytes.
bool decode(std::string_view text, const std::string& charset, size_t unit, std::u32string& out) {
    Iconv cd(kUtf32, charset);
    if (!cd.ok()) {
        return false;
    }
    const char32_t replacement[] = {kReplacement};
    out = codePointsOf(*runIconv(cd, text, unit, bytesOf({replacement, 1})));
    return true;
}

bool encode(std::u32string_view text, const std::string& charset, std::string& out) {
    Iconv cd(charset, kUtf32);
    if (!cd.ok()) {
        return false;
    }
    // Only invalid code points can fail a Unicode target; anything else lacks a
    // character in the 8-bit target.
    std::string replacement = "?";
    if (charset == kUtf16) {
        const char16_t fffd = u'\uFFFD';
        replacement.assign(reinterpret_cast<const char*>(&fffd), sizeof fffd);
    } else if (charset == "UTF-8") {
        replacement = "\xEF\xBF\xBD";
    }
    out = *runIconv(cd, bytesOf(text), sizeof(char32_t), replacement);
    return true;
}

size_t unitSize(const std::string& charset) {
    const auto startsWithAny = [&](std::initializer_list<std::string_view> prefixes) {
        return std::any_of(prefixes.begin(), prefixes.end(),
                           [&](std::string_view prefix) { return charset.starts_with(prefix); });
    };
    if (startsWithAny({"UTF-16", "UTF16", "UCS-2", "UCS2", "UNICODE"})) {
        return 2;
    }
    return startsWithAny({"UTF-32", "UTF32", "UCS-4", "UCS4", "WCHAR_T"}) ? 4 : 1;
}

std::string convertOrKeep(std::string_view text, const std::string& from, const std::string& to) {
    std::string out;
    if (!convertCharset(text, from, to, out)) {
        out.assign(text);
    }
    return out;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool isAsciiCharset(const std::string& name) {
    const std::string n = upper(name);
    return n == "ANSI_X3.4-1968" || n == "ASCII" || n == "US-ASCII" || n == "646";
}

bool iconvKnows(const std::string& name) {
    Iconv cd(kUtf32, name);
    return cd.ok();
}

std::string localeName() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C";
}

// The codeset a locale name spells out ("zh_CN.gb18030@x" gives "GB18030"),
// with glibc's short spelling of UTF-8 made canonical.
std::string codesetOf(const std::string& locale) {
    const size_t dot = locale.find('.');
    if (dot == std::string::npos) {
        return {};
    }
    std::string codeset = upper(locale.substr(dot + 1, locale.find('@', dot) - dot - 1));
    return codeset == "UTF8" ? "UTF-8" : codeset;
}

// The codeset the installed locale definition gives, for names without one.
std::string installedCodeset(const std::string& locale) {
    locale_t handle = newlocale(LC_CTYPE_MASK, locale.c_str(), static_cast<locale_t>(nullptr));
    if (handle == static_cast<locale_t>(nullptr)) {
        return {};
    }
    std::string codeset = nl_langinfo_l(CODESET, handle);
    freelocale(handle);
    return codeset;
}

} // namespace

bool convertCharset(std::string_view text, const std::string& from, const std::string& to,
                    std::string& out) {
    std::u32string codePoints;
    return decode(text, from, unitSize(upper(from)), codePoints) && encode(codePoints, to, out);
}

bool decodeExactly(std::string_view text, const std::string& charset, std::u16string& out,
                   bool cutEndAllowed) {
    Iconv cd(kUtf16, charset);
    if (!cd.ok()) {
        return false;
    }
    const std::optional<std::string> bytes = runIconv(cd, text, 0, std::nullopt, cutEndAllowed);
    if (!bytes) {
        return false;
    }
    out = utf16Of(*bytes);
    return true;
}

std::string ansiCharset() {
    const std::string locale = localeName();
    if (locale == "C" || locale == "POSIX") {
        return "UTF-8";
    }
    for (const std::string& codeset : {codesetOf(locale), installedCodeset(locale)}) {
        if (!codeset.empty() && iconvKnows(codeset)) {
            return isAsciiCharset(codeset) ? "UTF-8" : codeset;
        }
    }
    return "UTF-8";
}

std::u16string utf8ToUtf16(std::string_view text) {
    return utf16Of(convertOrKeep(text, "UTF-8", kUtf16));
}

std::string utf16ToUtf8(std::u16string_view text) {
    return convertOrKeep({reinterpret_cast<const char*>(text.data()), text.size() * 2}, kUtf16,
                         "UTF-8");
}

std::string ansiToUtf8(std::string_view text) {
    return convertOrKeep(text, ansiCharset(), "UTF-8");
}

std::string utf8ToAnsi(std::string_view text) {
    return convertOrKeep(text, "UTF-8", ansiCharset());
}

std::u16string ansiToUtf16(std::string_view text) {
    return utf8ToUtf16(ansiToUtf8(text));
}

std::string utf16ToAnsi(std::u16string_view text) {
    const std::string utf8 = utf16ToUtf8(text);
    return utf8ToAnsi(utf8);
}

std::string latin1ToAnsi(std::string_view text) {
    return convertOrKeep(text, "ISO-8859-1", ansiCharset());
}

} // namespace tolvane::platform
