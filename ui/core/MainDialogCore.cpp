#include "ui/core/MainDialogCore.h"

#include "config/ConfigStore.h"
#include "documents/DocumentReader.h"
#include "platform/Text.h"
#include "playback/PlaybackController.h"
#include "protocol/ClientType.h"
#include "protocol/DialogCodes.h"
#include "protocol/DialogPort.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/PlaybackStatus.h"
#include "protocol/SpeechJobController.h"
#include "protocol/TraceWrite.h"
#include "protocol/UserVerifyController.h"
#include "ui/core/Pronouncer.h"
#include "ui/core/SentenceStart.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <strings.h>

namespace tolvane {

namespace {

std::u16string formatted(const char* format, int a, int b, int c = 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, a, b, c);
    return platform::utf8ToUtf16(buffer);
}

// The language box's own search: the first item that begins with the code,
// ignoring case.
int languageItemFor(std::string_view code, const std::vector<std::string_view>& items) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (code.size() <= items[i].size() &&
            strncasecmp(items[i].data(), std::string(code).c_str(), code.size()) == 0) {
            return int(i);
        }
    }
    return -1;
}

// The status line's words for a document that gave no text, with the
// layer's details after its own wording in brackets.
UiTextTable::Slot problemSlot(DocumentError error) {
    switch (error) {
    case DocumentError::kNone:
    case DocumentError::kUnreadable:
        return UiTextTable::kTextUnreadable;
    case DocumentError::kNotADocument:
        return UiTextTable::kNotText;
    case DocumentError::kTooLarge:
        return UiTextTable::kDocumentTooLarge;
    case DocumentError::kMalformed:
        return UiTextTable::kDocumentMalformed;
    case DocumentError::kEncrypted:
        return UiTextTable::kDocumentEncrypted;
    case DocumentError::kNoText:
        return UiTextTable::kDocumentNoText;
    case DocumentError::kUnpackedTooLarge:
        return UiTextTable::kDocumentUnpackedTooLarge;
    case DocumentError::kTooManyEntries:
        return UiTextTable::kDocumentTooManyEntries;
    case DocumentError::kNestedTooDeep:
        return UiTextTable::kDocumentNestedTooDeep;
    case DocumentError::kTookTooLong:
        return UiTextTable::kDocumentTookTooLong;
    }
    return UiTextTable::kTextUnreadable;
}

std::u16string problemText(const UiTextTable& texts, const DocumentProblem& problem) {
    std::u16string text = texts.text(problemSlot(problem.code));
    // What the layer found (of a file that is no document, nothing worth
    // telling).
    if (problem.code != DocumentError::kNotADocument && !problem.detail.empty()) {
        text += u"[" + platform::ansiToUtf16(problem.detail) + u"]";
    }
    return text;
}

// Nothing to read aloud: no character but blanks.
bool blank(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\u3000';
    });
}

} // namespace

MainDialogCore::MainDialogCore(DialogView& view, DialogPort& port, ConfigStore& config,
                               DialogControllers controllers, std::string identity)
    : view_(view), port_(port), config_(config), c_(controllers), identity_(std::move(identity)) {
    c_.playback.setDownloadMode(PlaybackController::modeNamed(config_.downloadMode()));
    c_.playback.setDownloadMaxBytes(config_.downloadMaxBytes());
    c_.job.setPlayback(&c_.playback);
}

MainDialogCore::~MainDialogCore() {
    // The view goes with the dialog: reports that arrive while the reading
    // stops are served (their senders wait) but change nothing.
    closing_ = true;
    c_.job.stop();
    c_.verify.waitOut();
}

void MainDialogCore::initialise(std::string_view language) {
    language_ = language.empty() ? config_.language() : std::string(language);
    view_.setVisible(control::kProgress, false);
    view_.setProgress(0);
    resetControls();
    const std::vector<std::string_view> items{kChinese, kEnglish};
    view_.setLanguageChoices({platform::utf8ToUtf16(kChinese), platform::utf8ToUtf16(kEnglish)},
                             languageItemFor(language_, items));
    c_.door.setPort(&port_);
    c_.job.setPort(&port_);
    c_.news.setPort(&port_);
    c_.verify.setPort(&port_);
    refresh();
}

void MainDialogCore::refresh() {
    view_.setText(control::kNetworkStatus, u"");
    texts_.rebuild(language_);
    view_.setWaitingLanguage(language_);
    c_.door.setLanguage(language_);
    c_.job.setLanguage(language_);
    c_.news.setLanguage(language_);
    c_.verify.setLanguage(language_);
    resetControls();
    view_.clearFeeds();
    checkServer();
    view_.languageApplied(language_);
}

void MainDialogCore::checkServer() {
    link_ = Link::kChecking;
    if (retryPending_) {
        retryPending_ = false;
        view_.setServerRetry(std::chrono::milliseconds(0));
    }
    c_.door.start(config_.baseUrl(), config_.connectTimeOut(), config_.timeOut());
}

