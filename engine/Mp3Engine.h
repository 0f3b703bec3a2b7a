#pragma once

#include "effects/FrequencyAnalyzer.h"
#include "effects/Id3Reader.h"
#include "engine/ChunkQueue.h"
#include "engine/EffectChain.h"
#include "engine/EngineRingView.h"
#include "engine/ErrorText.h"
#include "engine/GainState.h"
#include "engine/MappedFile.h"
#include "engine/MemoryStream.h"
#include "engine/Notifier.h"
#include "engine/RunCounters.h"
#include "engine/StreamDescription.h"
#include "engine/StreamWindow.h"
#include "engine/Transport.h"
#include "engine/WaveTypes.h"
#include "platform/EngineRecords.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane {

class AudioBackend;
class WaveOutput;
class WaveOutDeviceList;
struct MadDecoder;

// The MP3 player object: takes a stream (a file, a registered resource or
// memory pushed by the caller), decodes it on a thread of its own and plays it
// through the owned WaveOutput. Callers drive it only through the operations
// below, kept in the order of the engine's operation table. Every operation
// returns 1 for success and 0 for failure, leaving the reason in the error
// text ("Operation->reason"); success never clears that text.
//
// Threads: the application thread calls the operations; a decoding thread
// runs each playback; the output backend's thread reports finished buffers;
// the Notifier's thread calls the user's function; the band equalizer's
// control thread designs its filters; a pusher may feed a managed stream from
// any thread. DecodeRun.h tells which lock guards what.
class Mp3Engine {
  public:
    static constexpr int kErrorTextSize = ErrorText::kSize;

    // Plays through the process's ALSA backend.
    Mp3Engine();
    // Plays through `backend` and lists its devices.
    explicit Mp3Engine(std::shared_ptr<AudioBackend> backend);
    virtual ~Mp3Engine();
    Mp3Engine(const Mp3Engine&) = delete;
    Mp3Engine& operator=(const Mp3Engine&) = delete;

