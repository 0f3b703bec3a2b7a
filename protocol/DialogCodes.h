#pragma once

#include <cstdint>

// What the controllers report to the main dialog: a message number names the
// sending controller, a code of that message names the event. Each message's
// codes are a type of their own, since numbers repeat across messages (200 is
// the network verify message and the speech job's playback status code).
namespace tolvane::dialog {

enum class Message : uint32_t {
    SpeechJob = 100,
    NetworkVerify = 200,
    UserVerify = 300,
    NewsItems = 400,
};

// Message 100, sent by the speech job and, on its behalf, by the playback
// controller.
enum class JobCode : uint32_t {
    Failed = 110,           // text
    AddStarted = 120,       // text
    AddAccepted = 130,      // text
    QuerySent = 140,        // text
    AudioReady = 150,       // text
    Stopped = 160,          // 0
    PlaybackPlaying = 170,  // 0
    PlaybackPaused = 180,   // 0
    PlaybackEnded = 190,    // 0
    PlaybackStatus = 200,   // pointer to a PlaybackStatus
    PlaybackProgress = 210, // download percent
    PlaybackTimings = 220,  // pointer to the SpeechTimings of the audio, before it plays
};

// Message 200.
enum class NetworkVerifyCode : uint32_t {
    Started = 210,   // 0
    Succeeded = 220, // HTTP status code
    Offline = 230,   // HTTP status code, or 0
    Error = 240,     // text
};

// Message 300; every argument is a text.
enum class UserVerifyCode : uint32_t {
    Failed = 310,
    Started = 320,
    Succeeded = 330,
};

// Message 400; every argument is a text.
enum class NewsItemsCode : uint32_t {
    Failed = 410,
    Started = 420,
    Exhausted = 430,
    Arrived = 440,
};

// The number a message or code travels as.
template <class Code> constexpr uint32_t number(Code code) {
    return static_cast<uint32_t>(code);
}

} // namespace tolvane::dialog