void MainDialogCore::reconnect() {
    if (c_.job.state() != SpeechJobController::State::kStopped) {
        c_.job.stop();
    }
    serverFailures_ = 0;
    refresh();
}

void MainDialogCore::retryServerCheck() {
    // Only the checking state's controls are on show (every one off) while a
    // retry is pending, so the check alone is repeated.
    if (retryPending_ && !closing_) {
        retryPending_ = false; // the view's wait is over
        view_.setText(control::kNetworkStatus, u"");
        checkServer();
    }
}

void MainDialogCore::serverUnreachable() {
    const size_t step = std::min(serverFailures_, kServerRetries.size() - 1);
    ++serverFailures_;
    retryPending_ = true;
    view_.setServerRetry(kServerRetries[step]);
    connectionLost();
}

// Neither checked nor logged in: text handed to read waits no longer.
void MainDialogCore::connectionLost() {
    link_ = Link::kDown;
    if (handed_) {
        const ReadDone done = std::move(handed_->done);
        handed_.reset();
        refuseHanded(done, texts_.text(UiTextTable::kNotConnected));
    }
}

void MainDialogCore::resetControls() {
    textLimit_ = kResetTextLimit;
    view_.setTextLimit(textLimit_);
    view_.setVisible(control::kTime, false);
    view_.setText(control::kTime, u"");
    view_.setText(control::kTitle,
                  partsTitle_.empty() ? texts_.text(UiTextTable::kEntryCaption) : partsTitle_);
    // What the user typed survives a refresh (a language switch, new
    // options); the prompt of the other language, an empty box or a news
    // item on show give way to the prompt.
    const std::u16string box = view_.textBoxText();
    if (itemShown_ || box.empty() || UiTextTable::isEntryPrompt(box)) {
        showInBox(texts_.text(UiTextTable::kEntryPrompt));
    }
    itemShown_ = false;
    view_.setText(control::kFeedCaption, texts_.text(UiTextTable::kFeedCaption));
    showCounter();
    for (int id : {control::kPlayNow, control::kPauseResume, control::kStop, control::kFeedList,
                   control::kTextBox, control::kLanguageBox}) {
        view_.setEnabled(id, false);
    }
    view_.setText(control::kPlayNow, texts_.text(UiTextTable::kPlayNow));
    view_.setText(control::kPauseResume, texts_.text(UiTextTable::kPause));
    view_.setText(control::kStop, texts_.text(UiTextTable::kStop));
    view_.setText(control::kFeedbackLink, texts_.text(UiTextTable::kFeedback));
}

void MainDialogCore::showCounter() {
    if (parts_.active()) {
        view_.setText(
            control::kCounter,
            texts_.format(UiTextTable::kPartCounter, int(parts_.index() + 1), int(parts_.count())));
        return;
    }
    view_.setText(control::kCounter,
                  formatted("%d/%d", int(view_.textBoxText().size()), textLimit_));
}

void MainDialogCore::showInBox(std::u16string_view text) {
    fillingBox_ = true;
    view_.setText(control::kTextBox, text);
    fillingBox_ = false;
}

void MainDialogCore::playNow() {
    c_.job.stop();
    // The part on show, as long as the user has not edited it.
    if (parts_.active()) {
        readPart(parts_.index());
        return;
    }
    std::u16string text = view_.textBoxText();
    if (text.empty()) {
        view_.showWarning(texts_.text(UiTextTable::kEmptyWarning), texts_.text(UiTextTable::kWarn));
        return;
    }
    newsMode_ = false;
    if (text.size() > size_t(textLimit_)) {
        holdText({std::move(text), std::nullopt, {}});
        readShownPart();
        return;
    }
    startReading(u"", std::move(text));
}

// A text longer than the limit is held in parts, the box showing the part
// last begun of its document (else the first); a shorter one goes into the
// box as it is.
void MainDialogCore::holdText(OpenedText opened) {
    if (opened.text.size() <= size_t(textLimit_)) {
        leaveParts();
        showInBox(opened.text);
        showCounter();
        return;
    }
    std::string note;
    parts_.begin(std::move(opened.text), size_t(textLimit_), std::move(opened.document), &note);
    if (!note.empty()) {
        TraceWrite(note);
    }
    keepPart(parts_.keptPart());
    partsTitle_ = std::move(opened.title);
    showPart();
}

void MainDialogCore::showPart() {
    showInBox(parts_.current());
    view_.setText(control::kTitle,
                  partsTitle_.empty() ? texts_.text(UiTextTable::kEntryCaption) : partsTitle_);
    showCounter();
    media_.setPartNavigation(parts_.hasPrevious(), parts_.hasNext());
}

// The box's text is the user's again: the parts and their title go.
void MainDialogCore::leaveParts() {
    if (!parts_.active()) {
        return;
    }
    parts_.clear();
    partReading_ = false;
    if (!partsTitle_.empty()) {
        partsTitle_.clear();
        view_.setText(control::kTitle, texts_.text(UiTextTable::kEntryCaption));
    }
    media_.setPartNavigation(false, false);
}

