#include "server/ScriptRuns.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane::server {
namespace {

// The runs as "[H text][L text]", after checking that they follow one another
// over the whole text.
std::string runsOf(std::string_view text, Script neutral) {
    std::string shown;
    const char* next = text.data();
    for (const ScriptRun& run : splitScripts(text, neutral)) {
        EXPECT_EQ(run.text.data(), next) << "runs follow one another";
        EXPECT_FALSE(run.text.empty());
        next = run.text.data() + run.text.size();
        shown += std::string("[") + (run.script == Script::Han ? "H " : "L ") +
                 std::string(run.text) + "]";
    }
    EXPECT_EQ(next, text.data() + text.size()) << "runs cover the text";
    return shown;
}

TEST(ScriptRunsTest, LettersDecideTheRunsAndTheLanguageOnlyTextWithout) {
    struct Case {
        std::string text, latin, han; // runs with the neutral script Latin, Han
    };
    const Case cases[] = {
        {"今天的新闻: Apple released iOS 20 in California.",
         "[H 今天的新闻: ][L Apple released iOS 20 in California.]", ""},
        {"The weather is fine.", "[L The weather is fine.]", ""},
        {"我有3个苹果，价格是1,299.50元，涨了5%。", "[H 我有3个苹果，价格是1,299.50元，涨了5%。]",
         ""},
        // A number directly before a Han character is read in Chinese.
        {"iPhone 15发布了, Apple 2024年, v1.5版 at 10:30开始",
         "[L iPhone ][H 15发布了, ][L Apple ][H 2024年, ][L v][H 1.5版 ][L at ][H 10:30开始]", ""},
        {"iOS 20 in 2025; 20 apples", "[L iOS 20 in 2025; 20 apples]", ""},
        {"2024", "[L 2024]", "[H 2024]"},
        {"...  ", "[L ...  ]", "[H ...  ]"},
        {"", "", ""},
        // Neutral characters at the start join the first run.
        {"  《三体》 by Liu", "[H   《三体》 ][L by Liu]", ""},
        {"“Hello”，他说。", "[L “Hello”][H ，他说。]", ""},
        // Full-width letters are Latin, full-width digits and signs Han.
        {"ＣＰＵ占用１００％", "[L ＣＰＵ][H 占用１００％]", ""},
        // Other scripts go with the English voice; marks and variation
        // selectors stay with their character.
        {"こんにちは 世界 Привет", "[L こんにちは ][H 世界 ][L Привет]", ""},
        {"葛\U000E0100城 café", "[H 葛\U000E0100城 ][L café]", ""},
        // Ill-formed bytes are symbols.
        {"\xFF中\xE4文 ok\x80", "[H \xFF中\xE4文 ][L ok\x80]", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runsOf(c.text, Script::Latin), c.latin) << c.text;
        EXPECT_EQ(runsOf(c.text, Script::Han), c.han.empty() ? c.latin : c.han) << c.text;
    }
}

} // namespace
} // namespace tolvane::server
