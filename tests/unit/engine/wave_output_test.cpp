#include "engine/WaveOutput.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tolvane {
namespace {

// What the scripted device answers and what it was asked.
struct Script {
    MMRESULT openResult = MMSYSERR_NOERROR;
    MMRESULT prepareResult = MMSYSERR_NOERROR;
    MMRESULT writeResult = MMSYSERR_NOERROR;
    MMRESULT closeResult = MMSYSERR_NOERROR;
    MMRESULT positionResult = MMSYSERR_NOERROR;
    uint64_t frames = 0;

    int opens = 0;
    int32_t openedDevice = 0;
    WAVEFORMATEX openedFormat{};
    WaveOutProc callback = nullptr;
    uintptr_t instance = 0;
    std::vector<std::string> calls;
    std::vector<std::pair<int32_t, uint32_t>> deviceVolumes;
    uint32_t streamVolume = 0xFFFFFFFF;
};

class ScriptedStream final : public AudioStream {
  public:
    explicit ScriptedStream(Script& script) : s_(script) {}
    MMRESULT prepare(WAVEHDR*) override { return note("prepare", s_.prepareResult); }
    MMRESULT unprepare(WAVEHDR*) override { return note("unprepare", MMSYSERR_NOERROR); }
    MMRESULT write(WAVEHDR*) override { return note("write", s_.writeResult); }
    MMRESULT pause() override { return note("pause", MMSYSERR_NOERROR); }
    MMRESULT restart() override { return note("restart", MMSYSERR_NOERROR); }
    MMRESULT reset() override { return note("reset", MMSYSERR_NOERROR); }
    MMRESULT close() override { return note("close", s_.closeResult); }
    MMRESULT position(uint64_t& frames) override {
        frames = s_.frames;
        return s_.positionResult;
    }
    MMRESULT setVolume(uint32_t volume) override {
        s_.streamVolume = volume;
        return MMSYSERR_NOERROR;
    }
    MMRESULT getVolume(uint32_t& volume) override {
        volume = s_.streamVolume;
        return MMSYSERR_NOERROR;
    }
    std::string lastError() const override { return "scripted"; }

  private:
    MMRESULT note(const char* call, MMRESULT result) {
        s_.calls.push_back(call);
        return result;
    }
    Script& s_;
};

class ScriptedBackend final : public AudioBackend {
  public:
    explicit ScriptedBackend(Script& script) : s_(script) {}
    MMRESULT listDevices(std::vector<AudioDevice>& devices) override {
        devices.clear();
        return MMSYSERR_NOERROR;
    }
    MMRESULT open(int32_t deviceNumber, const WAVEFORMATEX& format, WaveOutProc callback,
                  uintptr_t instance, std::shared_ptr<AudioStream>& stream) override {
        ++s_.opens;
        s_.openedDevice = deviceNumber;
        s_.openedFormat = format;
        s_.callback = callback;
        s_.instance = instance;
        if (s_.openResult == MMSYSERR_NOERROR) {
            stream = std::make_shared<ScriptedStream>(s_);
        }
        return s_.openResult;
    }
    MMRESULT setDeviceVolume(int32_t deviceNumber, uint32_t volume) override {
        s_.deviceVolumes.emplace_back(deviceNumber, volume);
        mapper_ = volume;
        return MMSYSERR_NOERROR;
    }
    MMRESULT getDeviceVolume(int32_t deviceNumber, uint32_t& volume) override {
        s_.deviceVolumes.emplace_back(deviceNumber, ~0u);
        volume = mapper_;
        return MMSYSERR_NOERROR;
    }
    std::string lastError() const override { return "scripted backend"; }

  private:
    Script& s_;
    uint32_t mapper_ = 0xFFFFFFFF;
};

void callbackForTest(HWAVEOUT, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

class WaveOutputTest : public ::testing::Test {
  protected:
    WaveOutputTest() : wave_(std::make_shared<ScriptedBackend>(script_)) {}

    void initializeAndOpen() {
        ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 4, 110), 1);
        ASSERT_EQ(wave_.OpenAudioOutput(3, callbackForTest, 77, CALLBACK_FUNCTION), 1)
            << wave_.GetLastErrorText();
        script_.calls.clear();
    }