void MainDialogCore::keepPart(size_t index) {
    std::string error;
    if (!parts_.goTo(index, &error)) {
        TraceWrite("The part read is not kept: " + error);
    }
}

void MainDialogCore::readPart(size_t index) {
    keepPart(index);
    showPart();
    readShownPart();
}

// Reads the part holdText() or a move has just kept and shown.
void MainDialogCore::readShownPart() {
    newsMode_ = false;
    startReading(u"", std::u16string(parts_.current()), 0, true);
}

void MainDialogCore::nextPart() {
    movePart(1);
}

void MainDialogCore::previousPart() {
    movePart(-1);
}

// To the part after or before the one on show; a reading under way stops and
// the new part is read, else it is only shown.
void MainDialogCore::movePart(int step) {
    if (step > 0 ? !parts_.hasNext() : !parts_.hasPrevious()) {
        return;
    }
    const size_t target = step > 0 ? parts_.index() + 1 : parts_.index() - 1;
    const bool reading = c_.job.state() != SpeechJobController::State::kStopped;
    c_.job.stop();
    if (reading) {
        readPart(target);
    } else {
        keepPart(target);
        showPart();
    }
}

// The last part has been read: the document starts over from its first part
// the next time, and the box shows that part for Play Now.
void MainDialogCore::partsEnded() {
    keepPart(0);
    showPart();
}

void MainDialogCore::startReading(std::u16string title, std::u16string text, int textAt,
                                  bool inPart) {
    partReading_ = inPart;
    // The user's pronunciations change only what is sent: the box, the
    // counter, the media controls and a saved speech's tag keep the text as
    // typed. The sent text may grow up to the login's limit (one already
    // longer, a news item's, may not grow).
    const Pronouncer pronouncer(config_.pronunciations(), PronunciationFile::forRequest(language_));
    int64_t room = std::max<int64_t>(
        0, int64_t(textLimit_) - int64_t(SpeechJobController::spokenText(title, text).size()));
    Pronouncer::Result saidTitle = pronouncer.apply(title, room);
    Pronouncer::Result said = pronouncer.apply(text, room);
    // The server speaks the title and the text joined; the box shows the text.
    const std::u16string spoken = SpeechJobController::spokenText(saidTitle.text, said.text);
    const int prefix = int(spoken.size() - said.text.size());
    for (Pronouncer::Replaced& piece : said.replaced) {
        piece.at += prefix;
        piece.spokenAt += prefix;
    }
    follow_.start(spoken, textAt - prefix, int(view_.textBoxText().size()), said.replaced);
    media_.readingStarted(title, text, newsMode_);
    // The last reading's audio goes; this one's tag is made now.
    c_.playback.discardDownload();
    speechTags_ = tagsFor(title, text);
    SpeechJobController::Job job;
    job.prefix = std::move(saidTitle.text);
    job.text = std::move(said.text);
    const ConfigStore::Speech speech = config_.speech();
    job.volume = speech.volume;
    job.rate = speech.rate;
    job.voice = platform::ansiToUtf16(speech.voice);
    job.punctuation = speech.punctuation;
    job.userId = c_.verify.userId();
    job.timeMax = c_.verify.timeWaitMax();
    job.verifytimeid = c_.verify.verifytimeid();
    job.useragent = identity_;
    job.clienttype = std::string(kClientType);
    job.clientver = std::string(kClientVersion);
    c_.job.start(job);
}

void MainDialogCore::feedDoubleClicked(int row, std::u16string_view rowText) {
    c_.job.stop();
    leaveParts();
    const std::vector<FeedEntry> feeds = c_.verify.feeds();
    int position = row;
    for (size_t i = 0; i < feeds.size(); ++i) {
        if (feeds[i].title == rowText) {
            position = int(i); // the last match wins
        }
    }
    if (position < 0 || size_t(position) >= feeds.size()) {
        return; // a row the feed list no longer has
    }
    c_.news.setBatchStartOffset(0);
    feedId_ = feeds[size_t(position)].rssid;
    newsMode_ = true;
    requestBatch();
    view_.setEnabled(control::kFeedList, false);
}

void MainDialogCore::requestBatch() {
    c_.news.start(feedId_, language_, c_.verify.verifytimeid(), kClientType, kClientVersion,
                  c_.news.batchStartOffset());
}

void MainDialogCore::pauseResume() {
    c_.job.pauseToggle();
}

void MainDialogCore::stop() {
    c_.job.stop();
}

void MainDialogCore::nextItem() {
    if (!newsMode_ || items_.empty()) {
        return;
    }
    const int32_t index = newsIndex_;
    keepItems_ = true;
    c_.job.stop();
    keepItems_ = false;
    // Unless the item ended by itself while the stop waited, and the next
    // one is already being read.
    if (newsIndex_ == index) {
        readNextItem();
        showCounter();
    }
}

