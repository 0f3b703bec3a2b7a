#pragma once

#include <cstdint>

// Records and codes of the wave-output device, with the names and values the
// engine's code and its callers use.
namespace tolvane {

class AudioStream;

// The handle of an open output device.
using HWAVEOUT = AudioStream*;

// Result codes of the device operations.
using MMRESULT = uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT WAVERR_SYNC = 35;

// Device number of the system's preferred device.
constexpr int32_t WAVE_MAPPER = -1;

// Open flags: how completion is reported.
constexpr uint32_t CALLBACK_TYPEMASK = 0x70000;
constexpr uint32_t CALLBACK_NULL = 0x00000;
constexpr uint32_t CALLBACK_FUNCTION = 0x30000;

// Messages passed to the completion callback.
constexpr uint32_t WOM_OPEN = 0x3BB;
constexpr uint32_t WOM_CLOSE = 0x3BC;
constexpr uint32_t WOM_DONE = 0x3BD;

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_BEGINLOOP = 0x04;
constexpr uint32_t WHDR_ENDLOOP = 0x08;
constexpr uint32_t WHDR_INQUEUE = 0x10;

constexpr uint16_t WAVE_FORMAT_PCM = 1;

// Optional functions a device supports (dwSupport).
constexpr uint32_t WAVECAPS_VOLUME = 0x0004;
constexpr uint32_t WAVECAPS_LRVOLUME = 0x0008;
constexpr uint32_t WAVECAPS_SAMPLEACCURATE = 0x0020;

// Standard formats a device supports (dwFormats): 11.025, 22.05, 44.1, 48 and
// 96 kHz, mono and stereo, 8 and 16 bits.
constexpr uint32_t WAVE_FORMAT_STANDARD_MASK = 0x000FFFFF;

// One buffer of samples queued to the device. dwFlags is shared with the
// device's writer thread: access it through std::atomic_ref.
struct WAVEHDR {
    char* lpData;
    uint32_t dwBufferLength; // bytes to play
    uint32_t dwBytesRecorded;
    uintptr_t dwUser; // the buffer's index in the engine's ring
    uint32_t dwFlags;
    uint32_t dwLoops;
};

struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

// Description of one output device, as the device list keeps it.
struct WAVEOUTCAPSA {
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char szPname[32];
    uint32_t dwFormats;
    uint16_t wChannels;
    uint32_t dwSupport;
};

// Description of one output device handed to the engine's caller.
struct WAVEOUT_INFO {
    uint32_t nManufacturerID;
    uint32_t nProductID;
    uint32_t nDriverVersion;
    uint32_t nFormats;
    uint32_t nChannels;
    uint32_t nSupport;
    char szName[32]; // always terminated
};

// Completion callback: (device, WOM_* message, instance value given at open,
// param1 = the finished WAVEHDR* for WOM_DONE, param2 unused).
using WaveOutProc = void (*)(HWAVEOUT hwo, uint32_t uMsg, uintptr_t dwInstance, uintptr_t dwParam1,
                             uintptr_t dwParam2);

} // namespace tolvane
