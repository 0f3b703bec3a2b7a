// LoadID3 through the engine on MP3 files tagged at test time by eyeD3 and
// mid3v2, opened as files and as managed streams.
#include "tests/unit/engine/EffectTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

using namespace tolvane;
using namespace tolvane::test;

namespace {

using Texts = std::array<std::string, 7>;

const char* const kTitle = "Gr\xC3\xBC\xC3\x9F"
                           "e \xE4\xBD\xA0\xE5\xA5\xBD";
const char* const kArtist = "\xC3\x9Cn\xC3\xAF"
                            "c\xC3\xB6"
                            "d\xC3\xA9";
const char* const kAlbum = "\xE4\xB8\x93\xE8\xBE\x91";

class EngineId3 : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made";
        // The locale's 8-bit charset is then UTF-8, so texts compare as written.
        setenv("LC_ALL", "C.UTF-8", 1);
    }

    // A copy of an untagged MP3 file, tagged by each command in turn (FILE
    // stands for its path).
    static std::filesystem::path tagged(const std::string& name,
                                        const std::vector<std::string>& commands) {
        const std::filesystem::path path = Mp3Files::get()[name];
        std::filesystem::copy_file(Mp3Files::get()["cbr44_notag.mp3"], path,
                                   std::filesystem::copy_options::overwrite_existing);
        for (std::string command : commands) {
            command.replace(command.find("FILE"), 4, "'" + path.string() + "'");
            const std::string line = "LC_ALL=C.UTF-8 " + command + " >/dev/null 2>&1";
            EXPECT_EQ(std::system(line.c_str()), 0) << command;
        }
        return path;
    }

    static Texts texts(const ID3_TAG_INFO& info) {
        Texts out;
        char* const fields[] = {info.pTitle,   info.pArtist, info.pAlbum, info.pYear,
                                info.pComment, info.pTrack,  info.pGenre};
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = fields[i] ? fields[i] : "(null)";
        }
        return out;
    }

    static Texts load(Mp3Engine& engine, int32_t version) {
        ID3_TAG_INFO info{};
        EXPECT_EQ(engine.LoadID3(version, &info), 1) << engine.GetLastErrorText();
        return texts(info);
    }
};

std::string eyeD3(const std::string& flags) {
    return "eyeD3 --no-color " + flags + " -t '" + kTitle + "' -a '" + kArtist + "' -A '" + kAlbum +
           "' --recording-date 2024 -Y 2024 -n 12 -G Jazz --add-comment 'Said so' FILE";
}

} // namespace

// Version 2.3 in UTF-16 with an ID3v1.1 tag beside it, and version 2.4 in
// UTF-8; the tags are never decoded as audio.
TEST_F(EngineId3, TagsWrittenByOtherToolsReadBackEqual) {
    const Texts wide = {kTitle, kArtist, kAlbum, "2024", "Said so", "12", "Jazz"};
    const auto v23 =
        tagged("eyed3.mp3", {eyeD3("--to-v2.3 --encoding utf16"),
                             "eyeD3 --no-color -1 -t Title -a Artist -A Album -Y 1999 -n 3 "
                             "-G 17 --add-comment Plain FILE"});
    const auto v24 =
        tagged("mid3v2.mp3", {std::string("mid3v2 -t '") + kTitle + "' -a '" + kArtist + "' -A '" +
                              kAlbum + "' -y 2024 -T 12 -g Jazz -c ':Said so:eng' FILE"});
    Mp3Engine engine;
    ASSERT_EQ(engine.OpenMp3File(v23.c_str(), 0, 0, 0), 1) << engine.GetLastErrorText();
    EXPECT_EQ(load(engine, 2), wide);
    EXPECT_EQ(load(engine, 1), (Texts{"Title", "Artist", "Album", "1999", "Plain", "3", "Rock"}));
    ASSERT_EQ(engine.OpenMp3File(v24.c_str(), 0, 0, 0), 1) << engine.GetLastErrorText();
    EXPECT_EQ(load(engine, 2), wide);

    EngineOutput untagged, fromTagged;
    std::string error;
    ASSERT_TRUE(engineDecode(Mp3Files::get()["cbr44_notag.mp3"], untagged, error)) << error;
    ASSERT_TRUE(engineDecode(v23, fromTagged, error)) << error;
    EXPECT_TRUE(fromTagged.samples == untagged.samples);
}

TEST_F(EngineId3, MissingStreamOrTagFailsWithNullRecord) {
    Mp3Engine engine;
    ID3_TAG_INFO info{};
    info.pTitle = info.pGenre = const_cast<char*>("stale");
    EXPECT_EQ(engine.LoadID3(2, &info), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "LoadID3->Stream isn't open !");
    EXPECT_EQ(info.pTitle, nullptr);
    EXPECT_EQ(info.pGenre, nullptr);

    ASSERT_EQ(engine.OpenMp3File(Mp3Files::get()["cbr44_notag.mp3"].c_str(), 0, 0, 0), 1);
    EXPECT_EQ(engine.LoadID3(1, &info), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Mp3Engine::LoadID3->There is no ID3v1 tag");
    // A missing ID3v2 tag and another version number fail without a text of their own.
    info.pArtist = const_cast<char*>("stale");
    EXPECT_EQ(engine.LoadID3(2, &info), 0);
    EXPECT_EQ(info.pArtist, nullptr);
    EXPECT_EQ(engine.LoadID3(5, &info), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Mp3Engine::LoadID3->There is no ID3v1 tag");

    engine.CloseStream();
    EXPECT_EQ(engine.LoadID3(2, &info), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "LoadID3->Stream isn't open !");
}

// A managed stream's first chunk is released once the decoder has read it and
// the caller may then reuse the memory; the tag still reads from the engine's
// own copy.
TEST_F(EngineId3, ManagedStreamReadsItsTagAfterTheChunksAreReleased) {
    const auto path = tagged("managed.mp3", {eyeD3("--to-v2.4 --encoding utf8")});
    std::vector<uint8_t> first = readBytes(path);
    ASSERT_GT(first.size(), 8192u);
    const std::vector<uint8_t> rest(first.begin() + 8192, first.end());
    first.resize(8192);
    for (const int32_t copy : {0, 1}) {
        SCOPED_TRACE(copy);
        OutputCollector collector;
        Mp3Engine engine;
        ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), NOTIFY_STOPPED), 1);
        ASSERT_EQ(engine.OpenStream(copy, 1, first.data(), uint32_t(first.size()), 0), 1)
            << engine.GetLastErrorText();
        ASSERT_EQ(engine.PushDataToStream(rest.data(), uint32_t(rest.size())), 1);
        ASSERT_EQ(engine.PushDataToStream(nullptr, 0), 1);
        ASSERT_EQ(engine.Play(), 1) << engine.GetLastErrorText();
        ASSERT_TRUE(collector.waitStopped());
        ASSERT_EQ(engine.IsBufferReleased(first.data()), 1);
        std::vector<uint8_t> saved = first;
        std::fill(first.begin(), first.end(), uint8_t(0));
        EXPECT_EQ(load(engine, 2),
                  (Texts{kTitle, kArtist, kAlbum, "2024", "Said so", "12", "Jazz"}));
        first = saved;
    }
}