void MainDialogCore::mediaCommand(MediaSession::Command command) {
    switch (media_.decide(command)) {
    case MediaSession::Action::kPlayNow:
        playNow();
        break;
    case MediaSession::Action::kPauseResume:
        pauseResume();
        break;
    case MediaSession::Action::kStop:
        stop();
        break;
    case MediaSession::Action::kNextItem:
        nextItem();
        break;
    // Past the first or the last sentence of a part, to the part before or after.
    case MediaSession::Action::kPreviousSentence:
        if (!moveSentence(-1)) {
            previousPart();
        }
        break;
    case MediaSession::Action::kNextSentence:
        if (!moveSentence(1)) {
            nextPart();
        }
        break;
    case MediaSession::Action::kPreviousPart:
        previousPart();
        break;
    case MediaSession::Action::kNextPart:
        nextPart();
        break;
    case MediaSession::Action::kNone:
        break;
    }
}

void MainDialogCore::readFromHere() {
    const std::u16string text = view_.textBoxText();
    const TextRange selection = view_.textBoxSelection();
    c_.job.stop();
    // A stopped news item gives way to the prompt: the text read from stays.
    if (view_.textBoxText() != text) {
        showInBox(text);
        showCounter();
    }
    const int length = int(text.size());
    TextRange range{std::clamp(selection.begin, 0, length), std::clamp(selection.end, 0, length)};
    if (range.empty()) {
        range = {sentenceStartAt(text, range.begin), length};
    }
    std::u16string part = text.substr(size_t(range.begin), size_t(range.end - range.begin));
    if (blank(part)) {
        view_.showWarning(texts_.text(UiTextTable::kEmptyWarning), texts_.text(UiTextTable::kWarn));
        return;
    }
    newsMode_ = false;
    // From the cursor to the end of a part on show, its end goes on to the
    // next part; a typed text longer than the limit is read in parts from there.
    if (part.size() > size_t(textLimit_)) {
        holdText({std::move(part), std::nullopt, {}});
        readShownPart();
        return;
    }
    const bool toPartEnd = parts_.active() && range.end == length;
    startReading(u"", std::move(part), range.begin, toPartEnd);
}

bool MainDialogCore::canMoveSentence() const {
    return audioUnderWay_ && follow_.hasSentences() && c_.playback.seekable();
}

void MainDialogCore::previousSentence() {
    moveSentence(-1);
}

void MainDialogCore::nextSentence() {
    moveSentence(1);
}

// False when there is no sentence to go to.
bool MainDialogCore::moveSentence(int step) {
    int64_t heard = 0;
    if (!canMoveSentence() || !c_.playback.heardPosition(heard, true)) {
        return false;
    }
    const std::optional<int64_t> target = follow_.sentenceStart(step, heard);
    if (!target) {
        return false;
    }
    if (c_.playback.seekTo(*target)) {
        showHeard(*target);
    }
    return true;
}

void MainDialogCore::followTick() {
    int64_t heard = 0;
    if (following_ && c_.playback.heardPosition(heard)) {
        showHeard(heard);
    }
}

void MainDialogCore::showHeard(int64_t ms) {
    if (follow_.hear(ms)) {
        view_.setHighlight(follow_.word(), follow_.sentence());
    }
}

void MainDialogCore::setFollowing(bool on) {
    if (following_ != on) {
        following_ = on;
        view_.setFollowing(on);
    }
}

void MainDialogCore::timingsArrived(const SpeechTimings& timings) {
    follow_.setTimings(timings);
    if (media_.status() == MediaSession::Status::kPlaying) {
        audioPlaying();
    }
}

void MainDialogCore::audioPlaying() {
    audioUnderWay_ = true;
    if (follow_.hasMarks() && !following_) {
        setFollowing(true);
        followTick();
    }
    media_.setSentenceNavigation(canMoveSentence());
}

// The light holds where the sound holds.
void MainDialogCore::audioPaused() {
    audioUnderWay_ = true;
    followTick();
    setFollowing(false);
    media_.setSentenceNavigation(canMoveSentence());
}

void MainDialogCore::endFollowing() {
    setFollowing(false);
    audioUnderWay_ = false;
    follow_.clear();
    view_.setHighlight({}, {});
    media_.setSentenceNavigation(false);
}

void MainDialogCore::textChanged() {
    if (!fillingBox_) {
        leaveParts();
    }
    showCounter();
}

void MainDialogCore::openText(const std::filesystem::path& file) {
    OpenedText opened;
    std::u16string note;
    if (openFile(file, opened, note)) {
        holdText(std::move(opened));
    }
    setStatus(note);
}

// The one way a file is opened for the box: true with its text, or false;
// `note` is what the status line says of it either way.
bool MainDialogCore::openFile(const std::filesystem::path& file, OpenedText& opened,
                              std::u16string& note) const {
    OpenedDocument document = openDocument(file);
    if (!document) {
        note = problemText(texts_, document.problem);
        return false;
    }
    opened.text = document.document.text();
    opened.title = std::move(document.document.title);
    if (opened.text.size() > size_t(textLimit_)) {
        opened.document = PartPositions::keyOf(file);
        note = texts_.format(UiTextTable::kTextInParts, textLimit_);
    } else {
        note =
            texts_.text(UiTextTable::kTextLoaded) + platform::ansiToUtf16(file.filename().string());
    }
    return true;
}

