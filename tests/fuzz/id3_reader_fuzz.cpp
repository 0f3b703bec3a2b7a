// Feeds arbitrary bytes to the ID3 reader as a whole stream, asking for the
// ID3v1 tag (present when the bytes end in one, as the engine decides) and for
// the ID3v2 tag. The stream is copied into a buffer of exactly its size, so a
// read past it is an AddressSanitizer finding.
#include "effects/Id3Reader.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool loaded, const tolvane::ID3_TAG_INFO& info) {
    const char* texts[] = {info.pTitle,   info.pArtist, info.pAlbum, info.pYear,
                           info.pComment, info.pTrack,  info.pGenre};
    for (const char* text : texts) {
        if (loaded != (text != nullptr)) {
            __builtin_trap(); // success fills every text, failure none
        }
        if (text != nullptr && std::strlen(text) > (1u << 20)) {
            __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> stream(data, data + size);
    const uint8_t* bytes = stream.empty() ? reinterpret_cast<const uint8_t*>("") : stream.data();
    const bool id3v1Found = size > 128 && std::memcmp(bytes + size - 128, "TAG", 3) == 0;
    tolvane::Id3Reader reader;
    std::string error;
    for (int32_t version : {2, 1, 2}) {
        tolvane::ID3_TAG_INFO info;
        check(reader.load(version, bytes, size, id3v1Found, &info, error), info);
    }
    reader.release();
    return 0;
}
