// What tolvane-play prints: the tags line's JSON, the spectrum's octave bands
// and its plain lines and bars.
#include "tools/play/AnalysisDisplay.h"
#include "tools/play/BandLevels.h"
#include "tools/play/TagJson.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using namespace tolvane;
using namespace tolvane::play;

TEST(PlayTagJson, QuotesEscapesAndKeepsUtf8) {
    EXPECT_EQ(TagJson::quote(""), "\"\"");
    EXPECT_EQ(TagJson::quote("a\"b\\c/d"), R"("a\"b\\c/d")");
    EXPECT_EQ(TagJson::quote("1\n2\r3\t4"), R"("1\n2\r3\t4")");
    EXPECT_EQ(TagJson::quote(std::string("\x01\x1f\x7f", 3)), R"("\u0001\u001f\u007f")");
    EXPECT_EQ(TagJson::quote("Grüße 中文"), "\"Grüße 中文\"");
}

TEST(PlayTagJson, WritesTheSevenFieldsInOrderAndNullsAsEmpty) {
    char title[] = "T";
    char artist[] = "A\"";
    char year[] = "1999";
    char track[] = "3/12";
    char genre[] = "Rock";
    const ID3_TAG_INFO info{title, artist, nullptr, year, nullptr, track, genre};
    EXPECT_EQ(TagJson::format(info),
              R"({"title":"T","artist":"A\"","album":"","year":"1999","comment":"",)"
              R"("track":"3/12","genre":"Rock"})");
}

TEST(PlaySpectrumBands, OctavesAroundOneKilohertz) {
    EXPECT_EQ(BandLevels::name(0), "31");
    EXPECT_EQ(BandLevels::name(5), "1k");
    EXPECT_EQ(BandLevels::name(9), "16k");
    EXPECT_NEAR(BandLevels::lowerEdge(5), 707.1, 0.1);
    EXPECT_NEAR(BandLevels::upperEdge(5), 1414.2, 0.1);
    for (size_t band = 1; band < BandLevels::kCount; ++band) {
        EXPECT_DOUBLE_EQ(BandLevels::lowerEdge(band), BandLevels::upperEdge(band - 1));
    }
}

// The engine's frequencies for 44100 Hz: whole parts of 44100 ÷ N × j.
std::vector<int32_t> frequencies(int32_t points) {
    std::vector<int32_t> f(size_t(points / 2 + 1));
    for (size_t j = 0; j < f.size(); ++j) {
        f[j] = int32_t(float(44100.0 / points) * float(j));
    }
    return f;
}

TEST(PlaySpectrumBands, TakesTheLoudestValueOfEitherChannel) {
    const std::vector<int32_t> f = frequencies(2048);
    std::vector<int32_t> left(f.size(), 3);
    std::vector<int32_t> right(f.size(), 2);
    left[0] = 99;    // DC belongs to no band
    left[46] = 80;   // 990 Hz
    right[47] = 85;  // 1012 Hz
    right[743] = 70; // 15999 Hz
    const BandLevels::Levels levels = BandLevels::reduce(f, left, right);
    for (size_t band = 0; band < BandLevels::kCount; ++band) {
        ASSERT_TRUE(levels[band].has_value()) << band;
    }
    EXPECT_EQ(*levels[0], 3);
    EXPECT_EQ(*levels[5], 85);
    EXPECT_EQ(*levels[9], 70);
    EXPECT_EQ(*levels[4], 3);
}

// 32 points at 44100 Hz are 1378 Hz apart: the low octaves hold no value.
TEST(PlaySpectrumBands, SmallTransformsLeaveLowBandsEmpty) {
    const std::vector<int32_t> f = frequencies(32);
    const std::vector<int32_t> left(f.size(), 10);
    const BandLevels::Levels levels = BandLevels::reduce(f, left, left);
    for (size_t band = 0; band < 5; ++band) {
        EXPECT_FALSE(levels[band].has_value()) << band;
    }
    for (size_t band = 5; band < BandLevels::kCount; ++band) {
        EXPECT_EQ(levels[band], 10) << band;
    }
}

AnalysisDisplay::Frame sampleFrame() {
    AnalysisDisplay::Frame frame;
    frame.positionMs = 1234;
    frame.lengthMs = 4000;
    frame.levelLeft = 100;
    frame.levelRight = 0;
    frame.bands = {std::nullopt, 1, 2, 3, 4, 115, 0, 7, 8, 9};
    return frame;
}

TEST(PlaySpectrumDisplay, PlainLinesFollowTheHeader) {
    EXPECT_EQ(AnalysisDisplay::header(), "# ms vu_left vu_right 31 63 125 250 500 1k 2k 4k 8k 16k");
    EXPECT_EQ(AnalysisDisplay::line(sampleFrame()), "1234 100 0 - 1 2 3 4 115 0 7 8 9");
}

TEST(PlaySpectrumDisplay, BarsFillInProportion) {
    const std::string text = AnalysisDisplay::bars(sampleFrame(), 2048);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), AnalysisDisplay::kBarLines);
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(lines[0], "0:01.2 / 0:04.0");
    auto filled = [](const std::string& line) { return std::count(line.begin(), line.end(), '#'); };
    EXPECT_EQ(lines[1].rfind("L ", 0), 0u);
    EXPECT_EQ(filled(lines[1]), 50); // level 100
    EXPECT_EQ(filled(lines[2]), 0);  // level 0
    EXPECT_EQ(lines[3].rfind("31Hz", 0), 0u);
    EXPECT_EQ(lines[3].find('.'), std::string::npos) << "an empty band has no bar";
    EXPECT_EQ(lines[3].back(), '-');
    // 115 dB of the largest 20 log10(32768 × √2048 + 1) ≈ 123.4 dB.
    const double top = 20 * std::log10(32768 * std::sqrt(2048.0) + 1);
    EXPECT_EQ(lines[8].rfind("1kHz", 0), 0u);
    EXPECT_EQ(filled(lines[8]), long(std::lround(115 / top * 50)));
    EXPECT_EQ(filled(lines[9]), 0);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), lines[1].size()) << lines[i];
    }
}
