#include "effects/Id3Reader.h"
#include "effects/Id3Text.h"
#include "platform/Text.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace tolvane {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sets LC_ALL, which decides the 8-bit charset texts are converted to, for one scope.
class ScopedLocale {
  public:
    explicit ScopedLocale(const char* name) {
        if (const char* old = std::getenv("LC_ALL")) {
            old_ = old;
        }
        setenv("LC_ALL", name, 1);
    }
    ~ScopedLocale() {
        if (old_) {
            setenv("LC_ALL", old_->c_str(), 1);
        } else {
            unsetenv("LC_ALL");
        }
    }

  private:
    std::optional<std::string> old_;
};

// A 128-byte ID3v1 tag; each field is copied as given and zero-padded.
Bytes id3v1Tag(std::string_view title, std::string_view comment, uint8_t genre) {
    Bytes tag(128, 0);
    const auto put = [&tag](size_t at, std::string_view text) {
        std::copy(text.begin(), text.end(), tag.begin() + static_cast<long>(at));
    };
    put(0, "TAG");
    put(3, title);
    put(33, "Artist");
    put(63, "Album");
    put(93, "1999");
    put(97, comment);
    tag[127] = genre;
    return tag;
}

Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
Bytes syncsafe(uint32_t v) {
    return {uint8_t(v >> 21 & 0x7F), uint8_t(v >> 14 & 0x7F), uint8_t(v >> 7 & 0x7F),
            uint8_t(v & 0x7F)};
}

// One frame in the header layout of tag version `version` (2, 3 or 4).
Bytes frame(int version, std::string_view id, const Bytes& data, uint8_t formatFlags = 0) {
    const auto size = static_cast<uint32_t>(data.size());
    if (version == 2) {
        return bytesOf(id) + Bytes{uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)} + data;
    }
    return bytesOf(id) + (version == 3 ? be32(size) : syncsafe(size)) + Bytes{0, formatFlags} +
           data;
}

Bytes text(uint8_t encoding, std::string_view bytes) {
    return Bytes{encoding} + bytesOf(bytes);
}

// A stream starting with an ID3v2 tag around `body` (4 bytes of padding added),
// followed by a few bytes standing in for audio.
Bytes id3v2Stream(int version, const Bytes& body, uint8_t flags = 0) {
    const Bytes padded = body + Bytes(4, 0);
    return bytesOf("ID3") + Bytes{uint8_t(version), 0, flags} +
           syncsafe(static_cast<uint32_t>(padded.size())) + padded + Bytes{0xFF, 0xFB, 0x90, 0x64};
}

// Inserts a zero after every 0xFF, as a writer that unsynchronises may.
Bytes unsynchronise(const Bytes& data) {
    Bytes out;
    for (uint8_t b : data) {
        out.push_back(b);
        if (b == 0xFF) {
            out.push_back(0);
        }
    }
    return out;
}

class Id3ReaderTest : public ::testing::Test {
  protected:
    bool load(int version, const Bytes& stream, bool id3v1Found = false) {
        info_ = {};
        return reader_.load(version, stream.data(), stream.size(), id3v1Found, &info_, error_);
    }
    // The texts of the record in UTF-8, in record order.
    std::array<std::string, 7> texts() const {
        std::array<std::string, 7> out;
        const char* fields[] = {info_.pTitle,   info_.pArtist, info_.pAlbum, info_.pYear,
                                info_.pComment, info_.pTrack,  info_.pGenre};
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = fields[i] ? platform::ansiToUtf8(fields[i]) : "<null>";
        }
        return out;
    }
    std::string title() const { return texts()[0]; }
    void expectNullRecord() const {
        for (const std::string& t : texts()) {
            EXPECT_EQ(t, "<null>");
        }
    }

    ScopedLocale locale_{"C.UTF-8"};
    Id3Reader reader_;
    ID3_TAG_INFO info_{};
    std::string error_;
};

TEST_F(Id3ReaderTest, Id3v1FieldsBlanksTrackAndGenre) {
    const std::string comment = "Keeps blanks" + std::string(18, ' ');
    ASSERT_TRUE(
        load(1, Bytes(300, 0x55) + id3v1Tag("Hello" + std::string(25, ' '), comment, 147), true));
    using Texts = std::array<std::string, 7>;
    EXPECT_EQ(texts(), (Texts{"Hello", "Artist", "Album", "1999", comment, "0", "Synth Pop"}));

    Bytes tag = id3v1Tag("T", "Short", 255);
    tag[97 + 29] = 7; // ID3v1.1: byte 28 is zero, byte 29 the track
    ASSERT_TRUE(load(1, tag, true));
    EXPECT_EQ(texts()[4], "Short");
    EXPECT_EQ(texts()[5], "7");
    EXPECT_EQ(texts()[6], "");
}

