// Long texts cut into parts that fit the login's limit, and the part last
// read kept per document across runs.
#include "documents/PartPositions.h"
#include "documents/TextParts.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

// About `units` of sentences of varied length from `words`, each ended by
// one of `ends`; a blank between sentences when `blank`.
std::u16string sentences(const std::vector<std::u16string>& words, std::u16string_view ends,
                         bool blank, size_t units) {
    std::mt19937 random(7);
    std::u16string text;
    while (text.size() < units) {
        const size_t count = 3 + random() % 40;
        for (size_t i = 0; i < count; ++i) {
            text += words[random() % words.size()];
            if (blank && i + 1 < count) {
                text += u' ';
            }
        }
        text += ends[random() % ends.size()];
        if (blank) {
            text += u' ';
        }
    }
    return text.substr(0, units);
}

// Every unit once and in order, no part over the limit; each part but the
// last ends where `endsWell` says a part may end.
void expectParts(const std::u16string& text, size_t limit,
                 const std::function<bool(std::u16string_view part)>& endsWell) {
    const std::vector<std::u16string> parts = cutIntoParts(text, limit);
    std::u16string joined;
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_LE(parts[i].size(), limit) << "part " << i;
        EXPECT_FALSE(parts[i].empty()) << "part " << i;
        if (i + 1 < parts.size()) {
            EXPECT_TRUE(endsWell(parts[i])) << "part " << i << " ends badly";
        }
        joined += parts[i];
    }
    EXPECT_EQ(joined, text);
    EXPECT_GE(parts.size(), (text.size() + limit - 1) / limit);
}

bool endsWithAnyOf(std::u16string_view part, std::u16string_view marks) {
    const size_t last = part.find_last_not_of(u' ');
    return last != std::u16string_view::npos && marks.find(part[last]) != std::u16string_view::npos;
}

TEST(TextPartsTest, TwentyThousandCharactersInPartsCutAtSentenceEnds) {
    const std::u16string english =
        sentences({u"harbour", u"ships", u"came", u"in", u"at", u"dawn", u"nobody", u"waited",
                   u"for", u"them", u"and", u"the", u"gulls", u"cried"},
                  u".?!", true, 20000);
    ASSERT_EQ(english.size(), 20000u);
    expectParts(english, 1000, [](std::u16string_view part) {
        return endsWithAnyOf(part, u".?!") && part.back() == u' ';
    });
    const std::u16string chinese = sentences(
        {u"天亮", u"时", u"船", u"进港", u"了", u"没有人", u"等", u"他们", u"海鸥", u"在", u"叫"},
        u"。？！", false, 20000);
    expectParts(chinese, 1000,
                [](std::u16string_view part) { return endsWithAnyOf(part, u"。？！"); });
}

TEST(TextPartsTest, ALongSentenceIsCutBetweenWordsOrAfterAClause) {
    std::u16string words;
    while (words.size() < 2500) {
        words += u"seaworthy ";
    }
    expectParts(words, 1000, [&](std::u16string_view part) { return part.back() == u' '; });

    std::u16string clauses;
    while (clauses.size() < 2500) {
        clauses += u"天亮时船进港了，没有人等他们";
    }
    expectParts(clauses, 1000, [](std::u16string_view part) { return part.back() == u'，'; });

    // No mark and no word: cut at the limit, but never inside a surrogate pair.
    std::u16string astral;
    while (astral.size() < 2500) {
        astral += u"\U0001F6A2";
    }
    expectParts(astral, 999, [](std::u16string_view part) {
        return part.back() < 0xD800 || part.back() > 0xDBFF;
    });
}

TEST(TextPartsTest, ShortTextsAreOnePart) {
    EXPECT_THAT(partStarts(u"Ships came in.", 1000), ::testing::ElementsAre(0u));
    EXPECT_TRUE(partStarts(u"", 1000).empty());
    EXPECT_THAT(partStarts(u"ab. cd. ef.", 4), ::testing::ElementsAre(0u, 4u, 8u));
}

class PartPositionsTest : public ::testing::Test {
  protected:
    fs::path document(const std::string& name, const std::string& bytes) {
        const fs::path path = dir_.path() / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    TempDir dir_{"positions-test"};
};

TEST_F(PartPositionsTest, TheLastPartIsKeptAcrossRunsInTheStateFolder) {
    const fs::path book = document("book.epub", "one");
    const fs::path notes = document("notes.txt", "two");
    const auto bookKey = PartPositions::keyOf(book);
    const auto notesKey = PartPositions::keyOf(notes);
    ASSERT_TRUE(bookKey && notesKey);
    {
        PartPositions positions;
        positions.load();
        EXPECT_EQ(positions.partOf(*bookKey), 0u);
        std::string error;
        ASSERT_TRUE(positions.remember(*bookKey, 2, &error)) << error;
        ASSERT_TRUE(positions.remember(*notesKey, 5, &error)) << error;
        ASSERT_TRUE(positions.remember(*bookKey, 3, &error)) << error;
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(PartPositions::defaultFile(), fs::path(state) / "tolvane" / "positions");
    PartPositions again;
    std::string note;
    again.load(&note);
    EXPECT_EQ(note, "");
    EXPECT_EQ(again.partOf(*bookKey), 3u);
    EXPECT_EQ(again.partOf(*notesKey), 5u);

    // An edited file starts again from its first part.
    document("book.epub", "one, longer");
    EXPECT_EQ(again.partOf(*PartPositions::keyOf(book)), 0u);
}

TEST_F(PartPositionsTest, AMalformedFileIsIgnoredWithANoteAndReplaced) {
    const fs::path file = dir_.path() / "state" / "positions";
    fs::create_directories(file.parent_path());
    const auto key = PartPositions::keyOf(document("book.pdf", "pages"));
    for (const std::string& bad : {std::string("3 5 7 relative/path\n"), std::string("x 5 7 /a\n"),
                                   std::string("\0\1\2", 3), "1 2 3 " + key->path + "\n4 5\n"}) {
        std::ofstream(file, std::ios::binary) << bad;
        PartPositions positions(file);
        std::string note;
        positions.load(&note);
        EXPECT_THAT(note, ::testing::HasSubstr("not a positions file")) << bad;
        EXPECT_EQ(positions.partOf(*key), 0u);
        ASSERT_TRUE(positions.remember(*key, 1));
        PartPositions reread(file);
        reread.load(&note);
        EXPECT_EQ(reread.partOf(*key), 1u);
    }
}

} // namespace
} // namespace tolvane::test