void MainDialogCore::readHanded(ReadRequest request, ReadDone done) {
    if (closing_) {
        return;
    }
    if (handed_) {
        const ReadDone replaced = std::move(handed_->done);
        handed_.reset();
        if (replaced) {
            replaced({false, texts_.text(UiTextTable::kReadReplaced)});
        }
    }
    switch (link_) {
    case Link::kReady:
        readHandedNow(std::move(request), done);
        break;
    case Link::kChecking:
        handed_ = HandedRead{std::move(request), std::move(done)};
        break;
    case Link::kDown:
        refuseHanded(done, texts_.text(UiTextTable::kNotConnected));
        break;
    }
}

void MainDialogCore::readHandedNow(ReadRequest request, const ReadDone& done) {
    using Source = ReadRequest::Source;
    OpenedText opened{std::move(request.text), std::nullopt, {}};
    std::u16string note;
    if (request.source == Source::kFile && !openFile(request.file, opened, note)) {
        refuseHanded(done, std::move(note));
        return;
    }
    if (request.source == Source::kSelection && !request.offered) {
        refuseHanded(done, texts_.text(UiTextTable::kNoSelection));
        return;
    }
    if (blank(opened.text)) {
        const UiTextTable::Slot reason =
            request.source == Source::kClipboard   ? UiTextTable::kClipboardEmpty
            : request.source == Source::kSelection ? UiTextTable::kSelectionEmpty
                                                   : UiTextTable::kNothingToRead;
        refuseHanded(done, texts_.text(reason));
        return;
    }
    // As Play Now: what runs stops first (a feed's item gives way), then the
    // box holds what is read, or its first part (a document's part last begun).
    c_.job.stop();
    const bool inParts = opened.text.size() > size_t(textLimit_);
    std::u16string text = inParts ? std::u16string() : opened.text;
    holdText(std::move(opened));
    newsMode_ = false;
    if (inParts) {
        readShownPart();
    } else {
        startReading(u"", std::move(text));
    }
    if (done) {
        done({true, {}});
    }
}

void MainDialogCore::refuseHanded(const ReadDone& done, std::u16string reason) {
    setStatus(reason);
    if (done) {
        done({false, std::move(reason)});
    }
}

SpeechFile::Tags MainDialogCore::tagsFor(std::u16string_view title,
                                         std::u16string_view text) const {
    SpeechFile::Tags tags;
    tags.title = platform::utf16ToUtf8(title.empty() ? MediaSession::titleOf(text) : title);
    tags.artist = platform::ansiToUtf8(config_.speech().voice);
    if (newsMode_) {
        for (const FeedEntry& feed : c_.verify.feeds()) {
            if (feed.rssid == feedId_) {
                tags.album = platform::utf16ToUtf8(feed.title);
            }
        }
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char date[16] = "";
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    }
    tags.date = date;
    // The text as typed, joined to the title as the speech job joins them.
    tags.comment = platform::utf16ToUtf8(SpeechJobController::spokenText(title, text));
    // Chinese when the reading is, as the server picks its Mandarin voice.
    const bool han = std::any_of(text.begin(), text.end(),
                                 [](char16_t c) { return c >= 0x4E00 && c <= 0x9FFF; });
    tags.commentLanguage = language_ == kChinese || han ? "zho" : "eng";
    return tags;
}

void MainDialogCore::enableSpeechSaving() {
    c_.playback.setKeepDownload(true);
}

bool MainDialogCore::canSaveSpeech() const {
    return c_.playback.hasKeptDownload();
}

std::filesystem::path
MainDialogCore::suggestedSpeechPath(const std::filesystem::path& defaultFolder) const {
    std::string name;
    for (const char c : speechTags_.title) {
        const bool refused = static_cast<unsigned char>(c) < 0x20 ||
                             std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
        name += refused ? '_' : c;
    }
    // A title cut short ends in an ellipsis; a sentence in its full stop.
    const auto dropEnding = [&name] {
        for (const std::string_view ending : {"\u2026", "\u3002", ".", " "}) {
            if (name.size() >= ending.size() &&
                name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
                name.resize(name.size() - ending.size());
                return true;
            }
        }
        return false;
    };
    while (dropEnding()) {
    }
    std::error_code ignored;
    const bool lastFolderLeft =
        !lastSaveFolder_.empty() && std::filesystem::is_directory(lastSaveFolder_, ignored);
    return (lastFolderLeft ? lastSaveFolder_ : defaultFolder) /
           ((name.empty() || name.front() == '.' ? std::string("speech") : name) + ".mp3");
}

