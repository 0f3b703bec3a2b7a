// Opening streams: files, registered resources and memory; tags, junk and VBR
// headers; the stream description and length; every refusal with its text.
#include "engine/ResourceRegistry.h"
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <sys/resource.h>

using namespace tolvane;
using namespace tolvane::test;

namespace {

class EngineOpen : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Mp3Files::get().ok()) << "test files not made"; }
    static std::filesystem::path file(const std::string& name) { return Mp3Files::get()[name]; }

    // Opens in no-device mode and reads the description and the length.
    void open(const std::filesystem::path& path) {
        ASSERT_EQ(engine.OpenMp3File(path.c_str(), 0, 0, 0), 1) << engine.GetLastErrorText();
        ASSERT_EQ(engine.GetMp3Info(&info), 1);
        ASSERT_EQ(engine.GetSongLengthHMS(&length), 1);
    }
    std::filesystem::path scratch(const std::string& name) {
        return Mp3Files::get().dir() / ("scratch-" + name);
    }

    Mp3Engine engine;
    MP3_STREAM_INFO info{};
    MP3_TIME length{};
};

long peakResidentKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

constexpr std::array<uint8_t, 4> kXing{'X', 'i', 'n', 'g'};
constexpr std::array<uint8_t, 4> kInfo{'I', 'n', 'f', 'o'};

size_t id3v2Size(const std::vector<uint8_t>& b) {
    return 10 + ((size_t(b[6]) << 21) | (size_t(b[7]) << 14) | (size_t(b[8]) << 7) | b[9]);
}

} // namespace

TEST_F(EngineOpen, FileOpenRefusals) {
    EXPECT_EQ(engine.OpenMp3File("/nonexistent/a.mp3", 500, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "OpenMp3FileEx->Can't open file:  /nonexistent/a.mp3  !");
    EXPECT_EQ(engine.OpenMp3File(Mp3Files::get().dir().c_str(), 500, 0, 0), 0);
    EXPECT_EQ(std::string(engine.GetLastErrorText()).rfind("OpenMp3FileEx->Can't open file:", 0),
              0u);

    const auto size = uint32_t(std::filesystem::file_size(file("cbr44.mp3")));
    EXPECT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 500, size, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3FileEx->Seek value out of range !");
    EXPECT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 500, 100, size - 99), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3FileEx->Size value out of range !");

    EXPECT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 199, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "_Open->Buffer can't be smaller than 200 ms");
    EXPECT_EQ(engine.Play(), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Play->Stream isn't open !");
    EXPECT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), -5, 0, 0), 0);
    EXPECT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 200, 0, 0), 1);
    EXPECT_EQ(engine.OpenMp3File(file("cbr44.mp3").c_str(), 0, 0, 0), 1);
}

