// tolvane-play's command line: what the parser makes of arguments, and the
// exit status and messages of the tool for usage errors and engine failures.
#include "tests/integration/play/PlayTestSupport.h"
#include "tools/play/CommandLine.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tolvane::play;
using namespace tolvane::test;

namespace {

CommandLine::Result parse(std::vector<const char*> args) {
    return CommandLine::parse(args);
}

} // namespace

TEST(PlayCommandLine, ReadsEveryOptionOfDecode) {
    const auto r =
        parse({"decode", "in.mp3", "--seek", "1500", "--volume", "30", "100", "--fade-in", "200",
               "--fade-out", "300", "--mix", "100", "0", "--vocal-cut", "out.wav"});
    ASSERT_TRUE(r.ok) << r.error;
    const PlayOptions& o = r.options;
    EXPECT_EQ(o.command, Command::Decode);
    EXPECT_EQ(o.file, "in.mp3");
    EXPECT_EQ(o.output, "out.wav");
    EXPECT_EQ(o.seekMs, 1500u);
    EXPECT_EQ(o.volume, (std::array<uint32_t, 2>{30, 100}));
    EXPECT_EQ(o.fadeInMs, 200u);
    EXPECT_EQ(o.fadeOutMs, 300u);
    EXPECT_EQ(o.mix, (std::array<uint32_t, 2>{100, 0}));
    EXPECT_TRUE(o.vocalCut);
    EXPECT_FALSE(o.reverse);
    EXPECT_FALSE(o.loop.has_value());
    EXPECT_FALSE(o.device.has_value());
}

