// The pronunciations file: its lines read (and the broken ones reported and
// skipped), rules written back into it keeping what the user wrote around
// them, and the file beside config.ini read and written by the store.
#include "config/ConfigStore.h"
#include "config/Pronunciations.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace tolvane {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Language = Pronunciation::Language;

const Pronunciation kTolvane{Language::kEnglish, "Tolvane", "Toll vane"};
const Pronunciation kBank{Language::kChinese, "银行", "银航"};
const Pronunciation kUs{Language::kEnglish, "US", "U S", true};

TEST(PronunciationFileTest, ReadsRulesAndNamesEachLineItSkips) {
    const std::string file = "\xEF\xBB\xBF# comment\r\n"
                             "en\tTolvane\t Toll vane \r\n"
                             "\n"
                             "   # indented comment\n"
                             "ZH-cn\t银行\t银航\n"
                             "en-US\tUS\tU S\tCASE\n"
                             "fr\tbonjour\tbon jour\n"
                             "en\tonly two\n"
                             "en\ta\tb\tcase\textra\n"
                             "en\t \tnothing\n"
                             "en\tword\tsay\tloud\n"
                             "en\t\xFF\xFE\tbad\n" +
                             std::string("en\t") + std::string(1001, 'w') + "\tlong\n" +
                             "en\tlast\tline without break";
    const PronunciationFile::Parsed parsed = PronunciationFile::parse(file);
    EXPECT_THAT(parsed.rules,
                ElementsAre(kTolvane, kBank, kUs,
                            Pronunciation{Language::kEnglish, "last", "line without break"}));
    ASSERT_EQ(parsed.problems.size(), 7U);
    EXPECT_THAT(parsed.problems[0], HasSubstr("line 7: unknown language \"fr\""));
    EXPECT_THAT(parsed.problems[1], HasSubstr("line 8: not LANGUAGE<TAB>WORD"));
    EXPECT_THAT(parsed.problems[2], HasSubstr("line 9:"));
    EXPECT_THAT(parsed.problems[3], HasSubstr("line 10: an empty"));
    EXPECT_THAT(parsed.problems[4], HasSubstr("line 11: \"loud\""));
    EXPECT_THAT(parsed.problems[5], HasSubstr("line 12: not UTF-8"));
    EXPECT_THAT(parsed.problems[6], HasSubstr("line 13: an empty or overlong"));
}

TEST(PronunciationFileTest, WritingBackKeepsCommentsAndPutsChangesInPlace) {
    const std::string old = "# Names\n"
                            "en\tTolvane\tToll vane\n"
                            "# Banks\n"
                            "zh\t银行\t银航\n"
                            "en\tbroken line\n"
                            "# Letters\n"
                            "en\tUS\tU S\tcase\n";
    // Unchanged: the same bytes.
    EXPECT_EQ(PronunciationFile::merged(old, {kTolvane, kBank, kUs}), old);
    // The bank changed, the letters removed, one rule added.
    const Pronunciation bank{Language::kChinese, "银行", "银杭"};
    const Pronunciation added{Language::kEnglish, "GNU", "g new"};
    const std::string merged = PronunciationFile::merged(old, {kTolvane, bank, added});
    EXPECT_EQ(merged, "# Names\n"
                      "en\tTolvane\tToll vane\n"
                      "# Banks\n"
                      "zh\t银行\t银杭\n"
                      "en\tGNU\tg new\n"
                      "en\tbroken line\n"
                      "# Letters\n");
    EXPECT_THAT(PronunciationFile::parse(merged).rules, ElementsAre(kTolvane, bank, added));

    // A new file explains itself; tabs and line breaks typed into a rule
    // cannot break its line.
    const Pronunciation odd{Language::kEnglish, "a\tb", "c\nd"};
    const std::string fresh = PronunciationFile::merged("", {odd, kUs});
    EXPECT_THAT(fresh, HasSubstr("# Tolvane's pronunciations"));
    EXPECT_THAT(fresh, HasSubstr("\nen\ta b\tc d\nen\tUS\tU S\tcase\n"));
    const PronunciationFile::Parsed back = PronunciationFile::parse(fresh);
    EXPECT_TRUE(back.problems.empty());
    EXPECT_THAT(back.rules, ElementsAre(Pronunciation{Language::kEnglish, "a b", "c d"}, kUs));
}

TEST(PronunciationFileTest, TheStoreReadsAndWritesTheFileBesideConfigIni) {
    const test::TempDir temp("pronunciations_test");
    const std::filesystem::path folder = temp.path() / "new" / "tolvane";
    const std::filesystem::path config = folder / "config.ini";
    ConfigStore store;
    store.read(config);
    EXPECT_TRUE(store.pronunciations().empty());
    EXPECT_EQ(store.pronunciationsPath(), folder / "pronunciations.txt");

    std::string error;
    ASSERT_TRUE(store.writePronunciations({kTolvane, kBank}, &error)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U) << "a new configuration folder is private";
    std::ofstream(store.pronunciationsPath(), std::ios::app) << "xx\tbad\tline\n";

    ConfigStore again;
    again.read(config);
    EXPECT_THAT(again.pronunciations(), ElementsAre(kTolvane, kBank));
    ASSERT_EQ(again.readNotes().size(), 1U);
    EXPECT_THAT(again.readNotes()[0], HasSubstr("pronunciations.txt line"));
    EXPECT_THAT(again.readNotes()[0], HasSubstr("skipped"));

    // A folder where the file should be: no rules, and the reason noted.
    const std::filesystem::path other = temp.path() / "other";
    std::filesystem::create_directories(other / "pronunciations.txt");
    ConfigStore blocked;
    blocked.read(other / "config.ini");
    EXPECT_TRUE(blocked.pronunciations().empty());
    EXPECT_THAT(blocked.readNotes(), ElementsAre(HasSubstr("not a regular file")));
    EXPECT_FALSE(blocked.writePronunciations({kTolvane}, &error));
    EXPECT_THAT(blocked.pronunciations(), ElementsAre(kTolvane)) << "kept in memory";
}

} // namespace
} // namespace tolvane
