#include "tools/say/ReportLine.h"

#include "platform/Text.h"
#include "protocol/DialogCodes.h"
#include "protocol/DialogPort.h"
#include "protocol/PlaybackStatus.h"
#include "protocol/SpeechTimings.h"

#include <cstdio>

namespace tolvane::say {

namespace {

enum class Payload { kNone, kText, kNumber, kStatus, kTimings };

Payload payloadOf(uint32_t message, uint32_t code) {
    using namespace dialog;
    switch (static_cast<Message>(message)) {
    case Message::SpeechJob:
        switch (static_cast<JobCode>(code)) {
        case JobCode::Stopped:
        case JobCode::PlaybackPlaying:
        case JobCode::PlaybackPaused:
        case JobCode::PlaybackEnded:
            return Payload::kNone;
        case JobCode::PlaybackStatus:
            return Payload::kStatus;
        case JobCode::PlaybackProgress:
            return Payload::kNumber;
        case JobCode::PlaybackTimings:
            return Payload::kTimings;
        default:
            return Payload::kText;
        }
    case Message::NetworkVerify:
        return code == number(NetworkVerifyCode::Started) ? Payload::kNone
               : code == number(NetworkVerifyCode::Error) ? Payload::kText
                                                          : Payload::kNumber;
    case Message::UserVerify:
    case Message::NewsItems:
        return Payload::kText;
    default:
        return Payload::kNumber;
    }
}

std::string statusText(const PlaybackStatus& s) {
    char text[96];
    std::snprintf(text, sizeof text, "%d%% %d kbs %02d:%02d:%02d/%02d:%02d:%02d", s.percent,
                  s.bitrate, s.positionHours, s.positionMinutes, s.positionSeconds, s.lengthHours,
                  s.lengthMinutes, s.lengthSeconds);
    return text;
}

} // namespace

std::string reportLine(uint32_t message, uint32_t code, intptr_t argument) {
    std::string line = std::to_string(message) + "/" + std::to_string(code);
    switch (payloadOf(message, code)) {
    case Payload::kNone:
        return line;
    case Payload::kText:
        return line + " " + platform::utf16ToUtf8(DialogPort::textOf(argument));
    case Payload::kNumber:
        return line + " " + std::to_string(argument);
    case Payload::kStatus:
        if (argument == 0) {
            return line;
        }
        return line + " " + statusText(*reinterpret_cast<const PlaybackStatus*>(argument));
    case Payload::kTimings:
        if (argument == 0) {
            return line;
        }
        {
            const auto& timings = *reinterpret_cast<const SpeechTimings*>(argument);
            return line + " " + std::to_string(timings.words.size()) + " words " +
                   std::to_string(timings.sentences.size()) + " sentences";
        }
    }
    return line;
}

} // namespace tolvane::say
