// `tolvane-play tags`: tags written at test time by eyeD3 and mid3v2 (ID3v1.1,
// ID3v2.3 and ID3v2.4 in each text encoding) read back as one line of JSON in
// UTF-8, whatever the locale's charset; missing and broken tags exit with 1.
#include "tests/integration/play/PlayTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tolvane::test;

namespace {

class PlayTags : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(PlayFiles::get().ok()) << "test files not made"; }

    // A copy of tone44.mp3 (no tags) called `name`, tagged by the program and
    // options in `tagger`.
    static std::string tagged(const std::string& name, std::vector<std::string> tagger) {
        const auto path = PlayFiles::get().dir() / name;
        std::filesystem::copy_file(PlayFiles::get()["tone44.mp3"], path,
                                   std::filesystem::copy_options::overwrite_existing);
        tagger.push_back(path.string());
        EXPECT_EQ(runProgram(tagger), 0) << tagger[0] << " failed on " << name;
        return path.string();
    }

    static std::string tags(const std::string& file, const char* version,
                            const std::vector<std::string>& env = {}) {
        const ProcessResult r = runTool({"tags", file, version}, {}, env);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }
};

const std::vector<std::string> kEyeD3Texts = {"-t",
                                              "Grüße 中文 \"q\" \\ b",
                                              "-a",
                                              "Ärtist",
                                              "-A",
                                              "Album ø",
                                              "--recording-date",
                                              "2021",
                                              "-n",
                                              "3",
                                              "-N",
                                              "12",
                                              "-G",
                                              "Rock",
                                              "-c",
                                              "A comment"};

std::vector<std::string> eyeD3(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"eyeD3", "--no-color"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), kEyeD3Texts.begin(), kEyeD3Texts.end());
    return args;
}

const char* const kEyeD3Line =
    R"({"title":"Grüße 中文 \"q\" \\ b","artist":"Ärtist","album":"Album ø","year":"2021",)"
    R"("comment":"A comment","track":"03/12","genre":"Rock"})"
    "\n";

} // namespace

TEST_F(PlayTags, ReadsVersion23And24InEveryUnicodeEncoding) {
    for (const auto& [version, encoding] :
         std::vector<std::pair<std::string, std::string>>{{"--to-v2.4", "utf8"},
                                                          {"--to-v2.4", "utf16"},
                                                          {"--to-v2.3", "utf16"},
                                                          {"--to-v2.4", "utf16-be"}}) {
        SCOPED_TRACE(version + " " + encoding);
        const std::string file = tagged("eyed3.mp3", eyeD3({version, "--encoding", encoding}));
        EXPECT_EQ(tags(file, "--v2"), kEyeD3Line);
    }
}

// ISO-8859-1 frames and ID3v1 texts are converted like the others.
TEST_F(PlayTags, ReadsLatin1TextsOfVersion23AndVersion1) {
    std::string file = tagged("latin1.mp3", {"eyeD3", "--to-v2.3", "--encoding", "latin1", "-t",
                                             "Grüße", "-a", "Ärtist", "--recording-date", "1999",
                                             "-n", "5", "-G", "17", "-c", "Schön"});
    EXPECT_EQ(tags(file, "--v2"),
              R"({"title":"Grüße","artist":"Ärtist","album":"","year":"1999","comment":"Schön",)"
              R"("track":"05","genre":"Rock"})"
              "\n");

    // ID3v1 keeps a comment's trailing blanks and gives the track without zeros.
    file = tagged("v1.mp3", {"eyeD3", "--to-v1.1", "-t", "Grüße", "-a", "Artist", "-A", "Album",
                             "-Y", "1999", "-n", "5", "-G", "Rock", "-c", "comment  "});
    EXPECT_EQ(tags(file, "--v1"),
              R"({"title":"Grüße","artist":"Artist","album":"Album","year":"1999",)"
              R"("comment":"comment  ","track":"5","genre":"Rock"})"
              "\n");
}

// Control characters come out escaped; a genre number in parentheses is
// named.
TEST_F(PlayTags, EscapesControlCharactersOfMid3v2Tags) {
    const std::string file =
        tagged("mid3v2.mp3", {"mid3v2", "-e", "-t", "tab\\there\\nnext\\x01 end", "-a", "Ärtist",
                              "-c", "Note", "-g", "(17)", "-y", "2020", "-T", "4/9"});
    EXPECT_EQ(tags(file, "--v2"),
              R"({"title":"tab\there\nnext\u0001 end","artist":"Ärtist","album":"","year":"2020",)"
              R"("comment":"Note","track":"4/9","genre":"Rock"})"
              "\n");
}

// The engine hands the texts over in the locale's charset; printed, they are
// UTF-8 again, with '?' for what that charset cannot hold.
TEST_F(PlayTags, PrintsUtf8WhateverTheLocalesCharset) {
    const std::string file = tagged("locale.mp3", eyeD3({"--to-v2.4", "--encoding", "utf16"}));
    EXPECT_EQ(tags(file, "--v2", {"LC_ALL=zh_CN.GB18030"}), kEyeD3Line);
    std::string latin1 = kEyeD3Line;
    latin1.replace(latin1.find("中文"), std::string("中文").size(), "??");
    EXPECT_EQ(tags(file, "--v2", {"LC_ALL=de_DE.ISO-8859-1"}), latin1);
}

TEST_F(PlayTags, MissingOrBrokenTagsExitWithOne) {
    const std::string plain = PlayFiles::get()["tone44.mp3"].string();
    ProcessResult r = runTool({"tags", plain, "--v1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.lastErrorLine(), "Mp3Engine::LoadID3->There is no ID3v1 tag");

    // The engine has no text for ID3v2 failures; the tool says what failed.
    r = runTool({"tags", plain, "--v2"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastErrorLine(), "tolvane-play: no readable ID3v2 tag in " + plain);

    // A size byte above 0x80 makes the tag invalid.
    const std::string file = tagged("broken.mp3", eyeD3({"--to-v2.4"}));
    {
        std::fstream patch(file, std::ios::in | std::ios::out | std::ios::binary);
        patch.seekp(7);
        patch.put(char(0x81));
    }
    r = runTool({"tags", file, "--v2"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.lastErrorLine(), "tolvane-play: no readable ID3v2 tag in " + file);
}
