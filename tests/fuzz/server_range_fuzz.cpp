// Arbitrary Range headers against files of arbitrary size: a part served must
// lie inside the file and be what the header asked for, never wrapped.
#include "server/ByteRange.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) {
        return 0;
    }
    std::uint64_t fileSize = 0;
    std::memcpy(&fileSize, data, sizeof fileSize);
    fileSize %= std::uint64_t(1) << 40;
    const std::string_view header(reinterpret_cast<const char*>(data) + 8, size - 8);
    const tolvane::server::ByteRange range = tolvane::server::fitRange(header, fileSize);
    if (range.kind == tolvane::server::ByteRange::Kind::Part &&
        (range.first > range.last || range.last >= fileSize)) {
        std::abort();
    }
    return 0;
}
