#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tolvane {

// What the client identity describes, gathered from the system or supplied by
// a test.
struct SystemValues {
    uint32_t processorCount = 0;
    uint32_t processorType = 0;
    int32_t majorVersion = 0;
    int32_t minorVersion = 0;
    uint16_t langId = 0;
    int32_t screenWidth = 0;
    int32_t screenHeight = 0;
};

// The one-line machine description every add request sends as `useragent`:
// "win32[CPU Number:%u; CPU Type: %u; Windows %d.%d; %s, Width:%d,Height:%d]".
// The line keeps the desktop client's wording so servers see one format.
class ClientIdentity {
  public:
    // This machine's values; the screen size is the caller's (the GUI passes
    // the display size, a headless program 0 x 0).
    static SystemValues systemValues(int32_t screenWidth = 0, int32_t screenHeight = 0);

    static std::string format(const SystemValues& values);

    // The English name of a LANGID, blanks and all; empty for a LANGID the
    // table does not name.
    static std::string_view languageName(uint16_t langId);

    // The LANGID of a locale name such as "zh_CN.UTF-8" or "sr_RS@latin": its
    // language and region when the table names them, else the language alone
    // (sublanguage 0), else 0; "C" and "POSIX" count as US English.
    static uint16_t langIdOfLocale(std::string_view locale);

    // The LANGID of the locale in LC_ALL, else LANG.
    static uint16_t systemLangId();

    // The first two numbers of a kernel release such as "6.1.0-18-amd64".
    static std::pair<int32_t, int32_t> kernelVersion(std::string_view release);

    // The processor type number this program was built for: 8664 (x86-64),
    // 586 (32-bit x86), 43620 (64-bit ARM), else 0.
    static uint32_t processorType();
};

} // namespace tolvane
