#include "PlaybackFixture.h"

#include "tests/support/TempDir.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

namespace tolvane::test {

using Mode = PlaybackController::Mode;

void PlaybackFixture::SetUpTestSuite() {
    static const TempDir runtime("playback-runtime");
    ASSERT_FALSE(runtime.path().empty());
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
}

void PlaybackFixture::SetUp() {
    job_.setPort(recorder_.port());
    job_.setPlayback(&playback_);
    playback_.setDownloadMode(GetParam());
}

bool PlaybackFixture::ended() {
    return !playback_.running() && playback_.state() == PlaybackController::State::kStopped;
}

std::vector<std::string> PlaybackFixture::playToTheEnd(const std::string& url, int timeOut) {
    recorder_.clear();
    playback_.play(url, 5, timeOut);
    EXPECT_TRUE(recorder_.pumpUntil([&] { return ended(); }))
        << ::testing::PrintToString(recorder_.reports());
    EXPECT_THAT(downloads_.leftovers(), ::testing::ElementsAre()) << "downloaded audio left behind";
    return recorder_.reports();
}

bool PlaybackFixture::pumpUntilReported(const std::string& report, size_t times) {
    return recorder_.pumpUntil([&] {
        const std::vector<std::string> reports = recorder_.reports();
        return size_t(std::count(reports.begin(), reports.end(), report)) >= times;
    });
}

void PlaybackFixture::startPlaying(const std::string& url) {
    recorder_.clear();
    playback_.play(url, 5, 30);
    ASSERT_TRUE(pumpUntilReported("100/170 0")) << codes();
}

bool PlaybackFixture::playedToTheEnd(const std::vector<std::string>& reports) {
    static const std::regex whole("(100/210 )+(100/170 100/200 )+100/190");
    static const std::regex streamed("(100/210 )+(100/(170|200|210) )+100/190");
    return std::regex_match(codesOf(reports), GetParam() == Mode::kFile ? whole : streamed);
}

std::string modeName(const ::testing::TestParamInfo<Mode>& info) {
    return info.param == Mode::kFile ? "File" : "Memory";
}

} // namespace tolvane::test