TEST(PlayCommandLine, ReadsPlayWithDeviceLoopAndReverse) {
    auto r = parse({"play", "--device", "-1", "a.mp3", "--loop", "1000", "3000", "2"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, Command::Play);
    EXPECT_EQ(r.options.device, -1);
    ASSERT_TRUE(r.options.loop.has_value());
    EXPECT_EQ(r.options.loop->startMs, 1000u);
    EXPECT_EQ(r.options.loop->endMs, 3000u);
    EXPECT_EQ(r.options.loop->count, 2u);

    r = parse({"play", "--reverse", "--", "--odd-name.mp3"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.reverse);
    EXPECT_EQ(r.options.file, "--odd-name.mp3");

    r = parse({"decode", "-", "-"}); // "-" is a name, not an option
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.output, "-");
}

TEST(PlayCommandLine, ReadsTheEffectOptions) {
    auto r = parse({"decode", "in.mp3", "out.wav", "--eq-subband", "-3", "1,2,3,4,5,6,7,8,9,-96",
                    "--eq-bands", "0,1000,96000", "--eq-gains", "-1.5", "-12,0.0005", "--echo",
                    "9,1000,-6,-3,96"});
    ASSERT_TRUE(r.ok) << r.error;
    const PlayOptions& o = r.options;
    ASSERT_TRUE(o.subbandEq.has_value());
    EXPECT_EQ(o.subbandEq->preampDb, -3);
    EXPECT_EQ(o.subbandEq->gainsDb, (std::array<int32_t, 10>{1, 2, 3, 4, 5, 6, 7, 8, 9, -96}));
    EXPECT_EQ(o.eqBands, (std::vector<int32_t>{0, 1000, 96000}));
    ASSERT_TRUE(o.eqGains.has_value());
    EXPECT_EQ(o.eqGains->preampMilli, -1500);
    EXPECT_EQ(o.eqGains->gainsMilli, (std::vector<int32_t>{-12000, 1}));
    ASSERT_TRUE(o.echo.has_value());
    EXPECT_EQ(o.echo->mode, 9);
    EXPECT_EQ(o.echo->delayMs, 1000);
    EXPECT_EQ(o.echo->dryDb, -6);
    EXPECT_EQ(o.echo->wetDb, -3);
    EXPECT_EQ(o.echo->outputDb, 96);

    // Without --eq-bands the engine's ten bands take ten gains.
    r = parse({"play", "a.mp3", "--eq-gains", "2", "0,0,0,0,0,0,0,0,0,-3.25"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.options.eqBands.has_value());
    EXPECT_EQ(r.options.eqGains->gainsMilli.back(), -3250);
    EXPECT_FALSE(r.options.echo.has_value());
    EXPECT_FALSE(r.options.subbandEq.has_value());
}

TEST(PlayCommandLine, ReadsTagsAndSpectrum) {
    auto r = parse({"tags", "a.mp3", "--v2"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, Command::Tags);
    EXPECT_EQ(r.options.file, "a.mp3");
    EXPECT_EQ(r.options.tagVersion, 2);
    EXPECT_EQ(parse({"tags", "--v1", "a.mp3"}).options.tagVersion, 1);

    r = parse({"spectrum", "a.mp3"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, Command::Spectrum);
    EXPECT_EQ(r.options.fftPoints, 2048);
    EXPECT_EQ(r.options.fftWindow, 3); // Hann

    // The sizes the engine refuses are its to refuse, with its own text.
    r = parse({"spectrum", "a.mp3", "--points", "4096", "--window", "blackman-nuttall", "--device",
               "0", "--echo", "1,0,0,0,0"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.fftPoints, 4096);
    EXPECT_EQ(r.options.fftWindow, 13);
    EXPECT_EQ(r.options.device, 0);
    EXPECT_TRUE(r.options.echo.has_value());
    EXPECT_EQ(parse({"spectrum", "a", "--points", "32", "--window", "14"}).options.fftWindow, 14);
}

TEST(PlayCommandLine, RefusesWhatItCannotDo) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{}, "no command given"},
        {{"dance"}, "unknown command 'dance'"},
        {{"info"}, "info needs FILE"},
        {{"info", "a", "b"}, "info needs FILE"},
        {{"devices", "x"}, "devices takes no arguments"},
        {{"decode", "a.mp3"}, "decode needs FILE OUT.wav"},
        {{"decode", "a", "b", "--device", "1"}, "unknown option --device for decode"},
        {{"info", "a", "--seek", "1"}, "unknown option --seek for info"},
        {{"play", "a", "--sekk", "1"}, "unknown option --sekk for play"},
        {{"play", "a", "--seek"}, "--seek needs MS"},
        {{"play", "a", "--loop", "1", "2"}, "--loop needs START_MS END_MS COUNT"},
        {{"play", "a", "--seek", "-5"},
         "--seek: '-5' is not a time in milliseconds (0..2147483647)"},
        {{"play", "a", "--seek", "12x"},
         "--seek: '12x' is not a time in milliseconds (0..2147483647)"},
        {{"play", "a", "--seek", "99999999999"},
         "--seek: '99999999999' is not a time in milliseconds (0..2147483647)"},
        {{"play", "a", "--volume", "101", "5"}, "--volume: '101' is not a percentage (0..100)"},
        {{"play", "a", "--mix", "5", ""}, "--mix: '' is not a percentage (0..100)"},
        {{"play", "a", "--loop", "1", "2", "0"},
         "--loop: '0' is not a repetition count (1..2147483647)"},
        {{"play", "a", "--device", "-2"}, "--device: '-2' is not a device index (-1..2147483647)"},
        {{"play", "a", "--seek", "1", "--seek", "2"}, "--seek is given twice"},
        {{"play", "a", "--loop", "1", "2", "3", "--seek", "5"},
         "--loop starts at its own START_MS; it cannot be combined with --seek"},
        {{"play", "a", "--loop", "1", "2", "3", "--reverse"},
         "--loop cannot be combined with --reverse"},
        {{"play", "a", "--eq-subband", "0"}, "--eq-subband needs PREAMP G0,...,G9"},
        {{"play", "a", "--eq-subband", "0", "1,2,3,4,5,6,7,8,9"},
         "--eq-subband: 9 gains given, 10 wanted"},
        {{"play", "a", "--eq-subband", "0", "1,2,3,4,5,6,7,8,9,"},
         "--eq-subband: '' is not a gain in whole dB (-96..96)"},
        {{"play", "a", "--eq-subband", "0.5", "0,0,0,0,0,0,0,0,0,0"},
         "--eq-subband: '0.5' is not a gain in whole dB (-96..96)"},
        {{"play", "a", "--eq-bands", "100"}, "--eq-bands: 1 points given, 2..64 wanted"},
        {{"play", "a", "--eq-bands", "0,1000,500"},
         "--eq-bands: the points must rise: 500 follows 1000"},
        {{"play", "a", "--eq-bands", "0,96001"},
         "--eq-bands: '96001' is not a frequency in Hz (0..96000)"},
        {{"play", "a", "--eq-bands", "0,1000"},
         "--eq-bands needs --eq-gains with a gain for each band"},
        {{"play", "a", "--eq-bands", "0,1000,2000", "--eq-gains", "0", "1,2,3"},
         "--eq-gains: 3 gains given, 2 wanted (one per band)"},
        {{"play", "a", "--eq-gains", "0", "1,2"},
         "--eq-gains: 2 gains given, 10 wanted (one per band)"},
        {{"play", "a", "--eq-gains", "nan", "1"},
         "--eq-gains: 'nan' is not a gain in dB (-96..96)"},
        {{"play", "a", "--eq-gains", "0", "1e3"},
         "--eq-gains: '1e3' is not a gain in dB (-96..96)"},
        {{"play", "a", "--eq-gains", "-96.5", "1"},
         "--eq-gains: '-96.5' is not a gain in dB (-96..96)"},
        {{"play", "a", "--echo", "1,2,3,4"}, "--echo: 4 values given, 5 wanted"},
        {{"play", "a", "--echo", "10,0,0,0,0"}, "--echo: '10' is not an echo mode (0..9)"},
        {{"play", "a", "--echo", "0,1001,0,0,0"},
         "--echo: '1001' is not a delay in milliseconds (0..1000)"},
        {{"play", "a", "--echo", "0,0,0,0,x"}, "--echo: 'x' is not a gain in whole dB (-96..96)"},
        {{"tags", "a"}, "tags needs --v1 or --v2"},
        {{"tags", "a", "--v1", "--v2"}, "--v1 and --v2 exclude each other"},
        {{"tags", "--v1"}, "tags needs FILE"},
        {{"tags", "a", "--v1", "--seek", "1"}, "unknown option --seek for tags"},
        {{"decode", "a", "b", "--v1"}, "unknown option --v1 for decode"},
        {{"play", "a", "--points", "256"}, "unknown option --points for play"},
        {{"spectrum", "a", "--points", "1000"},
         "--points: '1000' is not a power of two (32..16384)"},
        {{"spectrum", "a", "--window", "0"},
         "--window: '0' is not a window type (1..14); or a name: rectangular, hamming, hann, "
         "sine, lanczos, bartlett, triangular, gauss, bartlett-hann, blackman, nuttall, "
         "blackman-harris, blackman-nuttall, flat-top"},
    };
    for (const auto& [args, error] : cases) {
        const auto r = parse(args);
        EXPECT_FALSE(r.ok) << "accepted: " << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.error, error);
    }
}

TEST(PlayCommandLine, HelpNamesEveryCommandAndOption) {
    EXPECT_EQ(parse({"--help"}).options.command, Command::Help);
    const std::string help = CommandLine::usage();
    for (const char* word : {"info FILE",
                             "decode FILE OUT.wav",
                             "play FILE",
                             "devices",
                             "--device N",
                             "--seek MS",
                             "--reverse",
                             "--loop START_MS END_MS COUNT",
                             "--volume L R",
                             "--fade-in MS",
                             "--fade-out MS",
                             "--mix L R",
                             "--vocal-cut",
                             "tags FILE",
                             "spectrum FILE",
                             "--eq-subband PREAMP G0,...,G9",
                             "--eq-bands F0,...,Fn",
                             "--eq-gains PREAMP G0,...",
                             "--echo MODE,DELAY,DRY,WET,OUT",
                             "--v1",
                             "--v2",
                             "--points N",
                             "--window W"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

class PlayTool : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(PlayFiles::get().ok()) << "test files not made"; }
    static std::string file(const std::string& name) { return PlayFiles::get()[name].string(); }
};

TEST_F(PlayTool, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"nope"},
                                               {"decode", file("tone44.mp3")},
                                               {"play", file("tone44.mp3"), "--volume", "1"}}) {
        const ProcessResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_EQ(r.err.rfind("tolvane-play: ", 0), 0u) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    const ProcessResult help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage:"), std::string::npos);
}