TEST_F(EngineOpen, DataThatIsNoAudio) {
    const auto tiny = scratch("tiny.mp3");
    ASSERT_TRUE(writeBytes(tiny, {0xFF, 0xFB, 0x90, 0x00, 0, 0, 0}));
    EXPECT_EQ(engine.OpenMp3File(tiny.c_str(), 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "_OpenMp3->Invalid stream!");

    std::vector<uint8_t> text(5000, 'a');
    const auto noise = scratch("text.mp3");
    ASSERT_TRUE(writeBytes(noise, text));
    EXPECT_EQ(engine.OpenMp3File(noise.c_str(), 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "_OpenMp3->Can't find first valid mp3 frame");

    // One valid frame followed by garbage.
    std::vector<uint8_t> bytes = readBytes(file("cbr44_notag.mp3"));
    const std::vector<size_t> starts = frameStarts(bytes, 0, bytes.size());
    bytes.resize(starts[1]);
    bytes.insert(bytes.end(), 3000, 0x55);
    const auto lone = scratch("lone.mp3");
    ASSERT_TRUE(writeBytes(lone, bytes));
    EXPECT_EQ(engine.OpenMp3File(lone.c_str(), 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "_OpenMp3->Can't find first valid mp3 frame");
}

TEST_F(EngineOpen, ConstantBitRateWithoutHeader) {
    const auto bytes = readBytes(file("cbr44_notag.mp3"));
    open(file("cbr44_notag.mp3"));
    EXPECT_EQ(info.nMpegVersion, 1);
    EXPECT_EQ(info.nLayer, 4);
    EXPECT_EQ(info.nSampleRate, 44100);
    EXPECT_EQ(info.nChannels, 2);
    EXPECT_EQ(info.nHeaderSize, 0);
    EXPECT_EQ(info.fVbr, 0);
    EXPECT_EQ(info.nBitrate, 128);
    EXPECT_EQ(length.nBytes, bytes.size());
    EXPECT_EQ(length.nMilliseconds, uint32_t(bytes.size() * 8 / 128));
    const size_t frames = frameStarts(bytes, 0, bytes.size()).size();
    EXPECT_NEAR(double(length.nFrames), double(frames), 1.0);
    EXPECT_EQ(engine.GetBitrate(0), 0); // nothing decoded yet
    EXPECT_EQ(engine.GetBitrate(1), 0);
}

TEST_F(EngineOpen, InfoAndXingHeadersGiveTheLength) {
    for (const char* name : {"cbr44.mp3", "vbr44.mp3", "crc44.mp3", "ffmpeg44.mp3"}) {
        SCOPED_TRACE(name);
        const auto bytes = readBytes(file(name));
        const std::vector<size_t> starts = frameStarts(bytes, 0, bytes.size());
        open(file(name));
        // The header frame is dropped: the audio starts at the second frame.
        EXPECT_EQ(size_t(info.nHeaderSize), starts[1]);
        EXPECT_EQ(length.nFrames, starts.size() - 1);
        EXPECT_EQ(length.nBytes, bytes.size() - starts[1]);
        EXPECT_EQ(length.nMilliseconds, uint32_t((starts.size() - 1) * 1152 * 1000 / 44100));
    }
    open(file("vbr44.mp3"));
    EXPECT_EQ(info.fVbr, 1);
    const double average = double(length.nBytes) * 8 / length.nFrames * 44100 / 1152;
    EXPECT_EQ(info.nBitrate, int32_t(average * 0.001));
}

// A header claiming more frames than the audio could hold is not believed:
// the stream is timed as one without a header, opened as a file or as a
// managed stream given the whole file at once.
TEST_F(EngineOpen, ImpossibleFrameCountInTheHeaderIsNotBelieved) {
    for (const char* name : {"cbr44.mp3", "vbr44.mp3"}) {
        SCOPED_TRACE(name);
        auto bytes = readBytes(file(name));
        const std::vector<size_t> starts = frameStarts(bytes, 0, bytes.size());
        const double audioMs = (starts.size() - 1) * 1152 * 1000.0 / 44100;
        const auto headerEnd = bytes.begin() + std::ptrdiff_t(starts[1]);
        auto magic = std::search(bytes.begin(), headerEnd, kXing.begin(), kXing.end());
        if (magic == headerEnd) {
            magic = std::search(bytes.begin(), headerEnd, kInfo.begin(), kInfo.end());
        }
        ASSERT_NE(magic, headerEnd);
        ASSERT_EQ(magic[7] & 0x5, 0x5); // frame count and table of contents present
        std::fill(magic + 8, magic + 12, 0xFF);
        const auto path = scratch(std::string("claims-") + name);
        ASSERT_TRUE(writeBytes(path, bytes));
        open(path);
        EXPECT_NEAR(length.nMilliseconds, audioMs, audioMs * 0.05);
        EXPECT_NEAR(double(length.nFrames), double(starts.size()), starts.size() * 0.05);

        ASSERT_EQ(engine.OpenStream(1, 1, bytes.data(), uint32_t(bytes.size()), 0), 1);
        ASSERT_EQ(engine.GetSongLengthHMS(&length), 1);
        EXPECT_NEAR(length.nMilliseconds, audioMs, audioMs * 0.05);
    }
}

TEST_F(EngineOpen, VariableBitRateWithoutHeaderIsEstimated) {
    const auto bytes = readBytes(file("vbr44_notag.mp3"));
    const size_t frames = frameStarts(bytes, 0, bytes.size()).size();
    open(file("vbr44_notag.mp3"));
    EXPECT_EQ(info.nHeaderSize, 0);
    EXPECT_EQ(info.fVbr, 1);
    EXPECT_NEAR(double(length.nFrames), double(frames), frames * 0.1);
    EXPECT_NEAR(double(length.nMilliseconds), frames * 1152 * 1000.0 / 44100, 500.0);
}

TEST_F(EngineOpen, VbriHeaderGivesTheLength) {
    const auto audio = readBytes(file("cbr44_notag.mp3"));
    const auto bytes = withVbriHeader(audio);
    const auto path = scratch("vbri.mp3");
    ASSERT_TRUE(writeBytes(path, bytes));
    const size_t frames = frameStarts(audio, 0, audio.size()).size();
    open(path);
    EXPECT_EQ(size_t(info.nHeaderSize), bytes.size() - audio.size());
    EXPECT_EQ(length.nFrames, frames);
    EXPECT_EQ(length.nBytes, audio.size());
    EXPECT_EQ(length.nMilliseconds, uint32_t(frames * 1152 * 1000 / 44100));
}

TEST_F(EngineOpen, TagsAndJunkBeforeTheFirstFrame) {
    const auto plain = readBytes(file("cbr44.mp3"));
    const size_t infoFrame = frameStarts(plain, 0, plain.size())[1];

    const auto tagged = readBytes(file("id3v2_44.mp3"));
    open(file("id3v2_44.mp3"));
    EXPECT_EQ(size_t(info.nHeaderSize), id3v2Size(tagged) + infoFrame);
    const size_t v1Tag = std::memcmp(&tagged[tagged.size() - 128], "TAG", 3) == 0 ? 128 : 0;
    EXPECT_EQ(length.nBytes, tagged.size() - size_t(info.nHeaderSize) - v1Tag);

    // The ID3v1 tag at the end is not audio.
    const auto v1 = readBytes(file("id3v1_44.mp3"));
    ASSERT_EQ(std::memcmp(&v1[v1.size() - 128], "TAG", 3), 0);
    open(file("id3v1_44.mp3"));
    EXPECT_EQ(length.nBytes, v1.size() - 128 - size_t(info.nHeaderSize));

    // A tag followed by junk: the search finds the frame behind it.
    open(file("junk44.mp3"));
    EXPECT_EQ(info.nHeaderSize, 10 + 16 + 16);
    EXPECT_EQ(info.nBitrate, 128);
}

TEST_F(EngineOpen, LowSamplingFrequencies) {
    open(file("mono22.mp3"));
    EXPECT_EQ(info.nMpegVersion, 2);
    EXPECT_EQ(info.nChannelMode, 1);
    EXPECT_EQ(info.nChannels, 1);
    EXPECT_EQ(info.nSampleRate, 22050);
    EXPECT_EQ(info.nBitrate, 32);
    open(file("mpeg25_8k.mp3"));
    EXPECT_EQ(info.nMpegVersion, 4);
    EXPECT_EQ(info.nSampleRate, 8000);

    // MPEG-2 Layer II frames hold 1152 samples: three seconds of tone are
    // about three seconds long, not half that.
    open(file("layer2_22.mp3"));
    EXPECT_EQ(info.nMpegVersion, 2);
    EXPECT_EQ(info.nLayer, 2);
    EXPECT_NEAR(double(length.nMilliseconds), 3000.0, 150.0);
}

TEST_F(EngineOpen, OffsetAndSizeSelectAWindow) {
    const auto bytes = readBytes(file("cbr44_notag.mp3"));
    const std::vector<size_t> starts = frameStarts(bytes, 0, bytes.size());
    const auto from = uint32_t(starts[10]);
    const auto size = uint32_t(starts[60] - starts[10]);
    ASSERT_EQ(engine.OpenMp3File(file("cbr44_notag.mp3").c_str(), 0, from, size), 1);
    ASSERT_EQ(engine.GetSongLengthHMS(&length), 1);
    ASSERT_EQ(engine.GetMp3Info(&info), 1);
    // Frames whose main data lies before the window cannot decode; the first
    // valid frame is the first that can.
    const size_t first = from + size_t(info.nHeaderSize);
    EXPECT_NE(std::find(starts.begin(), starts.end(), first), starts.end());
    EXPECT_LT(info.nHeaderSize, 5 * 418);
    EXPECT_EQ(length.nBytes, size - uint32_t(info.nHeaderSize));
    EXPECT_EQ(length.nMilliseconds, length.nBytes * 8 / 128);
}

// Audio bytes count in 32 bits in the records: a file with 4 GB of audio or
// more is refused; a large one below opens without reading what it need not,
// here a gigabyte of zeros (a sparse file) after the frames.
TEST_F(EngineOpen, LargeFilesFitTheRecordsOrAreRefused) {
    const auto big = scratch("big.mp3");
    std::filesystem::copy_file(file("cbr44.mp3"), big);
    std::filesystem::resize_file(big, uint64_t{1} << 30);
    const long before = peakResidentKb();
    open(big);
    EXPECT_LT(peakResidentKb() - before, 64 * 1024);
    EXPECT_EQ(length.nBytes, (1u << 30) - uint32_t(info.nHeaderSize));
    engine.CloseStream();
    std::filesystem::resize_file(big, uint64_t{5} << 30);
    EXPECT_EQ(engine.OpenMp3File(big.c_str(), 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "_OpenMp3->Audio data of 4 GB or more isn't supported !");
    std::filesystem::remove(big);
}

TEST_F(EngineOpen, WidePathsAreUtf8FileNames) {
    const auto path = Mp3Files::get().dir() / u8"声音.mp3";
    std::filesystem::copy_file(file("cbr44.mp3"), path,
                               std::filesystem::copy_options::overwrite_existing);
    const std::u16string wide = u"/" + path.u16string().substr(1);
    EXPECT_EQ(engine.OpenMp3FileW(wide.c_str(), 0, 0, 0), 1) << engine.GetLastErrorText();
    EXPECT_EQ(engine.OpenMp3FileW(u"/nonexistent/x.mp3", 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "OpenMp3FileEx->Can't open file:  /nonexistent/x.mp3  !");
}

TEST_F(EngineOpen, RegisteredResources) {
    const auto bytes = readBytes(file("cbr44.mp3"));
    int module = 0;
    EXPECT_EQ(engine.OpenMp3Resource(&module, "SPEECH", "MP3", 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3Resource->Can't find resource !");
    ASSERT_TRUE(ResourceRegistry::add(&module, "Speech", "Mp3", bytes.data(), bytes.size()));
    ASSERT_TRUE(ResourceRegistry::add(&module, "EMPTY", "MP3", nullptr, 0));
    EXPECT_EQ(engine.OpenMp3Resource(&module, "EMPTY", "MP3", 0, 0, 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3Resource->Can't get resource size !");
    EXPECT_EQ(engine.OpenMp3Resource(&module, "SPEECH", "MP3", 0, uint32_t(bytes.size()), 0), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3Resource->Seek value out of range !");
    EXPECT_EQ(engine.OpenMp3Resource(&module, "SPEECH", "MP3", 0, 1, uint32_t(bytes.size())), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenMp3Resource->Size value out of range !");

    ASSERT_EQ(engine.OpenMp3Resource(&module, "speech", "mp3", 0, 0, 0), 1)
        << engine.GetLastErrorText();
    // Removing the entry does not pull the bytes from under the open stream.
    EXPECT_TRUE(ResourceRegistry::remove(&module, "SPEECH", "MP3"));
    EXPECT_TRUE(ResourceRegistry::remove(&module, "EMPTY", "MP3"));
    OutputCollector collector;
    ASSERT_EQ(engine.SetCallbackFunc(collector.callback(), kCollectMask), 1);
    ASSERT_EQ(engine.Play(), 1);
    ASSERT_TRUE(collector.waitStopped());
    EXPECT_GT(collector.output().samples.size(), 44100u * 2 * 4);
    engine.SetCallbackFunc(nullptr, 0); // before the collector goes
}

TEST_F(EngineOpen, MemoryStreamRefusals) {
    EXPECT_EQ(engine.OpenStream(1, 1, nullptr, 100, 500), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "OpenStream->Can't open NULL stream !");
    EXPECT_EQ(engine.PushDataToStream("x", 1), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "PushDataToStream->Stream isn't open !");
    EXPECT_EQ(engine.IsBufferReleased("x"), 1);

    const auto bytes = readBytes(file("cbr44.mp3"));
    ASSERT_EQ(engine.OpenStream(0, 0, bytes.data(), uint32_t(bytes.size()), 500), 1);
    EXPECT_EQ(engine.PushDataToStream(bytes.data(), 10), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "PushDataToStream->Can't push data into unmanaged stream !");
    STREAM_LOAD_INFO load{};
    EXPECT_EQ(engine.GetStreamLoad(&load), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "GetStreamLoad->Stream isn't managed. Can't get this data !");

    // A failed open leaves nothing queued and no stream open.
    const std::vector<uint8_t> junk(3000, 0x11);
    EXPECT_EQ(engine.OpenStream(1, 1, junk.data(), uint32_t(junk.size()), 500), 0);
    EXPECT_EQ(engine.IsBufferReleased(junk.data()), 1);
    EXPECT_EQ(engine.Play(), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Play->Stream isn't open !");
}

TEST_F(EngineOpen, StreamLoadBeforeDecoding) {
    const auto bytes = readBytes(file("cbr44_notag.mp3"));
    ASSERT_EQ(engine.OpenStream(1, 1, bytes.data(), 2000, 500), 1);
    ASSERT_EQ(engine.PushDataToStream(bytes.data() + 2000, 16000), 1);
    STREAM_LOAD_INFO load{};
    ASSERT_EQ(engine.GetStreamLoad(&load), 1);
    EXPECT_EQ(load.nBuffers, 2u);
    EXPECT_EQ(load.nBytes, 18000u);
    EXPECT_EQ(load.nMilliseconds, 1125u); // 18000 bytes at 128 kbit/s
    EXPECT_EQ(engine.GetStreamLoad(nullptr), 0);
    EXPECT_STREQ(engine.GetLastErrorText(),
                 "GetStreamLoad->Invalid parameter !  STREAM_LOAD_INFO *pStreamLoadInfo can't be "
                 "NULL!");
    EXPECT_EQ(engine.PushDataToStream(nullptr, 0), 1);
    EXPECT_EQ(engine.CloseStream(), 1);
    EXPECT_EQ(engine.GetStreamLoad(&load), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "GetStreamLoad->Stream isn't open !");
}
