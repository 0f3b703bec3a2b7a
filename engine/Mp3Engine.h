#pragma once

#include "effects/BandEqualizer.h"
#include "effects/EchoProcessor.h"
#include "effects/FrequencyAnalyzer.h"
#include "effects/Id3Reader.h"
#include "effects/SubbandEqualizer.h"
#include "effects/VbrHeader.h"
#include "engine/ChunkQueue.h"
#include "engine/MappedFile.h"
#include "engine/Notifier.h"
#include "engine/WaveTypes.h"
#include "platform/EngineRecords.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <mad.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {

class AudioBackend;
class WaveOutput;
class WaveOutDeviceList;
struct MadDecoder;
class DecodeRun;
class EngineRingView;

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
// any thread. DecodeThread.cpp tells which lock guards what.
class Mp3Engine {
  public:
    static constexpr int kErrorTextSize = 512;

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

  protected:
    // Stores "Operation->reason" (printf-style), cut to 511 characters.
    void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool isStreamOpen() const { return streamOpen_.load(); }

  private:
    friend class DecodeRun;
    friend class EngineRingView;

    ChunkQueue& queue() { return copyMode_ ? copyingQueue_ : referenceQueue_; }

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

    // Transport helpers (Mp3EngineTransport.cpp).
    bool startThread(bool waitReady);
    void joinThread();
    void stopAndJoin();
    void resetRunFields();
    uint32_t frameCount(uint32_t ms) const;
    uint32_t playedMs();
    uint32_t currentPosition();
    uint32_t seekByteOffset(uint32_t ms) const;
    uint32_t positionOfByte(uint32_t byte) const;
    void setEffectiveGains(); // under volumeLock_
    bool buildFrameTable();

    int32_t fade(int32_t fMode, uint32_t fFormat, MP3_TIME* pTime, bool restart);

    // Effects (Mp3EngineEffects.cpp). In no-device mode a band-equalizer
    // change waits for its design, so that offline decoding does not depend on
    // the control thread's timing.
    void settleEqualizer();
    // SetEqGains and SetEqGainsMilli: gains in dB or in thousandths of a dB.
    int32_t setEqGains(int32_t fExternal, int32_t nPreAmpGain, int32_t* pnEQGain,
                       int32_t nNumberOfGains, bool milli);

    // The decoding thread's body (DecodeThread.cpp).
    void runDecodeThread();
    // The wave-output completion callback: counts played bytes and wakes the
    // decoding thread. Runs on the output backend's thread.
    static void onWaveOut(HWAVEOUT hwo, uint32_t uMsg, uintptr_t dwInstance, uintptr_t dwParam1,
                          uintptr_t dwParam2);

    // Data window and audio range. Offsets count from the window's start; the
    // last audio byte is inclusive (an ID3v1 tag lies after it).
    const uint8_t* window_ = nullptr;
    size_t windowSize_ = 0;
    std::atomic<bool> streamOpen_{false};
    size_t firstFrame_ = 0;
    size_t lastByte_ = 0;
    size_t decodeOffset_ = 0; // where the next run starts
    size_t audioSize_ = 0;
    std::atomic<uint32_t> bytePosition_{0};

    // Managed streams: the pusher wakes the decoding thread with the event.
    platform::Event streamDataEvent_{platform::Event::Reset::Manual};
    std::atomic<bool> copyMode_{false};
    std::atomic<bool> endOfData_{false};
    std::atomic<bool> managed_{false};
    ChunkQueue referenceQueue_{false};
    ChunkQueue copyingQueue_{true};
    size_t managedSkip_ = 0; // tag and header bytes the first run drops

    bool id3v1_ = false;
    bool id3v2_ = false;

    // Stream description, from the first valid frame.
    uint32_t sampleRate_ = 0;
    uint32_t layer_ = 0;
    uint32_t channelMode_ = 0;
    uint32_t channels_ = 0;
    uint32_t emphasis_ = 0;
    uint32_t modeExtension_ = 0;
    uint32_t firstBitrate_ = 0; // bit/s
    double averageBitrate_ = 0.0;
    std::atomic<uint32_t> currentBitrate_{0};
    std::atomic<uint32_t> framesDecoded_{0};
    std::atomic<uint32_t> bitrateSum_{0};   // kbit/s
    std::atomic<uint32_t> positionBase_{0}; // ms; the played time is added to it
    double averageFrameSize_ = 0.0;
    uint32_t samplesPerFrame_ = 0;
    uint32_t headerFlags_ = 0;
    MP3_STREAM_INFO info_{};
    unsigned long freeRate_ = 0;

