#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// The password digest the user verify sends: MD5 (RFC 1321) of the password's
// bytes, as 32 lower-case hexadecimal digits, most significant nibble first.
class Md5Digest {
  public:
    // False with OpenSSL's text in `error` when the digest could not be made.
    static bool hex(std::string_view bytes, std::string& digest, std::string& error);
};

} // namespace tolvane