    Script script_;
    WaveOutput wave_;
};

TEST_F(WaveOutputTest, InitializeSizesTheRingFromFormatAndDuration) {
    ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 4, 110), 1);
    EXPECT_EQ(wave_.GetBufferSize(), 19404u);
    EXPECT_EQ(wave_.GetBufferCount(), 4u);
    EXPECT_EQ(wave_.GetFormat().nBlockAlign, 4);
    EXPECT_EQ(wave_.GetFormat().nAvgBytesPerSec, 176400u);
    EXPECT_EQ(wave_.GetFormat().cbSize, 0);
    std::set<char*> distinct;
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_NE(wave_.GetBufferData(i), nullptr);
        distinct.insert(wave_.GetBufferData(i));
        EXPECT_EQ(wave_.GetBufferBytes(i), 0u);
        EXPECT_EQ(wave_.IsBufferDone(i), 0);
    }
    EXPECT_EQ(distinct.size(), 4u);
    wave_.Uninitialize();

    // 22050 bytes per second × 50 ms is 1102.5 bytes, truncated.
    ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 1, 22050, 8, 2, 50), 1);
    EXPECT_EQ(wave_.GetBufferSize(), 1102u);
    EXPECT_EQ(wave_.GetFormat().nBlockAlign, 1);
}

TEST_F(WaveOutputTest, SecondInitializeFailsAndKeepsTheFirstRing) {
    ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 3, 100), 1);
    char* first = wave_.GetBufferData(0);
    EXPECT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 48000, 16, 8, 200), 0);
    EXPECT_EQ(wave_.GetLastErrorText(),
              "WaveOutput::Initialize->Already initialized. Uninitialize first.");
    EXPECT_EQ(wave_.GetBufferCount(), 3u);
    EXPECT_EQ(wave_.GetBufferSize(), 17640u);
    EXPECT_EQ(wave_.GetBufferData(0), first);

    EXPECT_EQ(wave_.Uninitialize(), 1);
    EXPECT_EQ(wave_.GetBufferCount(), 0u);
    EXPECT_EQ(wave_.Uninitialize(), 1);
    EXPECT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 48000, 16, 8, 200), 1);
}

TEST_F(WaveOutputTest, BufferTooLargeForMemoryFailsAndLeavesNothingAllocated) {
    EXPECT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 2, 0xFFFFFFFF), 0);
    EXPECT_EQ(wave_.GetLastErrorText(),
              "WaveOutput::Initialize->Can't allocate memory for output data buffer");
    EXPECT_EQ(wave_.GetBufferCount(), 0u);
    EXPECT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 2, 100), 1);
}

TEST_F(WaveOutputTest, WithoutDeviceEverythingReturnsZeroAndVolumeGoesToWaveMapper) {
    ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 2, 100), 1);
    for (uint32_t unit = 0; unit <= 4; ++unit) {
        EXPECT_EQ(wave_.GetOutputPosition(unit), 0u) << unit;
    }
    EXPECT_EQ(wave_.PauseOutput(), 0);
    EXPECT_EQ(wave_.RestartOutput(), 0);
    EXPECT_EQ(wave_.ResetOutput(), 0);
    EXPECT_EQ(wave_.Close(), 0);
    EXPECT_EQ(wave_.PlayBuffer(0), 0);
    EXPECT_EQ(wave_.UnprepareHeader(0), 0);
    EXPECT_EQ(wave_.GetLastErrorText(), "");
    EXPECT_TRUE(script_.calls.empty());

    // Left full and right silent is the volume word 0x0000FFFF.
    EXPECT_EQ(wave_.SetOutputVolume(0xFFFF, 0), MMSYSERR_NOERROR);
    uint16_t left = 1;
    uint16_t right = 1;
    EXPECT_EQ(wave_.GetOutputVolume(&left, &right), MMSYSERR_NOERROR);
    EXPECT_EQ(left, 0xFFFF);
    EXPECT_EQ(right, 0);
    ASSERT_EQ(script_.deviceVolumes.size(), 2u);
    EXPECT_EQ(script_.deviceVolumes[0], std::make_pair(WAVE_MAPPER, 0x0000FFFFu));
    EXPECT_EQ(script_.deviceVolumes[1].first, WAVE_MAPPER);
    EXPECT_EQ(wave_.GetOutputVolume(nullptr, &right), MMSYSERR_INVALPARAM);
}