bool MainDialogCore::saveSpeech(const std::filesystem::path& file) {
    std::string audio;
    std::string error;
    if (!c_.playback.keptDownload(audio, error) ||
        !SpeechFile::save(file, audio, speechTags_, error)) {
        setStatus(texts_.text(UiTextTable::kSaveFailed) + u"[" + platform::ansiToUtf16(error) +
                  u"]");
        return false;
    }
    std::error_code ignored;
    lastSaveFolder_ = std::filesystem::absolute(file, ignored).parent_path();
    setStatus(texts_.text(UiTextTable::kSpeechSaved) +
              platform::ansiToUtf16(file.filename().string()));
    return true;
}

void MainDialogCore::languageSelected(std::u16string_view item) {
    if (item == u"zh-CN") {
        language_ = kChinese;
    } else if (item == u"en-US") {
        language_ = kEnglish;
    }
    refresh();
}

std::string MainDialogCore::homeUrl() const {
    return "http://" + config_.host() + ":" + config_.port() + "/";
}

std::string MainDialogCore::feedbackUrl() const {
    return "http://" + config_.host() + ":" + config_.port() +
           std::string(texts_.utf8(UiTextTable::kFeedbackPage));
}

std::string MainDialogCore::mailUrl() const {
    return "mailto:" + std::string(kSupportAddress);
}

void MainDialogCore::onReport(uint32_t message, uint32_t code, intptr_t argument) {
    if (closing_) {
        return;
    }
    if (const std::string_view line = traceLine(message, code); !line.empty()) {
        TraceWrite(line);
    }
    // Before the dialog handles it: an item's end that starts the next
    // reading is told to the media session in that order.
    media_.onReport(message, code, argument);
    switch (static_cast<dialog::Message>(message)) {
    case dialog::Message::SpeechJob:
        onSpeechJob(static_cast<dialog::JobCode>(code), argument);
        break;
    case dialog::Message::NetworkVerify:
        onNetworkVerify(static_cast<dialog::NetworkVerifyCode>(code), argument);
        break;
    case dialog::Message::UserVerify:
        onUserVerify(static_cast<dialog::UserVerifyCode>(code), argument);
        break;
    case dialog::Message::NewsItems:
        onNewsItems(static_cast<dialog::NewsItemsCode>(code), argument);
        break;
    default:
        break;
    }
}

std::string_view MainDialogCore::traceLine(uint32_t message, uint32_t code) {
    if (message == dialog::number(dialog::Message::SpeechJob)) {
        switch (static_cast<dialog::JobCode>(code)) {
        case dialog::JobCode::Failed:
            return "Add&Query Error";
        case dialog::JobCode::Stopped:
            return "Add&Query Stopped";
        case dialog::JobCode::PlaybackEnded:
            return "Add&Query Completed";
        default:
            return {};
        }
    }
    if (message == dialog::number(dialog::Message::NewsItems)) {
        switch (static_cast<dialog::NewsItemsCode>(code)) {
        case dialog::NewsItemsCode::Failed:
            return "RSS Error!";
        case dialog::NewsItemsCode::Started:
            return "RSS Start";
        case dialog::NewsItemsCode::Exhausted:
            return "RSS Completed";
        case dialog::NewsItemsCode::Arrived:
            return "RSS Succeed";
        default:
            return {};
        }
    }
    return {};
}

void MainDialogCore::setStatusArgument(intptr_t argument) {
    setStatus(DialogPort::textOf(argument));
}

void MainDialogCore::setBusy() {
    view_.setReadOnly(control::kTextBox, true);
    view_.setEnabled(control::kPlayNow, false);
    view_.setEnabled(control::kFeedList, false);
    view_.setEnabled(control::kPauseResume, true);
    view_.setEnabled(control::kStop, true);
}

void MainDialogCore::setFinished() {
    view_.setReadOnly(control::kTextBox, false);
    view_.setText(control::kPauseResume, texts_.text(UiTextTable::kPause));
    hideProgress();
    view_.setEnabled(control::kPlayNow, true);
    view_.setEnabled(control::kFeedList, true);
    view_.setEnabled(control::kPauseResume, false);
    view_.setEnabled(control::kStop, false);
}

void MainDialogCore::hideProgress() {
    view_.setVisible(control::kProgress, false);
    view_.setProgress(0);
    view_.setVisible(control::kTime, false);
    view_.setText(control::kTime, u"");
}

