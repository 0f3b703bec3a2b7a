#include "ui/core/MediaSession.h"

#include "protocol/DialogCodes.h"
#include "protocol/PlaybackStatus.h"

#include <vector>

namespace tolvane {

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f' || c == u'\v' ||
           c == u'\u00a0' || c == u'\u3000';
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xd800 && c <= 0xdbff;
}

constexpr char16_t kEllipsis = u'\u2026';

} // namespace

std::string_view MediaSession::name(Status status) {
    switch (status) {
    case Status::kPlaying:
        return "Playing";
    case Status::kPaused:
        return "Paused";
    case Status::kStopped:
        break;
    }
    return "Stopped";
}

std::u16string MediaSession::titleOf(std::u16string_view text) {
    std::vector<std::u16string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && !isBlank(text[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    if (words.empty()) {
        return {};
    }
    std::u16string title;
    size_t taken = 0;
    if (words[0].size() > kTitleCharacters) {
        size_t cut = kTitleCharacters / 2;
        if (isHighSurrogate(words[0][cut - 1])) {
            --cut; // keep a character outside the basic plane whole
        }
        title = words[0].substr(0, cut);
        return title + kEllipsis;
    }
    for (const std::u16string_view word : words) {
        const size_t length = title.size() + (title.empty() ? 0 : 1) + word.size();
        if (taken == kTitleWords || length > kTitleCharacters) {
            break;
        }
        if (!title.empty()) {
            title += u' ';
        }
        title += word;
        ++taken;
    }
    return taken < words.size() ? title + kEllipsis : title;
}

void MediaSession::readingStarted(std::u16string_view title, std::u16string_view text,
                                  bool newsItem) {
    track_ = ++readings_;
    title_ = newsItem ? std::u16string(title) : titleOf(text);
    newsItem_ = newsItem;
    sentences_ = false;
    lengthUs_ = 0;
    positionUs_ = 0;
    changed();
}

void MediaSession::endReading() {
    status_ = Status::kStopped;
    busy_ = false;
    newsItem_ = false;
    sentences_ = false;
    track_ = 0;
    title_.clear();
    lengthUs_ = 0;
    positionUs_ = 0;
}

void MediaSession::readingEnded() {
    endReading();
    changed();
}

void MediaSession::setSentenceNavigation(bool available) {
    if (sentences_ != available) {
        sentences_ = available;
        changed();
    }
}

void MediaSession::setPartNavigation(bool previous, bool next) {
    if (previousPart_ != previous || nextPart_ != next) {
        previousPart_ = previous;
        nextPart_ = next;
        changed();
    }
}

void MediaSession::onReport(uint32_t message, uint32_t code, intptr_t argument) {
    using namespace dialog;
    switch (static_cast<Message>(message)) {
    case Message::SpeechJob:
        switch (static_cast<JobCode>(code)) {
        case JobCode::AddStarted:
            busy_ = true;
            break;
        case JobCode::PlaybackPlaying:
            status_ = Status::kPlaying;
            break;
        case JobCode::PlaybackPaused:
            status_ = Status::kPaused;
            break;
        case JobCode::Stopped:
        case JobCode::PlaybackEnded:
            endReading();
            break;
        case JobCode::PlaybackStatus:
            if (argument != 0 && track_ != 0) {
                const auto& s = *reinterpret_cast<const PlaybackStatus*>(argument);
                positionUs_ = s.positionMs * 1000;
                if (s.lengthMs > 0 && s.lengthMs * 1000 != lengthUs_) {
                    lengthUs_ = s.lengthMs * 1000;
                    break; // a change worth telling
                }
            }
            return; // the position alone is not told
        default:
            return;
        }
        break;
    case Message::NetworkVerify:
        if (static_cast<NetworkVerifyCode>(code) != NetworkVerifyCode::Started) {
            return;
        }
        ready_ = false; // the server is checked again; the login follows
        break;
    case Message::UserVerify:
        if (static_cast<UserVerifyCode>(code) == UserVerifyCode::Started) {
            ready_ = false;
        } else if (static_cast<UserVerifyCode>(code) == UserVerifyCode::Succeeded) {
            ready_ = true;
        } else {
            return;
        }
        break;
    case Message::NewsItems:
        if (static_cast<NewsItemsCode>(code) != NewsItemsCode::Started) {
            return;
        }
        busy_ = true; // the feed's reading is under way from its first request
        break;
    default:
        return;
    }
    changed();
}

MediaSession::Action MediaSession::decide(Command command) const {
    switch (command) {
    case Command::kPlayPause:
        if (busy_ || status_ != Status::kStopped) {
            return Action::kPauseResume;
        }
        return ready_ ? Action::kPlayNow : Action::kNone;
    case Command::kPlay:
        if (status_ == Status::kPaused) {
            return Action::kPauseResume;
        }
        // A reading under way plays by itself once its audio is there.
        return busy_ || status_ == Status::kPlaying || !ready_ ? Action::kNone : Action::kPlayNow;
    case Command::kPause:
        // Before the audio plays, it makes the reading start paused.
        return status_ == Status::kPlaying || (busy_ && status_ == Status::kStopped)
                   ? Action::kPauseResume
                   : Action::kNone;
    case Command::kStop:
        return busy_ || status_ != Status::kStopped ? Action::kStop : Action::kNone;
    case Command::kNext:
        // A feed goes on to its next item; typed text to its next sentence,
        // or to its next part while its audio cannot move by sentences.
        if (newsItem_) {
            return Action::kNextItem;
        }
        return sentences_ ? Action::kNextSentence : nextPart_ ? Action::kNextPart : Action::kNone;
    case Command::kPrevious:
        return sentences_      ? Action::kPreviousSentence
               : previousPart_ ? Action::kPreviousPart
                               : Action::kNone;
    }
    return Action::kNone;
}

void MediaSession::changed() {
    if (listener_) {
        listener_();
    }
}

} // namespace tolvane