TEST_F(Id3ReaderTest, Latin1TextsBecomeTheLocaleCharset) {
    const Bytes v1 = id3v1Tag("Caf\xE9", "", 0);
    const Bytes v2 = id3v2Stream(3, frame(3, "TIT2", text(0, "Caf\xE9")));
    for (const Bytes* stream : {&v1, &v2}) {
        ASSERT_TRUE(load(stream == &v1 ? 1 : 2, *stream, true));
        EXPECT_EQ(std::string(info_.pTitle), "Caf\xC3\xA9");
        ScopedLocale gb("zh_CN.GB18030");
        ASSERT_TRUE(load(stream == &v1 ? 1 : 2, *stream, true));
        EXPECT_EQ(std::string(info_.pTitle), "Caf\xA8\xA6");
        ScopedLocale latin("de_DE.ISO-8859-1");
        ASSERT_TRUE(load(stream == &v1 ? 1 : 2, *stream, true));
        EXPECT_EQ(std::string(info_.pTitle), "Caf\xE9");
    }
}

TEST_F(Id3ReaderTest, FailuresGiveNullRecordAndTheirTexts) {
    const Bytes tagless(400, 0x55);
    EXPECT_FALSE(load(1, tagless, false));
    EXPECT_EQ(error_, "Mp3Engine::LoadID3->There is no ID3v1 tag");
    expectNullRecord();
    EXPECT_FALSE(load(1, Bytes{'T', 'A', 'G'}, true)); // a flag the bytes cannot back
    expectNullRecord();

    error_.clear();
    EXPECT_FALSE(reader_.load(2, nullptr, 0, false, &info_, error_));
    EXPECT_EQ(error_, "LoadID3->Stream isn't open !");

    error_ = "earlier";
    EXPECT_FALSE(load(3, id3v2Stream(3, frame(3, "TIT2", text(0, "x")))));
    EXPECT_FALSE(load(2, id3v2Stream(5, frame(4, "TIT2", text(0, "x")))));
    EXPECT_EQ(error_, "earlier");
}

TEST_F(Id3ReaderTest, GenreNumbersSelectTableNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"(17)", "Rock"}, {"(17)Rock", "Rock"},   {"(255)", "(255)"},      {"((17)", "((17)"},
        {"17", "17"},     {"(147)", "Synth Pop"}, {"(1)", "Classic Rock"}, {"(RX)", "(RX)"},
    };
    for (const auto& [genre, name] : cases) {
        ASSERT_TRUE(load(2, id3v2Stream(3, frame(3, "TCON", text(0, genre)))));
        EXPECT_EQ(texts()[6], name) << genre;
    }
}

TEST_F(Id3ReaderTest, YearFrameAndFrameNamesFollowTheVersion) {
    const Bytes years = text(0, "1999");
    const Bytes recorded = text(0, "2024-05");
    ASSERT_TRUE(load(2, id3v2Stream(4, frame(4, "TDRC", recorded) + frame(4, "TYER", years))));
    EXPECT_EQ(texts()[3], "2024-05");
    ASSERT_TRUE(load(2, id3v2Stream(4, frame(4, "TYER", years) + frame(4, "TIT2", years))));
    EXPECT_EQ(texts()[3], "");
    ASSERT_TRUE(load(2, id3v2Stream(3, frame(3, "TYER", years) + frame(3, "TDRC", recorded))));
    EXPECT_EQ(texts()[3], "1999");

    const Bytes v22 = frame(2, "TT2", text(0, "Title")) + frame(2, "TP1", text(0, "Artist")) +
                      frame(2, "TAL", text(0, "Album")) + frame(2, "TYE", years) +
                      frame(2, "COM", text(0, "eng\0Words"s)) + frame(2, "TRK", text(0, "3/9")) +
                      frame(2, "TCO", text(0, "(8)"));
    ASSERT_TRUE(load(2, id3v2Stream(2, v22)));
    using Texts = std::array<std::string, 7>;
    EXPECT_EQ(texts(), (Texts{"Title", "Artist", "Album", "1999", "Words", "3/9", "Jazz"}));
}

