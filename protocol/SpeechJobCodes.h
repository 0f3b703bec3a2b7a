#pragma once

#include <cstdint>

// The codes of message 100 (dialog::kSpeechJob), sent by the speech job and,
// on its behalf, by the playback controller.
namespace tolvane::dialog {
constexpr uint32_t kJobFailed = 110;        // text
constexpr uint32_t kJobAddStarted = 120;    // text
constexpr uint32_t kJobAddAccepted = 130;   // text
constexpr uint32_t kJobQuerySent = 140;     // text
constexpr uint32_t kJobAudioReady = 150;    // text
constexpr uint32_t kJobStopped = 160;       // 0
constexpr uint32_t kPlaybackPlaying = 170;  // 0
constexpr uint32_t kPlaybackPaused = 180;   // 0
constexpr uint32_t kPlaybackEnded = 190;    // 0
constexpr uint32_t kPlaybackStatus = 200;   // pointer to a PlaybackStatus
constexpr uint32_t kPlaybackProgress = 210; // download percent
} // namespace tolvane::dialog