void MainDialogCore::onSpeechJob(dialog::JobCode code, intptr_t argument) {
    switch (code) {
    case dialog::JobCode::Failed:
        endFollowing();
        if (audioHandedOver_) {
            setStatusArgument(argument);
            cutShort_ = DialogPort::textOf(argument);
        } else {
            failed(argument);
        }
        break;
    case dialog::JobCode::AddStarted:
        audioHandedOver_ = false;
        cutShort_.clear();
        setBusy();
        setStatusArgument(argument);
        break;
    case dialog::JobCode::AudioReady:
        audioHandedOver_ = true;
        setStatusArgument(argument);
        break;
    case dialog::JobCode::AddAccepted:
    case dialog::JobCode::QuerySent:
        setStatusArgument(argument);
        break;
    case dialog::JobCode::Stopped:
        audioHandedOver_ = false;
        endFollowing();
        stopped();
        break;
    case dialog::JobCode::PlaybackPlaying:
        audioPlaying();
        setStatus(texts_.text(UiTextTable::kPlaying));
        view_.setText(control::kPauseResume, texts_.text(UiTextTable::kPause));
        view_.setProgress(0);
        view_.setVisible(control::kProgress, true);
        view_.setText(control::kTime, u"");
        view_.setVisible(control::kTime, true);
        break;
    case dialog::JobCode::PlaybackPaused:
        audioPaused();
        setStatus(texts_.text(UiTextTable::kPaused));
        view_.setText(control::kPauseResume, texts_.text(UiTextTable::kResume));
        break;
    case dialog::JobCode::PlaybackEnded:
        audioHandedOver_ = false;
        endFollowing();
        completed();
        break;
    case dialog::JobCode::PlaybackTimings:
        if (argument != 0) {
            timingsArrived(*reinterpret_cast<const SpeechTimings*>(argument));
        }
        break;
    case dialog::JobCode::PlaybackStatus:
        if (argument != 0) {
            const auto& s = *reinterpret_cast<const PlaybackStatus*>(argument);
            setStatus(texts_.format(UiTextTable::kPlayingRate, s.bitrate));
            view_.setProgress(std::clamp(s.percent, 0, 100));
            char time[64];
            std::snprintf(time, sizeof time, "%02i:%02i:%02i/%02i:%02i:%02i", s.positionHours,
                          s.positionMinutes, s.positionSeconds, s.lengthHours, s.lengthMinutes,
                          s.lengthSeconds);
            view_.setText(control::kTime, platform::utf8ToUtf16(time));
        }
        break;
    case dialog::JobCode::PlaybackProgress:
        setStatus(texts_.format(UiTextTable::kBuffering, int(argument)));
        break;
    default:
        break;
    }
}

void MainDialogCore::onNetworkVerify(dialog::NetworkVerifyCode code, intptr_t argument) {
    switch (code) {
    case dialog::NetworkVerifyCode::Started:
        view_.setText(control::kNetworkStatus, texts_.text(UiTextTable::kInitialising));
        break;
    case dialog::NetworkVerifyCode::Succeeded:
        networkVerified(argument);
        break;
    case dialog::NetworkVerifyCode::Offline:
        view_.setText(control::kNetworkStatus, texts_.format(UiTextTable::kOffline, int(argument)));
        serverUnreachable();
        break;
    case dialog::NetworkVerifyCode::Error:
        view_.setText(control::kNetworkStatus, texts_.text(UiTextTable::kError));
        setStatusArgument(argument);
        serverUnreachable();
        break;
    default:
        break;
    }
}

void MainDialogCore::networkVerified(intptr_t httpStatus) {
    serverFailures_ = 0;
    view_.setText(control::kServerVersion,
                  u"[Server: " + platform::utf8ToUtf16(c_.door.version()) + u" ]");
    view_.setText(control::kNetworkStatus, texts_.format(UiTextTable::kOnline, int(httpStatus)));
    const int connectTimeOut = config_.connectTimeOut();
    const int timeOut = config_.timeOut();
    c_.verify.start(c_.door.doorNetverify(), config_.userEmail(), config_.userPass(), language_,
                    connectTimeOut, timeOut);
    c_.job.setService(c_.door.doorAdd(), c_.door.doorQuery(), connectTimeOut, timeOut);
    c_.news.setService(c_.door.doorRss(), connectTimeOut, timeOut);
}

void MainDialogCore::onUserVerify(dialog::UserVerifyCode code, intptr_t argument) {
    switch (code) {
    case dialog::UserVerifyCode::Failed:
        view_.closeWaiting();
        setStatusArgument(argument);
        connectionLost();
        break;
    case dialog::UserVerifyCode::Started:
        view_.openWaiting();
        setStatusArgument(argument);
        for (int id : {control::kPlayNow, control::kPauseResume, control::kStop, control::kFeedList,
                       control::kTextBox, control::kLanguageBox}) {
            view_.setEnabled(id, false);
        }
        break;
    case dialog::UserVerifyCode::Succeeded:
        loggedIn(argument);
        break;
    default:
        break;
    }
}

void MainDialogCore::loggedIn(intptr_t argument) {
    textLimit_ = c_.verify.maxTextNumber();
    view_.setTextLimit(kTextBoxLimit);
    // Another login may take another limit.
    if (parts_.active() && parts_.limit() != size_t(textLimit_)) {
        parts_.recut(size_t(std::max(textLimit_, 1)));
        showPart();
    }
    showCounter();
    for (const FeedEntry& feed : c_.verify.feeds()) {
        view_.addFeed(feed.title);
    }
    setStatusArgument(argument);
    view_.setEnabled(control::kPlayNow, true);
    view_.setEnabled(control::kFeedList, true);
    view_.setEnabled(control::kTextBox, true);
    view_.setReadOnly(control::kTextBox, false);
    view_.setEnabled(control::kLanguageBox, true);
    view_.setEnabled(control::kPauseResume, false);
    view_.setEnabled(control::kStop, false);
    view_.closeWaiting();
    setStatus(texts_.text(UiTextTable::kReady));
    link_ = Link::kReady;
    if (handed_) {
        HandedRead handed = std::move(*handed_);
        handed_.reset();
        readHandedNow(std::move(handed.request), handed.done);
    }
}