TEST_F(Id3ReaderTest, CommentIsDescriptionElseText) {
    const std::pair<Bytes, const char*> cases[] = {
        {text(0, "eng\0Plain words"s), "Plain words"},
        {text(0, "engDesc\0Plain words"s), "Desc"},
        {text(1, "eng\xFF\xFE\0\0\xFF\xFEO\0k\0"s), "Ok"},
        {text(2, "eng\0\0\0O\0k"s), "Ok"},
        {text(3, "eng\0\xE2\x9C\x93"s), "\xE2\x9C\x93"},
        {text(0, "eng\0"s), ""}, // 5 bytes: no comment, but the tag still reads
    };
    for (const auto& [data, comment] : cases) {
        ASSERT_TRUE(load(2, id3v2Stream(3, frame(3, "COMM", data))));
        EXPECT_EQ(texts()[4], comment);
    }
}

TEST_F(Id3ReaderTest, TextEncodings) {
    const char* hello = "Gr\xC3\xBC\xC3\x9F"
                        "e \xE4\xBD\xA0\xE5\xA5\xBD"; // "Grüße 你好"
    const std::u16string wide = platform::utf8ToUtf16(hello);
    std::string le, be;
    for (char16_t unit : wide) {
        le += {char(unit & 0xFF), char(unit >> 8)};
        be += {char(unit >> 8), char(unit & 0xFF)};
    }
    const std::pair<Bytes, std::string> cases[] = {
        {text(1, "\xFF\xFE" + le), hello},
        {text(1, "\xFE\xFF" + be), hello},
        {text(2, be + "\0\0tail"s), hello},
        {text(3, hello + "\0tail"s), hello},
        {text(1, "\xFF\xFE\0\0"s + le), hello}, // a zero character before the text
        {text(7, "abc"), "\x07"
                         "abc"}, // unknown encodings are kept as they are
        {text(1, "\xFF\xFE"), ""},
        {Bytes{0}, ""},
    };
    for (const auto& [data, expected] : cases) {
        ASSERT_TRUE(load(2, id3v2Stream(4, frame(4, "TIT2", data))));
        EXPECT_EQ(title(), expected);
    }
    // A later frame replaces an earlier one; other frames are ignored.
    ASSERT_TRUE(
        load(2, id3v2Stream(4, frame(4, "TPE1", text(0, "one")) + frame(4, "TXXX", text(0, "x")) +
                                   frame(4, "TPE1", text(0, "two")))));
    EXPECT_EQ(texts()[1], "two");
}

TEST_F(Id3ReaderTest, UnsynchronisationIsUndone) {
    const Bytes utf16 = text(1, "\xFF\xFEy\0\xFF\0"s); // "yÿ"
    const Bytes latin = text(0, "a\xFF\xE0");          // "aÿà"
    ASSERT_TRUE(load(2, id3v2Stream(3, unsynchronise(frame(3, "TIT2", utf16)), 0x80)));
    EXPECT_EQ(title(), "y\xC3\xBF");
    ASSERT_TRUE(load(2, id3v2Stream(2, unsynchronise(frame(2, "TT2", latin)), 0x80)));
    EXPECT_EQ(title(), "a\xC3\xBF\xC3\xA0");
    // Version 2.4 frame by frame, here with the data length field before the text.
    const Bytes data = syncsafe(static_cast<uint32_t>(utf16.size())) + unsynchronise(utf16);
    ASSERT_TRUE(load(2, id3v2Stream(4, frame(4, "TIT2", data, 0x03) +
                                           frame(4, "TALB", unsynchronise(latin), 0x02))));
    EXPECT_EQ(title(), "y\xC3\xBF");
    EXPECT_EQ(texts()[2], "a\xC3\xBF\xC3\xA0");
}

// A text frame far beyond any title is cut at the limit, never inside a
// character: a UTF-8 sequence or UTF-16 surrogate pair the limit falls in is
// left out whole, also behind version 2.4's unsynchronisation.
TEST_F(Id3ReaderTest, HugeTextsAreCutAtACharacterBoundary) {
    std::string accents, smileysLe, smileys;
    for (size_t i = 0; i < kId3TextLimit; ++i) {
        accents += "\xC3\xA9";            // é
        smileysLe += "\x3D\xD8\x00\xDE"s; // U+1F600, little-endian pair
        smileys += i < kId3TextLimit / 4 - 1 ? "\xF0\x9F\x98\x80" : "";
    }
    const std::pair<Bytes, std::string> cases[] = {
        {frame(4, "TIT2", text(3, "a" + accents)), "a" + accents.substr(0, kId3TextLimit - 2)},
        {frame(4, "TIT2", text(0, std::string(kId3TextLimit + 9, 'x'))),
         std::string(kId3TextLimit, 'x')},
        {frame(4, "TIT2", unsynchronise(text(1, "\xFF\xFEz\0"s + smileysLe)), 0x02), "z" + smileys},
    };
    for (const auto& [data, expected] : cases) {
        ASSERT_TRUE(load(2, id3v2Stream(4, data)));
        EXPECT_TRUE(title() == expected) << title().size() << " bytes, not " << expected.size();
    }
}