TEST_F(WaveOutputTest, OpenPassesItsArgumentsAndMapsEveryFailure) {
    ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 2, 100), 1);
    ASSERT_EQ(wave_.OpenAudioOutput(WAVE_MAPPER, callbackForTest, 1234, CALLBACK_FUNCTION), 1);
    EXPECT_EQ(script_.openedDevice, WAVE_MAPPER);
    EXPECT_EQ(script_.callback, &callbackForTest);
    EXPECT_EQ(script_.instance, 1234u);
    EXPECT_EQ(script_.openedFormat.nSamplesPerSec, 44100u);
    EXPECT_EQ(script_.openedFormat.nAvgBytesPerSec, 176400u);
    // A function-callback open without a function still gets one that ignores
    // all; a null-callback open gets none; other callback kinds are refused.
    ASSERT_EQ(wave_.OpenAudioOutput(0, nullptr, 0, CALLBACK_FUNCTION), 1);
    EXPECT_NE(script_.callback, nullptr);
    ASSERT_EQ(wave_.OpenAudioOutput(0, callbackForTest, 0, CALLBACK_NULL), 1);
    EXPECT_EQ(script_.callback, nullptr);
    const int opens = script_.opens;
    EXPECT_EQ(wave_.OpenAudioOutput(0, callbackForTest, 0, 0x10000), 0);
    EXPECT_EQ(script_.opens, opens);
    EXPECT_EQ(wave_.GetLastErrorText(), "WaveOutput::OpenAudioOutput->Unknown error");

    const std::vector<std::pair<MMRESULT, std::string>> table = {
        {MMSYSERR_ALLOCATED, "Specified resource is already allocated"},
        {MMSYSERR_BADDEVICEID, "Specified device identifier is out of range"},
        {MMSYSERR_NODRIVER, "No device driver is present"},
        {MMSYSERR_NOMEM, "Unable to allocate or lock memory"},
        {WAVERR_BADFORMAT, "Attempted to open with an unsupported waveform-audio format"},
        {WAVERR_SYNC, "The device is synchronous but waveOutOpen was called without using the "
                      "WAVE_ALLOWSYNC flag"},
        {MMSYSERR_ERROR, "Unknown error"},
        {MMSYSERR_INVALPARAM, "Unknown error"},
    };
    for (const auto& [code, reason] : table) {
        script_.openResult = code;
        EXPECT_EQ(wave_.OpenAudioOutput(0, callbackForTest, 0, CALLBACK_FUNCTION), 0);
        EXPECT_EQ(wave_.GetLastErrorText(), "WaveOutput::OpenAudioOutput->" + reason) << code;
        EXPECT_EQ(wave_.GetOutputPosition(0), 0u);
    }
}

TEST_F(WaveOutputTest, CloseResetsFirstAndKeepsTheHandleWhenItFails) {
    initializeAndOpen();
    const std::vector<std::pair<MMRESULT, std::string>> table = {
        {MMSYSERR_NODRIVER, "No device driver is present"},
        {MMSYSERR_INVALHANDLE, "Specified device handle is invalid"},
        {MMSYSERR_NOMEM, "Unable to allocate or lock memory"},
        {WAVERR_STILLPLAYING, "There are still buffers in the queue"},
        {MMSYSERR_ERROR, "Unknown error"},
    };
    for (const auto& [code, reason] : table) {
        script_.closeResult = code;
        script_.calls.clear();
        EXPECT_EQ(wave_.Close(), 0);
        EXPECT_EQ(wave_.GetLastErrorText(), "WaveOutput::Close->" + reason);
        EXPECT_EQ(script_.calls, (std::vector<std::string>{"reset", "close"}));
    }
    // The handle survived every failure, so a retry reaches the device.
    script_.closeResult = MMSYSERR_NOERROR;
    EXPECT_EQ(wave_.Close(), 1);
    EXPECT_EQ(wave_.Close(), 0);
    EXPECT_EQ(wave_.PauseOutput(), 0);
}

