// Feeds arbitrary bytes to the INI reader and writer: the whole-file view, the
// integer reading and the one-key edit, which must read back what it wrote.
#include "platform/IniFile.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using tolvane::platform::IniFile;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const IniFile ini = IniFile::parse(bytes);
    for (const std::string& section : ini.sectionNames()) {
        for (const auto& [key, value] : ini.entries(section)) {
            if (!ini.value(section, key)) {
                __builtin_trap();
            }
            IniFile::leadingInt(value);
        }
    }

    const auto edited = IniFile::withValue(bytes, "TolvaneWin32", "Debug_Trace", "ON");
    if (!edited || IniFile::parse(*edited).value("tolvanewin32", "debug_trace") != "ON") {
        __builtin_trap();
    }
    return 0;
}
