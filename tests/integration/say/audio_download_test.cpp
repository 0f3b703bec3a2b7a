// The audio download against peers that send more than any speech or answer
// with redirects: what reaches the sink (the private file or the engine's
// memory) and the failure text.
#include "SayTestSupport.h"

#include "protocol/AudioDownload.h"
#include "protocol/CurlGlobal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint64_t kLimit = 64 * 1024;
constexpr int64_t kHuge = int64_t(2) << 30;

class AudioDownloadTest : public ::testing::Test {
  protected:
    struct Fetched {
        AudioDownload::Result result;
        uint64_t taken = 0; // bytes the sink took
        std::string body;   // the first of them
    };

    // The length request, then the GET with what it found, as playback does.
    // The time-out ends a transfer that nothing else ends.
    static Fetched fetch(const std::string& url, uint64_t maxBytes = kLimit) {
        AudioDownload download(url, {5, 20, {}, maxBytes});
        Fetched fetched;
        fetched.result = download.fetch(
            download.fetchLength(),
            [&fetched](const char* data, size_t size, std::string&) {
                fetched.taken += size;
                fetched.body.append(data, std::min<size_t>(size, 100000 - fetched.body.size()));
                return true;
            },
            {});
        return fetched;
    }

    CurlGlobal curl_;
};

TEST_F(AudioDownloadTest, NoMoreThanTheLimitIsTaken) {
    const std::string zeros(10000, '\0');
    AudioPeer::Behaviour endless; // a length that is never announced
    endless.chunked = true;
    endless.endless = true;
    AudioPeer unannounced(zeros, endless);
    Fetched fetched = fetch(unannounced.url());
    EXPECT_FALSE(fetched.result.completed);
    EXPECT_EQ(fetched.result.error, "The audio is larger than the download limit of 65536 bytes");
    EXPECT_LE(fetched.taken, kLimit);
    EXPECT_GT(fetched.taken, kLimit / 2) << "stopped long before the limit";

    // Announced by the length request: no GET is made.
    AudioPeer::Behaviour announced;
    announced.announced = kHuge;
    announced.endless = true;
    AudioPeer byHead(zeros, announced);
    fetched = fetch(byHead.url());
    EXPECT_EQ(fetched.result.error, AudioDownload::tooLargeText(kLimit));
    EXPECT_THAT(byHead.requests(), ElementsAre("HEAD /audio.mp3 HTTP/1.1"));

    // Announced by the GET alone: refused before its body.
    announced.answerHead = false;
    AudioPeer byGet(zeros, announced);
    fetched = fetch(byGet.url(), ConfigStore::kDefaultDownloadMaxBytes);
    EXPECT_EQ(fetched.result.error, "The audio is larger than the download limit of 256 MB");
    EXPECT_EQ(fetched.taken, 0u);

    // The limit itself is allowed.
    AudioPeer exact(zeros, {});
    fetched = fetch(exact.url(), zeros.size());
    EXPECT_TRUE(fetched.result.completed) << fetched.result.error;
    EXPECT_EQ(fetched.taken, zeros.size());
}

TEST_F(AudioDownloadTest, RedirectsAreFollowedAFewTimesToHttpOnly) {
    const std::string audio = "ID3 the audio";
    AudioPeer target(audio, {});
    AudioPeer::Behaviour moved;
    moved.status = 302;
    moved.location = target.url();
    AudioPeer first("<a>moved</a>", moved);
    Fetched fetched = fetch(first.url());
    EXPECT_TRUE(fetched.result.completed) << fetched.result.error;
    EXPECT_EQ(fetched.body, audio);

    AudioPeer::Behaviour nowhere;
    nowhere.status = 302;
    AudioPeer noLocation("<a>moved</a>", nowhere);
    fetched = fetch(noLocation.url());
    EXPECT_EQ(fetched.result.error, "The server answered HTTP status 302 instead of the audio");
    EXPECT_EQ(fetched.taken, 0u) << fetched.body;

    moved.location = "/audio.mp3"; // to itself
    AudioPeer loop(std::string(), moved);
    fetched = fetch(loop.url());
    EXPECT_EQ(fetched.result.error, "Maximum (5) redirects followed");
    EXPECT_EQ(loop.requests().size(), 12u) << "HEAD and GET, each sent once and followed 5 times";

    moved.location = "file:///etc/passwd";
    AudioPeer toFile(std::string(), moved);
    fetched = fetch(toFile.url());
    EXPECT_THAT(fetched.result.error, HasSubstr("Protocol \"file\""));
    EXPECT_EQ(fetched.taken, 0u) << fetched.body;
}

} // namespace
} // namespace tolvane::test