TEST_F(PlayTool, EngineFailuresExitWithOneAndTheEngineText) {
    const std::string missing = (PlayFiles::get().dir() / "missing.mp3").string();
    ProcessResult r = runTool({"info", missing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastErrorLine(), "OpenMp3FileEx->Can't open file:  " + missing + "  !");

    const auto text = PlayFiles::get().dir() / "text.mp3";
    std::ofstream(text) << std::string(4000, 'x');
    r = runTool({"decode", text.string(), "/dev/null"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastErrorLine(), "_OpenMp3->Can't find first valid mp3 frame");

    r = runTool({"decode", file("tone44.mp3"), "/dev/null", "--loop", "3000", "1000", "2"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastErrorLine(), "PlayLoop->Loop end time is smaller than loop start time !");

    r = runTool({"play", file("tone44.mp3"), "--device", "100000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastErrorLine(),
              "SetWaveOutDevice->Invalid first parameter. nIndex is out of bounds !");

    // Refused before the run starts: nothing is played or printed.
    r = runTool({"spectrum", file("tone44.mp3"), "--points", "4096"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, "FFT_STRUCT->nFFTPoints parameter can be only one of these values:\n"
                     "32, 64, 128, 512, 1024, 2048, 8192, 16384\n");
}

// Without a reachable sound server ALSA's default device cannot open: play
// says so in the engine's words, as scripts/run.sh expects.
TEST_F(PlayTool, PlayWithoutAnOutputDeviceFailsWithTheEngineText) {
    const ProcessResult r = runTool({"play", file("tone44.mp3")}, {},
                                    {"PULSE_SERVER=unix:/nonexistent/tolvane", "ALSA_CARD=none"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastErrorLine(), "_ThreadFunc->Can't open wave output: WAVE_MAPPER") << r.err;
}

TEST_F(PlayTool, OutputThatCannotBeWrittenExitsWithOne) {
    const std::string dir = PlayFiles::get().dir().string();
    ProcessResult r = runTool({"decode", file("tone44.mp3"), dir + "/no/such/dir/out.wav"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.lastErrorLine().find("can't open " + dir + "/no/such/dir/out.wav"),
              std::string::npos)
        << r.err;
    r = runTool({"decode", file("tone44.mp3"), "/dev/full"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.lastErrorLine().find("No space left on device"), std::string::npos) << r.err;
}

// Truncating the input while the engine has it mapped would crash the tool.
TEST_F(PlayTool, DecodeRefusesToWriteOverItsInput) {
    const auto copy = PlayFiles::get().dir() / "self.mp3";
    std::filesystem::copy_file(file("tone44.mp3"), copy,
                               std::filesystem::copy_options::overwrite_existing);
    const auto size = std::filesystem::file_size(copy);
    const ProcessResult r = runTool({"decode", copy.string(), copy.string()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.lastErrorLine(),
              "tolvane-play: won't write the output over the input file " + copy.string());
    EXPECT_EQ(std::filesystem::file_size(copy), size);
}

TEST_F(PlayTool, InfoIsOneLineWithTheFieldsInOrder) {
    const ProcessResult r = runTool({"info", file("l3_vbr24.mp3")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    EXPECT_EQ(r.out.front(), '{');
    const auto fields = parseJsonLine(r.out);
    const std::vector<std::string> keys = {
        "mpeg_version", "layer", "channel_mode", "emphasis",  "sample_rate", "header_size",
        "channels",     "vbr",   "bitrate",      "length_ms", "frames",      "bytes"};
    ASSERT_EQ(fields.size(), keys.size()) << r.out;
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(fields[i].first, keys[i]);
    }
    // MPEG-2 Layer III, joint stereo, 24 kHz, VBR with a Xing/LAME header frame.
    const std::map<std::string, long> info(fields.begin(), fields.end());
    EXPECT_EQ(info.at("mpeg_version"), 2);
    EXPECT_EQ(info.at("layer"), 4);
    EXPECT_EQ(info.at("channel_mode"), 4);
    EXPECT_EQ(info.at("sample_rate"), 24000);
    EXPECT_EQ(info.at("channels"), 2);
    EXPECT_EQ(info.at("vbr"), 1);
    EXPECT_GT(info.at("header_size"), 0);
    // Frames of 576 samples: the length follows from the frame count.
    EXPECT_NEAR(info.at("length_ms"), info.at("frames") * 576 * 1000 / 24000, 1);
}
