#pragma once

// The playback controller with its notifications turned into reports by the
// speech job as the dialog receives them, shared by the tests that play into
// the real sound sink and into the null output.
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"

#include "playback/PlaybackController.h"
#include "protocol/SpeechJobController.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tolvane::test {

// The controller in FILE or MEMORY mode (the parameter) over `backend`. The
// downloads go to a runtime folder of this program's own, so that another
// program's download is not taken for a leftover of these tests.
class PlaybackFixture : public ::testing::TestWithParam<PlaybackController::Mode> {
  protected:
    explicit PlaybackFixture(std::shared_ptr<AudioBackend> backend)
        : playback_(std::move(backend)) {}

    static void SetUpTestSuite();
    void SetUp() override;

    bool ended();
    // Plays `url` to its end and returns the reports; no downloaded file may be left.
    std::vector<std::string> playToTheEnd(const std::string& url, int timeOut = 10);
    // Pumps until `report` has come `times` times since the last clear.
    bool pumpUntilReported(const std::string& report, size_t times = 1);
    // Starts `url` and pumps until the sound plays.
    void startPlaying(const std::string& url);

    std::string codes() const { return codesOf(recorder_.reports()); }
    static std::string codes(const std::vector<std::string>& reports) { return codesOf(reports); }
    // The reports of a reading played to its end. A streamed download goes on
    // while the audio plays, so its progress may fall between playing reports.
    static bool playedToTheEnd(const std::vector<std::string>& reports);

    DownloadsWatch downloads_;
    RecordingPort recorder_;
    PlaybackController playback_;
    SpeechJobController job_;
};

// Names the File and Memory instances of a PlaybackFixture suite.
std::string modeName(const ::testing::TestParamInfo<PlaybackController::Mode>& info);

} // namespace tolvane::test
