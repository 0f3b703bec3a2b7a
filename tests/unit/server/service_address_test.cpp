#include "server/ServiceAddress.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane::server {
namespace {

TEST(ServiceAddressTest, OnlyAPlainHostPortAndAPlainPublicUrlAreTaken) {
    for (const char* host : {"localhost", "127.0.0.1:8080", "my_box.lan:65535", "[::1]",
                             "[2001:db8::7]:80", "[::ffff:192.0.2.1]:1"}) {
        EXPECT_TRUE(isPlainHostPort(host)) << host;
    }
    for (const char* host :
         {"", ":8080", "host:", "host:0", "host:65536", "host:80:81", "a..b", "evil.test/x",
          "evil.test?x", "user@evil.test", "a b", "evil&x=1", "[::1", "[::1]x",
          "[::1]:", "[evil.test]", "[::1%eth0]", "évil.test"}) {
        EXPECT_FALSE(isPlainHostPort(host)) << host;
    }
    EXPECT_FALSE(isPlainHostPort(std::string(129, 'a')));
    EXPECT_FALSE(isPlainHostPort(std::string("a\0b", 3)));

    for (const char* url : {"http://tts.example.test", "https://[::1]:8443/speech/~v1_x-y.z"}) {
        EXPECT_TRUE(isPublicUrl(url)) << url;
    }
    for (const char* url :
         {"tts.example.test", "ftp://tts.example.test", "http://", "http:///x", "http://a.test/",
          "http://a.test/x?y", "http://a.test/a&b", "http://a.test/a b", "http://a.test:99999"}) {
        EXPECT_FALSE(isPublicUrl(url)) << url;
    }
}

} // namespace
} // namespace tolvane::server