void MainDialogCore::onNewsItems(dialog::NewsItemsCode code, intptr_t argument) {
    switch (code) {
    case dialog::NewsItemsCode::Failed:
        failed(argument);
        break;
    case dialog::NewsItemsCode::Started:
        setStatusArgument(argument);
        setBusy();
        break;
    case dialog::NewsItemsCode::Exhausted:
        feedEnded();
        break;
    case dialog::NewsItemsCode::Arrived:
        batchArrived();
        break;
    default:
        break;
    }
}

void MainDialogCore::showEntryPrompt() {
    view_.setText(control::kTitle, texts_.text(UiTextTable::kEntryCaption));
    showInBox(texts_.text(UiTextTable::kEntryPrompt));
    view_.setText(control::kNewsPosition, u"");
    itemShown_ = false;
}

// The feed has no more items: the prompt is back and, with no reading left to
// stop, the dialog is finished (Play Now and the feed list usable again) and
// says so, rather than keeping the request's "getting" text.
void MainDialogCore::feedEnded() {
    showEntryPrompt();
    setFinished();
    setStatus(texts_.text(UiTextTable::kCompleted));
    showCounter();
    media_.readingEnded();
}

// A reading that failed with nothing more to come (the add or the query, or
// a feed's request for items): the failure stays on show and the dialog is
// ready for the next reading, as at a feed's end. A feed being read ends, its
// item giving way to the prompt as at a stop.
void MainDialogCore::failed(intptr_t text) {
    partReading_ = false; // the part stays on show for Play Now
    setStatusArgument(text);
    setFinished();
    // The batch's copy goes; the news controller's own goes with its next
    // request (its worker may be the one reporting, so it is not waited for).
    if (newsMode_) {
        items_.clear();
        if (itemShown_) {
            showEntryPrompt();
        }
    }
    showCounter();
    media_.readingEnded();
}

void MainDialogCore::batchArrived() {
    items_ = c_.news.items();
    batchCount_ = c_.news.totalitems();
    maxrss_ = c_.news.maxrss();
    newsIndex_ = 0;
    if (items_.empty()) {
        feedEnded(); // a batch that announced items but carried none
        return;
    }
    showItem();
    readItem();
}

void MainDialogCore::showItem() {
    const NewsItem& item = items_[size_t(newsIndex_)];
    view_.setText(control::kNewsPosition,
                  formatted("%d/%d[%d]", newsIndex_ + 1, maxrss_, batchCount_));
    view_.setText(control::kTitle, item.title);
    showInBox(item.description);
    itemShown_ = true;
    showCounter();
}

void MainDialogCore::readItem() {
    const NewsItem& item = items_[size_t(newsIndex_)];
    startReading(item.title, item.description);
}

void MainDialogCore::discardItems() {
    items_.clear();
    c_.news.waitOut();
}

// The end of the audio. A download that failed on the way was a failure,
// however much of it played: its report, not "Completed", stays on show.
void MainDialogCore::completed() {
    view_.setText(control::kStatus,
                  cutShort_.empty() ? texts_.text(UiTextTable::kCompleted) : cutShort_);
    cutShort_.clear();
    setFinished();
    if (partReading_) {
        partReading_ = false;
        if (parts_.hasNext()) {
            readPart(parts_.index() + 1);
        } else {
            partsEnded();
        }
    }
    readNextItem();
    showCounter();
}

void MainDialogCore::readNextItem() {
    // After a stop the items are gone: a late completion reads nothing more.
    if (newsMode_ && !items_.empty()) {
        ++newsIndex_;
        if (size_t(newsIndex_) < items_.size() && newsIndex_ < batchCount_) {
            showItem();
            readItem();
        } else {
            discardItems();
            c_.news.setBatchStartOffset(c_.news.batchStartOffset() + batchCount_);
            requestBatch();
        }
    }
}

void MainDialogCore::stopped() {
    partReading_ = false; // the part stays on show: Play Now reads it again
    view_.setText(control::kStatus, texts_.text(UiTextTable::kStopped));
    setFinished();
    if (newsMode_ && !keepItems_) {
        discardItems();
        // Only an item on show gives way to the prompt. Once a feed has been
        // stopped or read to its end the box holds what the user typed since,
        // and the stop that Play Now makes first must not replace it.
        if (itemShown_) {
            showEntryPrompt();
        }
    }
    showCounter();
}

} // namespace tolvane