    // The constant 250.
    virtual int32_t GetEngineVersion();
    // The last error text; empty while no operation has failed. Never null.
    // The text is the calling thread's own copy, taken under the error lock:
    // it stays as it is until the same thread asks this engine again or the
    // engine is destroyed, whatever another thread fails meanwhile.
    virtual const char* GetLastErrorText();
    // Lists the output devices; their number, 0 on failure.
    virtual int32_t EnumerateWaveOut();
    virtual int32_t GetWaveOutInfo(uint32_t nIndex, WAVEOUT_INFO* pWaveOutInfo);
    // Selects the device the next run plays on; −1 is the system's preferred one.
    virtual int32_t SetWaveOutDevice(int32_t nIndex);
    // Opens a file (path in the locale's charset): the window of `nSize` bytes
    // (0 = to the end) from `nSeekOffset`, with wave buffers of `nBufferMs` in all.
    virtual int32_t OpenMp3File(const char* sFileName, int32_t nBufferMs, uint32_t nSeekOffset,
                                uint32_t nSize);
    virtual int32_t OpenStream(int32_t fBuffered, int32_t fManaged, const void* sMemStream,
                               uint32_t nStreamSize, int32_t nBufferMs);
    // Feeds a managed stream; null or 0 bytes marks the end of the data.
    virtual int32_t PushDataToStream(const void* sMemNewData, uint32_t nNewDataSize);
    virtual int32_t IsBufferReleased(const void* sMemNewData);
    virtual int32_t GetStreamLoad(STREAM_LOAD_INFO* pStreamLoadInfo);
    virtual int32_t OpenMp3Resource(const void* hModule, const char* sResName, const char* sResType,
                                    int32_t nBufferMs, uint32_t nSeekOffset, uint32_t nSize);
    virtual int32_t CloseStream();
    virtual int32_t Play();
    virtual int32_t PlayLoop(uint32_t fFormatStartTime, MP3_TIME* pStartTime,
                             uint32_t fFormatEndTime, MP3_TIME* pEndTime, uint32_t nNumOfRepeat);
    virtual int32_t Seek(uint32_t fFormat, MP3_TIME* pTime, uint32_t nMoveMethod);
    virtual int32_t ReverseMode(int32_t fEnable);
    virtual int32_t Stop();
    virtual int32_t Pause();
    virtual int32_t Resume();
    virtual int32_t GetPosition(MP3_TIME* pTime);
    virtual int32_t UseInternalVolume(int32_t fEnable);
    virtual int32_t SetVolume(uint32_t nLeftVolume, uint32_t nRightVolume);
    virtual int32_t SetWaveOutVolume(uint32_t nLeftVolume, uint32_t nRightVolume);
    virtual int32_t SetPlayerVolume(uint32_t nLeftVolume, uint32_t nRightVolume);
    virtual int32_t GetVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume);
    virtual int32_t GetWaveOutVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume);
    virtual int32_t GetPlayerVolume(uint32_t* pnLeftVolume, uint32_t* pnRightVolume);
    virtual int32_t GetMp3Info(MP3_STREAM_INFO* pInfo);
    virtual int32_t GetSongLengthHMS(MP3_TIME* pLength);
    // Bit rate in kbit/s (the average when `fAverage`), 0 with no stream open.
    virtual int32_t GetBitrate(int32_t fAverage);
    virtual int32_t GetStatus(MP3_STATUS* pStatus);
    virtual int32_t MixChannels(int32_t fEnable, uint32_t nLeftPercent, uint32_t nRightPercent);
    virtual int32_t GetVUData(uint32_t* pnLeftChannel, uint32_t* pnRightChannel);
    virtual int32_t VocalCut(int32_t fEnable);
    virtual int32_t FadeVolume(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime);
    virtual int32_t FadeVolumeRestart(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime);
    virtual int32_t EnableEQ(int32_t fEnable, int32_t fExternal);
    virtual int32_t CreateEqBands(int32_t* pnFreqPoint, int32_t nNumOfPoints);
    virtual int32_t GetEqBands(int32_t* pnFreqPoint);
    virtual int32_t SetEqGains(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                               int32_t nNumberOfGains);
    virtual int32_t SetEqGainsMilli(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                                    int32_t nNumberOfGains);
    virtual int32_t GetEqGains(int32_t fExternal, int32_t* pnPreAmpGain, int32_t* pnEQGain);
    virtual int32_t GetEqGainsMilli(int32_t fExternal, int32_t* pnPreAmpGain, int32_t* pnEQGain);
    virtual int32_t LoadID3(int32_t nId3Version, ID3_TAG_INFO* pId3Info);
    virtual int32_t SetSfxParam(int32_t fEnable, int32_t nMode, int32_t nDelayMs,
                                int32_t nInputGain, int32_t nEchoGain, int32_t nOutputGain);
    virtual int32_t GetSfxParam(int32_t* pnMode, int32_t* pnDelayMs, int32_t* pnInputGain,
                                int32_t* pnEchoGain, int32_t* pnOutputGain);
    virtual int32_t SetSfxModeData(int32_t nMode, int32_t* pnLeftData, int32_t* pnRightData,
                                   int32_t nSize);
    virtual int32_t GetSfxModeData(int32_t nMode, int32_t* pnLeftData, int32_t* pnRightData);
    // Destroys the object; it must have been made with new.
    virtual void Release();
    // Registers the notification function for the events in `nMask`; a null
    // function unregisters.
    virtual int32_t SetCallbackFunc(Mp3Callback pCallbackFunc, uint32_t nMask);
    virtual int32_t GetFFTValues(FFT_STRUCT* pFFTStruct);
    // The wide-character (UTF-16) form of OpenMp3File.
    virtual int32_t OpenMp3FileW(const char16_t* sFileName, int32_t nBufferMs, uint32_t nSeekOffset,
                                 uint32_t nSize);

    // Outside the operation table: the position as GetPosition gives it, but
    // always counted from what the output device has played, also while a
    // notification function takes the wave buffers (GetPosition then counts
    // the buffers handed to it, which are decoded ahead of the sound). Any
    // thread; 1, or 0 with the error text for a null pointer.
    int32_t GetHeardPosition(MP3_TIME* pTime);

  protected:
    // Stores "Operation->reason" (printf-style), cut to 511 characters.
    void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool isStreamOpen() const { return window_.open.load(); }

  private:
    ChunkQueue& queue() { return memory_.queue(); }
    EngineRingView ringView();

    // Opening (Mp3EngineOpen.cpp).
    int32_t openFile(const std::string& path, const std::string& shownPath, int32_t nBufferMs,
                     uint32_t nSeekOffset, uint32_t nSize);
    void setWindow(const uint8_t* start, size_t size);
    bool keepFirstChunk(const uint8_t* start, size_t size);
    int32_t openCommon(int32_t nBufferMs);
    void skipTags();
    bool findFirstFrame(MadDecoder& decoder);
    void readVbrHeader(MadDecoder& decoder);
    void scanFrames();
    void computeLength(uint32_t counted, uint64_t summedLength);
    bool prepareOutput(int32_t nBufferMs);
    bool prepareEffects();
    void releaseSource();
    void clearStreamFields();

    // Transport (Mp3EngineTransport.cpp) and status (Mp3EngineStatus.cpp).
    bool startThread(bool waitReady);
    void joinThread();
    void stopAndJoin();
    void resetRunFields();
    uint32_t frameCount(uint32_t ms) const;
    // Milliseconds played in this run; `heard` counts the device's output
    // whatever the notification mask asks for.
    uint32_t playedMs(bool heard);
    uint32_t currentPosition(bool heard);
    int32_t fillPosition(MP3_TIME* pTime, bool heard);
    uint32_t seekByteOffset(uint32_t ms) const;
    uint32_t positionOfByte(uint32_t byte) const;
    bool buildFrameTable();

    // Volume and fades (Mp3EngineVolume.cpp).
    int32_t fade(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime, bool restart);

    // Effects (Mp3EngineEffects.cpp). In no-device mode a band-equalizer
    // change waits for its design, so that offline decoding does not depend on
    // the control thread's timing.
    void settleEqualizer();
    // SetEqGains and SetEqGainsMilli: gains in dB or in thousandths of a dB.
    int32_t setEqGains(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                       int32_t nNumberOfGains, bool milli);

    // The decoding thread's body: one DecodeRun over the pieces below.
    void runDecodeThread();

    // The open stream: its bytes, what they hold, and where they come from.
    StreamWindow window_;
    StreamDescription stream_;
    MemoryStream memory_;
    MappedFile file_;
    std::shared_ptr<const std::vector<uint8_t>> resource_;
    // The texts LoadID3 hands out.
    Id3Reader id3_;

    // A run: its transport, its counters, its gains and effects. The gains are
    // guarded by the lock GainState carries; the rest are atomics, or change
    // only while no run goes (DecodeRun.h).
    Transport transport_;
    RunCounters counters_;
    GainState gains_;
    EffectChain effects_;

    // Output and the decoding thread. ringLock_ guards the contents and byte
    // counts of the ring buffers and their allocation, so the analysis never
    // reads a buffer while it is written; spectrumLock_ guards spectrum_.
    std::unique_ptr<WaveOutput> wave_;
    std::unique_ptr<WaveOutDeviceList> devices_;
    OutputProgress progress_;
    std::mutex ringLock_;
    std::mutex spectrumLock_;
    FrequencyAnalyzer spectrum_;
    platform::Thread thread_;
    platform::Event threadReadyEvent_{platform::Event::Reset::Auto};

    Notifier notifier_;
    ErrorText error_;
};

} // namespace tolvane