TEST_F(Id3ReaderTest, SkipsExtendedHeadersAndUnreadableFrames) {
    const Bytes plain = frame(3, "TIT2", text(0, "plain"));
    Bytes v23 = be32(6) + Bytes(6, 0) + plain;
    for (uint8_t flag : {0x80, 0x40, 0x20}) {
        v23 = v23 + frame(3, "TIT2", text(0, "hidden"), flag);
    }
    ASSERT_TRUE(load(2, id3v2Stream(3, v23, 0x40)));
    EXPECT_EQ(title(), "plain");

    Bytes v24 = syncsafe(6) + Bytes{1, 0} + frame(4, "TIT2", text(0, "plain"));
    for (uint8_t flag : {0x08, 0x04}) {
        v24 = v24 + frame(4, "TIT2", text(0, "hidden"), flag);
    }
    ASSERT_TRUE(load(2, id3v2Stream(4, v24, 0x40)));
    EXPECT_EQ(title(), "plain");
}

TEST_F(Id3ReaderTest, MalformedTagsFailWholeWithNullRecord) {
    const Bytes good = frame(3, "TIT2", text(0, "first"));
    Bytes oversize = id3v2Stream(3, good + frame(3, "TPE1", text(0, "x")));
    oversize[10 + good.size() + 7] = 0x7F; // the second frame claims more than the tag holds
    Bytes sizeByte = id3v2Stream(3, good);
    sizeByte[8] = 0x81;
    Bytes shortStream = id3v2Stream(3, good);
    shortStream.resize(shortStream.size() - 9);
    Bytes v24SizeByte = id3v2Stream(4, frame(4, "TIT2", text(0, "first")));
    v24SizeByte[10 + 6] = 0x81;

    const Bytes cases[] = {
        oversize,
        sizeByte,
        shortStream,
        id3v2Stream(3, good + frame(3, "TPE1", {})),            // frame size 0
        id3v2Stream(3, be32(1000) + good, 0x40),                // extended header too long
        id3v2Stream(4, syncsafe(5) + Bytes(2, 0) + good, 0x40), // extended header too short
        id3v2Stream(2, frame(2, "TT2", text(0, "x")), 0x40),    // compressed 2.2 tag
        bytesOf("ID3\x04\0\0\0\0\0\x06"s) + Bytes(6, 0) + Bytes(20, 0x55), // 2.4 tag of 16 bytes
        v24SizeByte,
        bytesOf("ID3\xFF\0\0\0\0\0\0"s),
        bytesOf("ID3\x03\xFF\0\0\0\0\0"s),
        bytesOf("ID2\x03\0\0\0\0\0\0"s),
    };
    for (const Bytes& stream : cases) {
        error_ = "earlier";
        EXPECT_FALSE(load(2, stream)) << &stream - cases;
        expectNullRecord();
        EXPECT_EQ(error_, "earlier");
    }
    // A size byte of exactly 0x80 counts as zero.
    Bytes zeroByte = id3v2Stream(3, good);
    zeroByte[6] = 0x80;
    ASSERT_TRUE(load(2, zeroByte));
    EXPECT_EQ(title(), "first");
}

// Tags written by independent tools, read back equal. The tools are Debian's
// eyed3 and python3-mutagen (scripts/packages.txt).
class Id3ToolsTest : public Id3ReaderTest {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        dir_ = temp_.path();
    }

    // A file of ten silent MPEG frames tagged by `command` (FILE stands for its path).
    Bytes tagged(const std::string& command) {
        const std::filesystem::path file = dir_ / "song.mp3";
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            for (int i = 0; i < 10; ++i) {
                out << std::string("\xFF\xFB\x90\x64", 4) << std::string(413, '\0');
            }
        }
        std::string line = command;
        line.replace(line.find("FILE"), 4, "'" + file.string() + "'");
        std::string output;
        FILE* pipe = popen(("env LC_ALL=C.UTF-8 " + line + " 2>&1").c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        if (pipe == nullptr) {
            return {};
        }
        char buffer[512];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
            output.append(buffer, n);
        }
        const int status = pclose(pipe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << line << "\n" << output;
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Reads the tag under a UTF-8 and a GB18030 locale and compares with `expected`.
    void expectTexts(int version, const Bytes& file, const std::array<std::string, 7>& expected) {
        const bool v1 = file.size() > 128 && std::equal(file.end() - 128, file.end() - 125, "TAG");
        for (const char* locale : {"C.UTF-8", "zh_CN.GB18030"}) {
            ScopedLocale scoped(locale);
            ASSERT_TRUE(load(version, file, v1)) << locale;
            EXPECT_EQ(texts(), expected) << locale;
        }
    }

    test::TempDir temp_{"tolvane-id3"};
    std::filesystem::path dir_;
};