TEST_F(WaveOutputTest, PlayBufferReportsFailuresAndNeverStrandsTheBuffer) {
    initializeAndOpen();
    wave_.SetBufferDone(0);
    wave_.SetBufferBytes(0, 400);
    EXPECT_EQ(wave_.PlayBuffer(0), 1);
    EXPECT_EQ(wave_.IsBufferDone(0), 0); // flags cleared for the device
    EXPECT_EQ(wave_.GetBufferBytes(0), 400u);
    EXPECT_EQ(script_.calls, (std::vector<std::string>{"prepare", "write"}));

    script_.calls.clear();
    script_.prepareResult = MMSYSERR_INVALHANDLE;
    EXPECT_EQ(wave_.PlayBuffer(1), 0);
    EXPECT_EQ(wave_.GetLastErrorText(), "WaveOutput::PlayBuffer->Can't prepare data");
    EXPECT_EQ(script_.calls, std::vector<std::string>{"prepare"});
    EXPECT_EQ(wave_.IsBufferDone(1), 1);

    script_.prepareResult = MMSYSERR_NOERROR;
    script_.writeResult = MMSYSERR_NODRIVER;
    EXPECT_EQ(wave_.PlayBuffer(2), 0);
    EXPECT_EQ(wave_.GetLastErrorText(), "WaveOutput::PlayBuffer->Can't write data");
    EXPECT_EQ(wave_.IsBufferDone(2), 1);
    EXPECT_EQ(wave_.GetDeviceErrorText(), "scripted");
}

TEST_F(WaveOutputTest, PositionUnits) {
    initializeAndOpen();
    script_.frames = 1234;
    EXPECT_EQ(wave_.GetOutputPosition(0), 1234u);
    EXPECT_EQ(wave_.GetOutputPosition(1), 27u); // 27.98 ms, truncated
    EXPECT_EQ(wave_.GetOutputPosition(2), 0u);
    EXPECT_EQ(wave_.GetOutputPosition(3), 4936u);
    script_.frames = 88200 + 44099;
    EXPECT_EQ(wave_.GetOutputPosition(1), 2999u);
    EXPECT_EQ(wave_.GetOutputPosition(2), 2u);
    EXPECT_EQ(wave_.GetOutputPosition(4), 0u);
    EXPECT_EQ(wave_.GetOutputPosition(0xFFFFFFFF), 0u);
    script_.positionResult = MMSYSERR_INVALHANDLE;
    EXPECT_EQ(wave_.GetOutputPosition(0), 0u);
}

TEST_F(WaveOutputTest, VolumeActsOnTheOpenDevice) {
    initializeAndOpen();
    // Each word is cut to 16 bits: right in the high word, left in the low word.
    EXPECT_EQ(wave_.SetOutputVolume(0x18000, 0x1234), MMSYSERR_NOERROR);
    EXPECT_EQ(script_.streamVolume, 0x12348000u);
    uint16_t left = 0;
    uint16_t right = 0;
    EXPECT_EQ(wave_.GetOutputVolume(&left, &right), MMSYSERR_NOERROR);
    EXPECT_EQ(left, 0x8000);
    EXPECT_EQ(right, 0x1234);
    EXPECT_TRUE(script_.deviceVolumes.empty());
}

TEST_F(WaveOutputTest, TransportReachesTheDeviceAndUninitializeResetsIt) {
    initializeAndOpen();
    EXPECT_EQ(wave_.PauseOutput(), 1);
    EXPECT_EQ(wave_.RestartOutput(), 1);
    EXPECT_EQ(wave_.UnprepareHeader(1), 1);
    // Freeing the ring resets the device first, so nothing queued outlives it.
    EXPECT_EQ(wave_.Uninitialize(), 1);
    EXPECT_EQ(script_.calls, (std::vector<std::string>{"pause", "restart", "unprepare", "reset"}));
}

} // namespace
} // namespace tolvane
