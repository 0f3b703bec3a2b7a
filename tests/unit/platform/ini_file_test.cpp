#include "platform/IniFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace tolvane::platform {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        dir_ = temp_.path();
        file_ = dir_ / "settings.ini";
    }

    void write(const std::string& bytes) { std::ofstream(file_, std::ios::binary) << bytes; }
    std::string contents() const {
        std::ifstream in(file_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string read(std::string_view section, std::string_view key) const {
        return IniFile::readString(file_, section, key, "<fallback>");
    }
    size_t filesInDir() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    test::TempDir temp_{"ini_file_test"};
    fs::path dir_;
    fs::path file_;
};

TEST_F(IniFileTest, ReadsWithPrivateProfileRules) {
    write("stray=before any section\n"
          "; comment=not a key\n"
          "[Main]\n"
          "  Host  =  example.org  \n"
          "host=second wins nothing\n"
          "Quoted=\"  kept blanks  \"\n"
          "Single='x'\n"
          "Lopsided=\"x'\n"
          "Empty=\n"
          "Bare\n"
          "Equals=a=b\n"
          "[ other ]\n"
          "Host=other section\n"
          "[MAIN]\n"
          "Late=merged into the first Main\n");
    EXPECT_EQ(read("main", "HOST"), "example.org");
    EXPECT_EQ(read(" Main ", " host "), "example.org");
    EXPECT_EQ(read("Main", "Quoted"), "  kept blanks  ");
    EXPECT_EQ(read("Main", "Single"), "x");
    EXPECT_EQ(read("Main", "Lopsided"), "\"x'");
    EXPECT_EQ(read("Main", "Empty"), "");
    EXPECT_EQ(read("Main", "Bare"), "");
    EXPECT_EQ(read("Main", "Equals"), "a=b");
    EXPECT_EQ(read("Main", "Late"), "merged into the first Main");
    EXPECT_EQ(read("OTHER", "host"), "other section");
    EXPECT_EQ(read("Main", "stray"), "<fallback>");
    EXPECT_EQ(read("Main", "; comment"), "<fallback>");
    EXPECT_EQ(read("Main", "Missing"), "<fallback>");
    EXPECT_EQ(read("Nowhere", "Host"), "<fallback>");
    EXPECT_EQ(IniFile::readString(dir_ / "absent.ini", "Main", "Host", "fb"), "fb");
    EXPECT_EQ(IniFile::readString(dir_, "Main", "Host", "dir"), "dir");
}

TEST_F(IniFileTest, ReadIntTakesTheLeadingNumberAndTheDefaultOnlyWhenMissing) {
    write("[N]\nPlain=45\nSigned= -7 seconds\nPlus=+3\nEmpty=\nWords=ten\nHex=0x10\n"
          "Huge=99999999999\nTiny=-99999999999\nBare\nQuoted=\"12\"\n");
    EXPECT_EQ(IniFile::readInt(file_, "n", "plain", 10), 45);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Signed", 10), -7);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Plus", 10), 3);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Empty", 10), 0);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Words", 10), 0);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Hex", 10), 0);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Huge", 10), INT_MAX);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Tiny", 10), INT_MIN);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Bare", 10), 0);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Quoted", 10), 12);
    EXPECT_EQ(IniFile::readInt(file_, "N", "Missing", 10), 10);
    EXPECT_EQ(IniFile::readInt(dir_ / "absent.ini", "N", "Plain", 30), 30);
}

TEST_F(IniFileTest, UnderstandsByteOrderMarksAndCrlf) {
    write("\xEF\xBB\xBF[S]\r\nKey=utf8 \xE4\xB8\xAD\r\n");
    EXPECT_EQ(read("S", "Key"), "utf8 \xE4\xB8\xAD");
    write(std::string("\xFF\xFE[\0S\0]\0\r\0\n\0K\0=\0\x2D\x4E\n\0", 20));
    EXPECT_EQ(read("s", "k"), "\xE4\xB8\xAD");
    write(std::string("\xFE\xFF\0[\0S\0]\0\n\0K\0=\0v", 16));
    EXPECT_EQ(read("S", "K"), "v");
}

TEST_F(IniFileTest, WritingOneKeyKeepsEveryOtherByte) {
    const std::string before = "; settings\r\n"
                               "[Other]\r\n"
                               "debug_trace=stays\r\n"
                               "\r\n"
                               "[TolvaneWin32]\r\n"
                               "   Tolvane_Host = a.example \r\n"
                               "  debug_TRACE =  OFF  ; old\r\n"
                               "Debug_Trace=second copy\r\n"
                               "TimeOut=30";
    write(before);
    ASSERT_TRUE(IniFile::writeString(file_, "tolvanewin32", "Debug_Trace", "ON"));
    std::string expected = before;
    const std::string oldLine = "  debug_TRACE =  OFF  ; old";
    expected.replace(expected.find(oldLine), oldLine.size(), "  debug_TRACE=ON");
    EXPECT_EQ(contents(), expected);
    EXPECT_EQ(read("TolvaneWin32", "Debug_Trace"), "ON");
    EXPECT_EQ(read("Other", "Debug_Trace"), "stays");
    EXPECT_EQ(filesInDir(), 1u); // no temporary file left behind
}