    VbrHeader vbr_;
    uint32_t vbrFrameSize_ = 0;
    bool vbrUsed_ = false;
    bool vbrFlag_ = false; // the frame scan saw different bit rates

    uint64_t totalSamples_ = 0;
    uint32_t lengthMs_ = 0;
    uint32_t totalFrames_ = 0;

    // Playback.
    uint32_t framesPerBuffer_ = 0;
    uint32_t bufferBytes_ = 0;
    std::vector<uint8_t> gapless_;
    std::atomic<bool> playing_{false};
    std::atomic<bool> paused_{false};
    std::atomic<uint64_t> bytesPlayed_{0};     // bytes of the ring finished since the device opened
    std::atomic<uint32_t> nextBuffer_{0};      // the ring buffer that plays now
    std::atomic<bool> bufferCompleted_{false}; // some buffer finished since the device opened
    bool noDevice_ = false;

    // Loops.
    std::atomic<bool> loopMode_{false};
    std::atomic<bool> looping_{false};
    std::atomic<bool> keepPlaying_{false};
    uint32_t loopRepeats_ = 0;
    std::atomic<uint32_t> loopDone_{0};
    uint32_t loopFrames_ = 0;
    uint32_t loopCounter_ = 0;
    uint32_t loopSamples_ = 0;

    // Fades and gains, guarded by volumeLock_.
    std::mutex volumeLock_;
    bool fadeOutRunning_ = false;
    bool fadeInRunning_ = false;
    uint32_t fadeOutFrames_ = 0;
    uint32_t fadeInFrames_ = 0;
    double fadeOutStep_ = 0.0;
    double fadeInStep_ = 0.0;
    uint32_t fadeCounter_ = 0;
    double fadeLevel_ = 100.0;
    double volumeGain_[2] = {1.0, 1.0};
    double fadeGain_[2] = {1.0, 1.0};
    double effectiveGain_[2] = {1.0, 1.0};
    uint32_t volume_[2] = {100, 100}; // percent
    std::atomic<bool> internalVolume_{false};

    // Frame-domain and buffer effects. Each processor guards its own state.
    std::atomic<bool> vocalCut_{false};
    std::atomic<bool> channelMix_{false};
    std::atomic<int32_t> mixFactor_[2] = {0, 0}; // 28 fraction bits
    SubbandEqualizer subband_;
    BandEqualizer band_;
    uint32_t equalizerLatency_ = 0; // bytes the band equalizer delays the sound by
    EchoProcessor echo_;

    // Tags: the texts LoadID3 hands out, and for a managed stream a copy of
    // its first chunk, which the queue frees once the decoder has read it.
    Id3Reader id3_;
    std::vector<uint8_t> firstChunk_;

    // Level meters and spectrum. spectrumLock_ guards spectrum_; ringLock_
    // guards the contents and byte counts of the ring buffers and their
    // allocation, so the analysis never reads a buffer while it is written.
    std::mutex spectrumLock_;
    FrequencyAnalyzer spectrum_;
    std::mutex ringLock_;

    // File and resource behind the window.
    MappedFile file_;
    std::shared_ptr<const std::vector<uint8_t>> resource_;

    // Output and the decoding thread.
    std::unique_ptr<WaveOutput> wave_;
    std::unique_ptr<WaveOutDeviceList> devices_;
    platform::Thread thread_;
    platform::Event bufferDoneEvent_{platform::Event::Reset::Auto};
    platform::Event threadReadyEvent_{platform::Event::Reset::Auto};
    std::atomic<int32_t> threadStartResult_{1};

    // Reverse play: each frame's offset from the first audio frame.
    std::atomic<bool> reverse_{false};
    std::vector<uint32_t> frameTable_;
    static constexpr uint32_t kBackOffFrames = 2;

    Notifier notifier_;
    std::atomic<uint32_t> msHanded_{0}; // ms of wave buffers offered to the callback

    // A failing run writes the text from its thread; each thread that asks
    // for it gets a copy of its own. Both under errorLock_.
    std::mutex errorLock_;
    char errorText_[kErrorTextSize] = {};
    std::map<std::thread::id, std::array<char, kErrorTextSize>> publishedErrors_;
};

} // namespace tolvane
