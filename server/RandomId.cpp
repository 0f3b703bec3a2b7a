#include "server/RandomId.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>

namespace tolvane::server {

namespace {

std::array<uint8_t, 16> randomBytes() {
    std::array<uint8_t, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // Without a random source no identifier is safe to hand out.
            std::fprintf(stderr, "tolvane-server: getrandom failed: %s\n", std::strerror(errno));
            std::abort();
        }
        filled += static_cast<std::size_t>(got);
    }
    return bytes;
}

std::string hex(const uint8_t* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

} // namespace

std::string randomToken() {
    const auto bytes = randomBytes();
    return hex(bytes.data(), bytes.size());
}

std::string randomUuid() {
    auto bytes = randomBytes();
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    return hex(&bytes[0], 4) + "-" + hex(&bytes[4], 2) + "-" + hex(&bytes[6], 2) + "-" +
           hex(&bytes[8], 2) + "-" + hex(&bytes[10], 6);
}

} // namespace tolvane::server
