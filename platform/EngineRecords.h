#pragma once

#include <cstdint>
#include <functional>

// Records and codes that cross the engine's programming interface. Field
// names and order are part of that interface. They sit at the bottom layer,
// since both the engine and the effects it runs (tags, spectrum) fill them.

namespace tolvane {

// Time formats of an MP3_TIME argument.
constexpr uint32_t TIME_FORMAT_MS = 1;
constexpr uint32_t TIME_FORMAT_SEC = 2;
constexpr uint32_t TIME_FORMAT_HMS = 4;
constexpr uint32_t TIME_FORMAT_BYTES = 8; // accepted by Seek only

// Seek methods.
constexpr uint32_t SEEK_FROM_START = 1;
constexpr uint32_t SEEK_FROM_END = 2;
constexpr uint32_t SEEK_FORWARD = 4;
constexpr uint32_t SEEK_BACKWARD = 8;

// Fade modes of FadeVolume and FadeVolumeRestart.
constexpr int32_t FADE_IN = 1;
constexpr int32_t FADE_OUT = 2;

// Notification events: the asynchronous form is the low bit, the waiting form
// the same bit shifted left by 16 (NOTIFY_WAVE_BUFFER exists only waiting).
constexpr uint32_t NOTIFY_STOPPED = 0x1;
constexpr uint32_t NOTIFY_PLAYING = 0x2;
constexpr uint32_t NOTIFY_LOOP_BEGIN = 0x4;
constexpr uint32_t NOTIFY_LOOP_END = 0x8;
constexpr uint32_t NOTIFY_FADEOUT_BEGIN = 0x10;
constexpr uint32_t NOTIFY_FADEOUT_END = 0x20;
constexpr uint32_t NOTIFY_FADEIN_BEGIN = 0x40;
constexpr uint32_t NOTIFY_FADEIN_END = 0x80;
constexpr uint32_t NOTIFY_STREAM_DATA_USED = 0x200;
constexpr uint32_t NOTIFY_STREAM_NO_DATA = 0x400;
constexpr uint32_t NOTIFY_WAVE_BUFFER = 0x1000000; // waiting form

constexpr uint32_t waitingForm(uint32_t asyncBit) {
    return asyncBit << 16;
}

// The user's notification function: (event code, first parameter, second
// parameter) → result, used for waiting events only. The parameters are wide
// enough to carry the wave buffer's address.
using Mp3Callback = std::function<int32_t(uint32_t code, uintptr_t param1, uintptr_t param2)>;

struct MP3_TIME {
    uint32_t nMilliseconds;
    uint32_t nSeconds;
    uint32_t nBytes;
    uint32_t nFrames;
    uint32_t nHmsHour;
    uint32_t nHmsMinute;
    uint32_t nHmsSecond;
    uint32_t nHmsMillisecond;
};

struct MP3_STATUS {
    int32_t fPlaying;
    int32_t fPaused;
    int32_t fStopped;
    int32_t fEcho;
    int32_t nEchoMode;
    int32_t fEqualizer;
    int32_t fSubbandEqualizer;
    int32_t fVocalCut;
    int32_t fChannelMix;
    int32_t fFadingIn;
    int32_t fFadingOut;
    int32_t fInternalVolume;
    int32_t fLooping;
    int32_t fReverse;
};

struct MP3_STREAM_INFO {
    int32_t nMpegVersion; // 1 = MPEG-1, 2 = MPEG-2, 4 = MPEG-2.5
    int32_t nLayer;       // 1, 2, 4 = Layer I, II, III; 0 = other
    int32_t nChannelMode; // 1 single, 2 dual, 4 joint stereo, 8 stereo
    int32_t nEmphasis;    // 1 none, 2 50/15 µs, 4 CCITT J.17, 8 reserved
    int32_t nSampleRate;  // Hz
    int32_t nHeaderSize;  // bytes before the first audio frame
    int32_t nChannels;    // 1 or 2
    int32_t fVbr;         // 1 when the bit rate varies
    int32_t nBitrate;     // kbit/s
};

struct STREAM_LOAD_INFO {
    uint32_t nBuffers;
    uint32_t nBytes;
    uint32_t nMilliseconds;
};

// Spectrum request and result, filled by GetFFTValues.
struct FFT_STRUCT {
    int32_t nFFTPoints;
    int32_t nWindow;
    int32_t nValues;
    int32_t* pnFrequencies;
    int32_t* pnLeftAmplitudes;
    int32_t* pnRightAmplitudes;
    int32_t* pnLeftPhases;
    int32_t* pnRightPhases;
};

// Tag texts in the locale's 8-bit charset, owned by the engine.
struct ID3_TAG_INFO {
    char* pTitle;
    char* pArtist;
    char* pAlbum;
    char* pYear;
    char* pComment;
    char* pTrack;
    char* pGenre;
};

} // namespace tolvane