TEST_F(IniFileTest, AddsMissingKeysAndSectionsInPlace) {
    write("[A]\nx=1\n\n[B]\ny=2\n");
    ASSERT_TRUE(IniFile::writeString(file_, "a", "New", "v"));
    EXPECT_EQ(contents(), "[A]\nx=1\nNew=v\n\n[B]\ny=2\n");
    ASSERT_TRUE(IniFile::writeString(file_, "C", "k", "w"));
    EXPECT_EQ(contents(), "[A]\nx=1\nNew=v\n\n[B]\ny=2\n[C]\nk=w\n");

    write("[A]\r\nx=1"); // no line ending at the end; CRLF is the file's style
    ASSERT_TRUE(IniFile::writeString(file_, "A", "y", "2"));
    EXPECT_EQ(contents(), "[A]\r\nx=1\r\ny=2\r\n");
    write("[Only]");
    ASSERT_TRUE(IniFile::writeString(file_, "only", "k", "v"));
    EXPECT_EQ(contents(), "[Only]\nk=v\n");
    write("top=1");
    ASSERT_TRUE(IniFile::writeString(file_, "S", "k", "v"));
    EXPECT_EQ(contents(), "top=1\n[S]\nk=v\n");
}

TEST_F(IniFileTest, CreatesAMissingFileAndKeepsModeAndLinks) {
    ASSERT_TRUE(IniFile::writeString(file_, "TolvaneWin32", "Debug_Trace", "OFF"));
    EXPECT_EQ(contents(), "[TolvaneWin32]\nDebug_Trace=OFF\n");

    ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
    ASSERT_TRUE(IniFile::writeString(file_, "TolvaneWin32", "Debug_Trace", "ON"));
    struct stat info {};
    ASSERT_EQ(stat(file_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    const fs::path link = dir_ / "link.ini";
    fs::create_symlink(file_.filename(), link);
    ASSERT_TRUE(IniFile::writeString(link, "TolvaneWin32", "Debug_Trace", "via link"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read("TolvaneWin32", "Debug_Trace"), "via link");
}

TEST_F(IniFileTest, Utf16FilesStayUtf16) {
    const std::string before("\xFF\xFE[\0S\0]\0\r\0\n\0K\0=\0\x2D\x4E\r\0\n\0", 22);
    write(before);
    ASSERT_TRUE(IniFile::writeString(file_, "S", "K", "\xE6\x96\x87")); // 文
    EXPECT_EQ(contents(), std::string("\xFF\xFE[\0S\0]\0\r\0\n\0K\0=\0\x87\x65\r\0\n\0", 22));
    write("\xEF\xBB\xBF[S]\nK=1\n");
    ASSERT_TRUE(IniFile::writeString(file_, "S", "K", "2"));
    EXPECT_EQ(contents(), "\xEF\xBB\xBF[S]\nK=2\n");
}

TEST_F(IniFileTest, RefusesWritesThatWouldBreakTheFile) {
    write("[S]\nK=1\n");
    std::string error;
    EXPECT_FALSE(IniFile::writeString(file_, "S", "K", "1\nInjected=yes", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(IniFile::writeString(file_, "S", "K=x", "1"));
    EXPECT_FALSE(IniFile::writeString(file_, "S", "", "1"));
    EXPECT_FALSE(IniFile::writeString(file_, "S]x", "K", "1"));
    EXPECT_FALSE(IniFile::writeString(file_, "S", "K", std::string("a\0b", 3)));
    EXPECT_EQ(contents(), "[S]\nK=1\n");

    error.clear();
    EXPECT_FALSE(IniFile::writeString(dir_, "S", "K", "1", &error)); // a directory
    EXPECT_NE(error.find(dir_.string()), std::string::npos) << error;
    EXPECT_FALSE(IniFile::writeString(dir_ / "no" / "such.ini", "S", "K", "1", &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST_F(IniFileTest, LoadGivesTheWholeFile) {
    write("[First]\na=1\nB = 2\n[second]\nc=3\n[FIRST]\nA=shadowed\nd=4\n");
    std::string error;
    const std::optional<IniFile> ini = IniFile::load(file_, &error);
    ASSERT_TRUE(ini) << error;
    EXPECT_EQ(ini->sectionNames(), (std::vector<std::string>{"First", "second"}));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ini->entries("first"),
              (Entries{{"a", "1"}, {"B", "2"}, {"A", "shadowed"}, {"d", "4"}}));
    EXPECT_EQ(ini->value("FIRST", "a"), "1");
    EXPECT_EQ(ini->value("first", "D"), "4");
    EXPECT_EQ(ini->value("second", "a"), std::nullopt);
    EXPECT_TRUE(ini->entries("third").empty());

    EXPECT_FALSE(IniFile::load(dir_ / "absent.ini", &error));
    EXPECT_NE(error.find("absent.ini"), std::string::npos) << error;
}

// A named pipe where the file belongs is refused at once, not waited on.
TEST_F(IniFileTest, APipeInPlaceOfTheFileIsRefusedWithoutWaiting) {
    const fs::path pipe = dir_ / "pipe.ini";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::string error;
    EXPECT_FALSE(IniFile::load(pipe, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

} // namespace
} // namespace tolvane::platform