const char* const kTitle = "Gr\xC3\xBC\xC3\x9F"
                           "e \xE4\xBD\xA0\xE5\xA5\xBD";
const char* const kArtist = "\xC3\x9Cn\xC3\xAF"
                            "c\xC3\xB6"
                            "d\xC3\xA9 Artist";
const char* const kAlbum = "\xE4\xB8\x93\xE8\xBE\x91 Album";
const char* const kComment = "A comment \xE2\x9C\x93";
const char* const kLatinTitle = "Gr\xC3\xBC\xC3\x9F"
                                "e";
const char* const kLatinAlbum = "Caf\xC3\xA9 Album";
const char* const kLatinComment = "A comment \xC2\xB1";

std::string eyeD3(const char* flags, const char* title, const char* album, const char* comment) {
    return std::string("eyeD3 --no-color ") + flags + " -t '" + title + "' -a '" + kArtist +
           "' -A '" + album + "' --recording-date 2024 -Y 2024 -n 12 -G Rock --add-comment '" +
           comment + "' FILE";
}

TEST_F(Id3ToolsTest, EyeD3Versions23And24) {
    const std::array<std::string, 7> wide = {kTitle,   kArtist, kAlbum, "2024",
                                             kComment, "12",    "Rock"};
    expectTexts(2, tagged(eyeD3("--to-v2.3 --encoding utf16", kTitle, kAlbum, kComment)), wide);
    expectTexts(2, tagged(eyeD3("--to-v2.4 --encoding utf8", kTitle, kAlbum, kComment)), wide);
    expectTexts(2, tagged(eyeD3("--to-v2.4 --encoding utf16-be", kTitle, kAlbum, kComment)), wide);

    const std::array<std::string, 7> latin = {kLatinTitle,   kArtist, kLatinAlbum, "2024",
                                              kLatinComment, "12",    "Rock"};
    const Bytes v23 =
        tagged(eyeD3("--to-v2.3 --encoding latin1", kLatinTitle, kLatinAlbum, kLatinComment));
    ASSERT_GT(v23.size(), 3u);
    EXPECT_EQ(v23[3], 3);
    expectTexts(2, v23, latin);
    expectTexts(1, tagged(eyeD3("--to-v1.1", kLatinTitle, kLatinAlbum, kLatinComment)), latin);
}

TEST_F(Id3ToolsTest, MutagenVersions23And24) {
    const std::array<std::string, 7> expected = {kTitle,   kArtist, kAlbum, "2024",
                                                 kComment, "12",    "Rock"};
    expectTexts(2,
                tagged(std::string("mid3v2 -t '") + kTitle + "' -a '" + kArtist + "' -A '" +
                       kAlbum + "' -y 2024 -T 12 -g Rock -c ':" + kComment + ":eng' FILE"),
                expected);
    // The library writes version 2.3 (texts in UTF-16, the date as TYER) when asked.
    const std::string script =
        std::string("import sys\nfrom mutagen.id3 import ID3, TIT2, TPE1, TALB, TDRC, TRCK, "
                    "TCON, COMM\nt = ID3()\n") +
        "for f in (TIT2(encoding=3, text='" + kTitle + "'), TPE1(encoding=3, text='" + kArtist +
        "'), TALB(encoding=3, text='" + kAlbum + "'), TDRC(encoding=3, text='2024'), " +
        "TRCK(encoding=3, text='12'), TCON(encoding=3, text='(17)'), COMM(encoding=3, " +
        "lang='eng', desc='', text='" + kComment + "')):\n    t.add(f)\n" +
        "t.update_to_v23()\nt.save(sys.argv[1], v2_version=3)\n";
    std::ofstream(dir_ / "write23.py") << script;
    const Bytes v23 = tagged("/usr/bin/python3 '" + (dir_ / "write23.py").string() + "' FILE");
    ASSERT_GT(v23.size(), 3u);
    EXPECT_EQ(v23[3], 3);
    expectTexts(2, v23, expected);
}

} // namespace
} // namespace tolvane
