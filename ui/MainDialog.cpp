#include "ui/MainDialog.h"

#include "platform/Text.h"
#include "ui/DialogUnits.h"
#include "ui/Icons.h"
#include "ui/QtDialogPort.h"
#include "ui/QtText.h"
#include "ui/WaitingWindow.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QDesktopServices>
#include <QDropEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyleOptionFocusRect>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>

#include <array>

namespace tolvane::ui {

namespace {

// Where each control sits in the dialog template, in dialog units.
struct Placement {
    int id;
    int x, y, width, height;
};

constexpr std::array<Placement, 18> kTemplate{{
    {control::kTitle, 10, 5, 214, 8},
    {control::kServerVersion, 234, 5, 46, 8},
    {control::kFeedCaption, 298, 5, 48, 8},
    {control::kLanguageBox, 350, 2, 48, 30},
    {control::kTextBox, 10, 17, 273, 72},
    {control::kFeedList, 296, 17, 100, 100},
    {control::kCounter, 251, 91, 34, 8},
    {control::kPlayNow, 31, 99, 50, 14},
    {control::kPauseResume, 99, 98, 79, 14},
    {control::kStop, 187, 98, 50, 14},
    {control::kStatus, 27, 119, 223, 8},
    {control::kNewsPosition, 327, 120, 37, 8},
    {control::kProgress, 121, 132, 98, 8},
    {control::kTime, 132, 142, 68, 8},
    {control::kNetworkStatus, 257, 141, 49, 8},
    {control::kMakerLink, 18, 137, 72, 8},
    {control::kMailLink, 340, 132, 20, 20},
    {control::kFeedbackLink, 368, 132, 20, 20},
}};

constexpr int kTemplateWidth = 412;
constexpr int kTemplateHeight = 154;

// What a screen reader says for the controls whose text does not name them;
// for the labels that show a value, what the value is.
struct AccessibleName {
    int id;
    const char* en;
    const char* zh;
};

constexpr std::array<AccessibleName, 12> kAccessibleNames{{
    {control::kServerVersion, "Server version", "服务器版本"},
    {control::kTextBox, "Text to read", "朗读文本"},
    {control::kFeedList, "News feeds", "新闻频道"},
    {control::kLanguageBox, "Interface language", "界面语言"},
    {control::kProgress, "Playback progress", "播放进度"},
    {control::kCounter, "Characters", "字数"},
    {control::kStatus, "Status", "状态"},
    {control::kNetworkStatus, "Network status", "网络状态"},
    {control::kTime, "Playing time", "播放时间"},
    {control::kNewsPosition, "News item", "新闻条目"},
    {control::kMakerLink, "Tolvane home page", "Tolvane 主页"},
    {control::kMailLink, "Mail to support", "发邮件给客服"},
}};

// The maker's line under the buttons; it links to the home page.
constexpr char kMakerLine[] = "Tolvane \u00a9 2010";

// A link label as assistive technologies see it: a link whose press action
// opens it, named by its accessible name or else its text.
class LinkLabelAccessible : public QAccessibleWidget {
  public:
    explicit LinkLabelAccessible(LinkLabel* label) : QAccessibleWidget(label, QAccessible::Link) {}

    QString text(QAccessible::Text kind) const override {
        const QString text = QAccessibleWidget::text(kind);
        if (kind == QAccessible::Name && text.isEmpty()) {
            return static_cast<const QLabel*>(widget())->text();
        }
        return text;
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.linked = true;
        return state;
    }
    QStringList actionNames() const override {
        return QStringList(pressAction()) + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (name == pressAction()) {
            if (widget()->isEnabled()) {
                emit static_cast<LinkLabel*>(widget())->clicked();
            }
            return;
        }
        QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface* linkLabelAccessible(const QString& className, QObject* object) {
    if (object != nullptr && object->isWidgetType() &&
        className == QLatin1String(LinkLabel::staticMetaObject.className())) {
        return new LinkLabelAccessible(static_cast<LinkLabel*>(object));
    }
    return nullptr;
}

// The labels that show a value rather than name a control.
bool showsValue(QWidget* widget) {
    return qobject_cast<QLabel*>(widget) != nullptr && qobject_cast<LinkLabel*>(widget) == nullptr;
}

} // namespace

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent) {
    static const bool accessible = (QAccessible::installFactory(&linkLabelAccessible), true);
    (void)accessible;
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void LinkLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (hasFocus()) {
        QPainter painter(this);
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.backgroundColor = palette().color(backgroundRole());
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        emit clicked();
    }
    QLabel::mousePressEvent(event);
}

void LinkLabel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Space) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

MainDialog::MainDialog(QtDialogPort& port, ConfigStore& config, DialogControllers controllers,
                       WaitingWindow& waiting, std::string identity,
                       std::function<void(std::string_view)> languageApplied, QWidget* parent)
    : QWidget(parent), port_(port), config_(config), waiting_(waiting),
      languageApplied_(std::move(languageApplied)) {
    setFont(DialogUnits::dialogFont());
    createControls();
    placeControls();
    followTimer_ = new QTimer(this);
    followTimer_->setTimerType(Qt::PreciseTimer);
    followTimer_->setInterval(MainDialogCore::kFollowTick);
    retryTimer_ = new QTimer(this);
    retryTimer_->setSingleShot(true);
    DialogView& view = *this;
    core_ = std::make_unique<MainDialogCore>(view, port, config, controllers, std::move(identity));
    port.setHandler([this](uint32_t message, uint32_t code, intptr_t argument) {
        if (core_) {
            core_->onReport(message, code, argument);
            emit fileStateChanged();
        }
    });
    connectControls();
}

MainDialog::~MainDialog() {
    // Reports that come while the core stops the reading are served and
    // dropped; after that the port no longer knows this dialog. Nothing is
    // followed meanwhile.
    followTimer_->stop();
    retryTimer_->stop();
    core_.reset();
    port_.setHandler({});
}

void MainDialog::initialise() {
    waiting_.setOwner(this);
    core_->initialise();
}

void MainDialog::refresh() {
    core_->refresh();
}

void MainDialog::reconnect() {
    core_->reconnect();
}

template <class T> T* MainDialog::add(int id, T* widget) {
    controls_[id] = widget;
    widget->setObjectName(QStringLiteral("control%1").arg(id));
    return widget;
}

void MainDialog::createControls() {
    // Created in the order Tab should visit them.
    add(control::kTitle, new QLabel(this));
    add(control::kServerVersion, new QLabel(this))->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    add(control::kFeedCaption, new QLabel(this));
    languageBox_ = add(control::kLanguageBox, new QComboBox(this));
    // Screen readers on this desktop name a combo box by its label, not its
    // accessible name; the template has no room for one on show.
    languageLabel_ = new QLabel(this);
    languageLabel_->setBuddy(languageBox_);
    languageLabel_->hide();
    textBox_ = add(control::kTextBox, new QPlainTextEdit(this));
    textBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    textBox_->setTabChangesFocus(true);
    add(control::kPlayNow, new QPushButton(this));
    add(control::kPauseResume, new QPushButton(this));
    add(control::kStop, new QPushButton(this));
    feedList_ = add(control::kFeedList, new QListWidget(this));
    feedList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    add(control::kCounter, new QLabel(this));
    add(control::kStatus, new QLabel(this))->setAlignment(Qt::AlignCenter);
    add(control::kNewsPosition, new QLabel(this))->setAlignment(Qt::AlignCenter);
    progress_ = add(control::kProgress, new QProgressBar(this));
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    add(control::kTime, new QLabel(this));
    add(control::kNetworkStatus, new QLabel(this));
    auto* maker = add(control::kMakerLink, new LinkLabel(this));
    maker->setText(QString::fromUtf8(kMakerLine));
    maker->setAlignment(Qt::AlignCenter);
    // In the palette's link colour, so a dark palette shows a light link.
    maker->setForegroundRole(QPalette::Link);
    auto* mail = add(control::kMailLink, new LinkLabel(this));
    mail->setPixmap(clientIcon("mail").pixmap(QSize(20, 20)));
    auto* feedback = add(control::kFeedbackLink, new LinkLabel(this));
    feedback->setPixmap(clientIcon("feedback").pixmap(QSize(20, 20)));
    // Until the login the links are the only controls that take the focus,
    // and the window gives it to the first of them; the text box takes it
    // back once it is enabled.
    refocus_ = textBox_;
    parkedOn_ = maker;
}

QSize MainDialog::templateSize() const {
    return DialogUnits(font()).size(kTemplateWidth, kTemplateHeight);
}

void MainDialog::placeControls() {
    const DialogUnits units(font());
    for (const Placement& p : kTemplate) {
        QRect rect = units.rect(p.x, p.y, p.width, p.height);
        QWidget* widget = controls_.at(p.id);
        if (p.id == control::kLanguageBox) {
            // The template's height includes the drop-down list.
            rect.setHeight(widget->sizeHint().height());
        } else if (qobject_cast<QLabel*>(widget) && p.height == 8) {
            // A one-line label gets the font's full line height, so no
            // script's glyphs are clipped.
            rect.setHeight(std::max(rect.height(), fontMetrics().height() + 2));
        }
        widget->setGeometry(rect);
        placed_[p.id] = rect;
        if (auto* link = qobject_cast<LinkLabel*>(widget); link && p.height == 20) {
            const int side = std::min(rect.width(), rect.height());
            link->setPixmap(
                link->pixmap().scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        }
    }
    setMinimumSize(templateSize());
}

void MainDialog::connectControls() {
    auto button = [this](int id) { return static_cast<QPushButton*>(controls_.at(id)); };
    connect(button(control::kPlayNow), &QPushButton::clicked, this, [this] {
        core_->playNow();
        emit fileStateChanged(); // a new reading has dropped the last one's audio
    });
    connect(button(control::kPauseResume), &QPushButton::clicked, this,
            [this] { core_->pauseResume(); });
    connect(button(control::kStop), &QPushButton::clicked, this, [this] { core_->stop(); });
    connect(followTimer_, &QTimer::timeout, this, [this] {
        if (core_) {
            core_->followTick();
        }
    });
    connect(retryTimer_, &QTimer::timeout, this, [this] {
        if (core_) {
            core_->retryServerCheck();
        }
    });
    connect(textBox_, &QPlainTextEdit::textChanged, this, [this] {
        keepTextWithinLimit();
        core_->textChanged();
        emit fileStateChanged(); // an edit leaves a long text's parts
    });
    connect(feedList_, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        core_->feedDoubleClicked(feedList_->row(item), coreText(item->text()));
    });
    connect(languageBox_, &QComboBox::activated, this, [this](int index) {
        core_->languageSelected(coreText(languageBox_->itemText(index)));
    });
    auto link = [this](int id) { return static_cast<LinkLabel*>(controls_.at(id)); };
    connect(link(control::kFeedbackLink), &LinkLabel::clicked, this,
            [this] { openLink(core_->feedbackUrl()); });
    connect(link(control::kMakerLink), &LinkLabel::clicked, this,
            [this] { openLink(core_->homeUrl()); });
    connect(link(control::kMailLink), &LinkLabel::clicked, this,
            [this] { openLink(core_->mailUrl()); });

    // Keyboard: Ctrl+Return reads, Escape stops, each only while its button can.
    auto shortcut = [this](const QKeySequence& keys, int id) {
        auto* s = new QShortcut(keys, this);
        connect(s, &QShortcut::activated, this, [this, id] {
            if (controls_.at(id)->isEnabled()) {
                static_cast<QPushButton*>(controls_.at(id))->click();
            }
        });
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), control::kPlayNow);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Enter), control::kPlayNow);
    shortcut(QKeySequence(Qt::Key_Escape), control::kStop);
    // The text box takes Ctrl+Return for a line break of its own; there it
    // reads the text instead, where the user most often presses it.
    textBox_->installEventFilter(this);
    // A file dropped on the box, or anywhere on the dialog, is opened; other
    // drops insert as usual.
    textBox_->viewport()->installEventFilter(this);
    setAcceptDrops(true);
    installEventFilter(this);
}

namespace {

// The one local file a drag carries, or an empty path; the file's content
// tells what kind of document it is.
QString droppedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) {
        return {};
    }
    const QUrl url = mime->urls().front();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

} // namespace

bool MainDialog::dropEvent(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    const QString path = droppedFile(drop->mimeData());
    if (path.isEmpty()) {
        return false;
    }
    if (!textBoxEditable()) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop) {
        core_->openText(localPath(path));
        emit fileStateChanged();
    }
    return true;
}

bool MainDialog::textBoxEditable() const {
    return textBox_->isEnabled() && !textBox_->isReadOnly();
}

bool MainDialog::canReadFromHere() const {
    return textBox_->isEnabled() && (controls_.at(control::kPlayNow)->isEnabled() ||
                                     controls_.at(control::kStop)->isEnabled());
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == textBox_->viewport() || watched == this) &&
        (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove ||
         event->type() == QEvent::Drop)) {
        return dropEvent(event) || QWidget::eventFilter(watched, event);
    }
    if (watched == textBox_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers().testFlag(Qt::ControlModifier)) {
            // With Shift it is Read From Here.
            if (key->modifiers().testFlag(Qt::ShiftModifier)) {
                if (canReadFromHere()) {
                    core_->readFromHere();
                    emit fileStateChanged();
                }
            } else if (controls_.at(control::kPlayNow)->isEnabled()) {
                static_cast<QPushButton*>(controls_.at(control::kPlayNow))->click();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainDialog::openLink(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

QWidget* MainDialog::control(int id) const {
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

void MainDialog::nameControls(bool chinese) {
    for (const AccessibleName& name : kAccessibleNames) {
        QWidget* widget = controls_.at(name.id);
        const QString field = QString::fromUtf8(chinese ? name.zh : name.en);
        if (showsValue(widget)) {
            auto* label = static_cast<QLabel*>(widget);
            label->setAccessibleDescription(field);
            // A text cut to the window's width shows in full as the tooltip.
            nameByText(label, label->toolTip().isEmpty() ? label->text() : label->toolTip());
        } else {
            widget->setAccessibleName(field);
        }
    }
    languageLabel_->setText(languageBox_->accessibleName());
    languageBox_->setToolTip(languageBox_->accessibleName());
}

void MainDialog::nameByText(QLabel* label, const QString& text) {
    if (label->accessibleDescription().isEmpty()) {
        return; // a caption: its text names it already
    }
    label->setAccessibleName(text.isEmpty() ? label->accessibleDescription() : text);
}

void MainDialog::setText(int id, std::u16string_view text) {
    QWidget* widget = control(id);
    const QString value = qtText(text);
    if (observer_) {
        observer_(id, value);
    }
    if (widget == textBox_) {
        settingText_ = true;
        textBox_->setPlainText(value);
        settingText_ = false;
        textBox_->repaint();
    } else if (auto* label = qobject_cast<LinkLabel*>(widget); label && id != control::kMakerLink) {
        // The icon links carry their text for tooltips and screen readers.
        label->setToolTip(value);
        label->setAccessibleName(value);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(value);
        fitLabel(id, label);
        nameByText(label, value);
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(value);
    }
}

// A one-line label whose text is wider than its place in the template grows
// into the free space beside it, on the side its alignment leaves open, so no
// language's text is cut; a shorter text gets the template's place back. A
// text wider than the whole dialog (a network error, say) ends in an
// ellipsis where the dialog ends, and shows in full as the label's tooltip.
void MainDialog::fitLabel(int id, QLabel* label) {
    QRect rect = placed_.at(id);
    const QString full = label->text();
    const int room = width() - 8;
    const bool cut = label->fontMetrics().horizontalAdvance(full) + 4 > room && room > 0;
    if (cut) {
        label->setText(label->fontMetrics().elidedText(full, Qt::ElideRight, room - 4));
    }
    label->setToolTip(cut ? full : QString());
    const int extra = label->fontMetrics().horizontalAdvance(label->text()) + 4 - rect.width();
    if (extra > 0) {
        if (label->alignment() & Qt::AlignRight) {
            rect.setLeft(rect.left() - extra);
        } else if (label->alignment() & Qt::AlignHCenter) {
            rect.adjust(-extra / 2, 0, extra - extra / 2, 0);
        } else {
            rect.setWidth(rect.width() + extra);
        }
        rect.moveLeft(std::clamp(rect.left(), 0, std::max(0, width() - rect.width())));
    }
    label->setGeometry(rect);
}

std::u16string MainDialog::textBoxText() const {
    return coreText(textBox_->toPlainText());
}

// Qt moves the focus on from a control that is disabled while it has it (the
// feed list while its feed is read, say); once the control is enabled again
// the focus comes back, unless the user has put it elsewhere meanwhile.
void MainDialog::setEnabled(int id, bool enabled) {
    if (QWidget* widget = control(id)) {
        const bool focused = window()->focusWidget() == widget;
        widget->setEnabled(enabled);
        if (focused && !enabled) {
            refocus_ = widget;
            parkedOn_ = window()->focusWidget();
        } else if (enabled && widget == refocus_) {
            returnFocus(widget);
        }
    }
    if (id == control::kTextBox) {
        emit fileStateChanged();
    }
}

void MainDialog::returnFocus(QWidget* widget) {
    const QWidget* now = window()->focusWidget();
    if (now == nullptr || now == parkedOn_ || !now->isEnabled()) {
        widget->setFocus(Qt::OtherFocusReason);
    }
    refocus_ = nullptr;
    parkedOn_ = nullptr;
}

void MainDialog::setReadOnly(int id, bool readOnly) {
    if (id == control::kTextBox) {
        textBox_->setReadOnly(readOnly);
        emit fileStateChanged();
    }
}

void MainDialog::setVisible(int id, bool visible) {
    if (QWidget* widget = control(id)) {
        widget->setVisible(visible);
    }
}

void MainDialog::setProgress(int percent) {
    progress_->setValue(percent);
}

void MainDialog::setTextLimit(int characters) {
    textLimit_ = characters;
}

// The box takes at most the limit: what typing or pasting adds beyond it is
// dropped at the cursor, as a limited edit control does. Texts the dialog
// itself shows are kept whole.
void MainDialog::keepTextWithinLimit() {
    if (settingText_ || textLimit_ <= 0) {
        return;
    }
    const int excess = int(textBox_->document()->characterCount() - 1) - textLimit_;
    if (excess <= 0) {
        return;
    }
    QTextCursor cursor = textBox_->textCursor();
    const int end = cursor.position();
    cursor.setPosition(std::max(0, end - excess));
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    const QSignalBlocker blocker(textBox_);
    cursor.removeSelectedText();
    textBox_->setTextCursor(cursor);
}

void MainDialog::clearFeeds() {
    feedList_->clear();
}

void MainDialog::addFeed(std::u16string_view title) {
    feedList_->addItem(qtText(title));
}

void MainDialog::setLanguageChoices(const std::vector<std::u16string>& items, int selected) {
    const QSignalBlocker blocker(languageBox_);
    languageBox_->clear();
    for (const std::u16string& item : items) {
        languageBox_->addItem(qtText(item));
    }
    languageBox_->setCurrentIndex(selected);
}

void MainDialog::showWarning(std::u16string_view text, std::u16string_view caption) {
    QMessageBox::warning(this, qtText(caption), qtText(text));
}

void MainDialog::setWaitingLanguage(std::string_view code) {
    waiting_.setLanguage(code);
}

void MainDialog::openWaiting() {
    waiting_.openWaiting();
    if (observer_) {
        observer_(0, QStringLiteral("open"));
    }
}

void MainDialog::closeWaiting() {
    waiting_.closeWaiting();
    if (observer_) {
        observer_(0, QStringLiteral("closed"));
    }
}

TextRange MainDialog::textBoxSelection() const {
    const QTextCursor cursor = textBox_->textCursor();
    return {cursor.selectionStart(), cursor.selectionEnd()};
}

// The word in the palette's highlight, its sentence in a faint wash of it.
void MainDialog::setHighlight(TextRange word, TextRange sentence) {
    const int last = textBox_->document()->characterCount() - 1;
    const auto selection = [&](TextRange range, const QTextCharFormat& format) {
        QTextEdit::ExtraSelection extra;
        extra.cursor = QTextCursor(textBox_->document());
        extra.cursor.setPosition(std::clamp(range.begin, 0, last));
        extra.cursor.setPosition(std::clamp(range.end, 0, last), QTextCursor::KeepAnchor);
        extra.format = format;
        return extra;
    };
    QList<QTextEdit::ExtraSelection> lit;
    if (!sentence.empty()) {
        QColor wash = palette().color(QPalette::Highlight);
        wash.setAlpha(60);
        QTextCharFormat soft;
        soft.setBackground(wash);
        lit.append(selection(sentence, soft));
    }
    if (!word.empty()) {
        QTextCharFormat strong;
        strong.setBackground(palette().brush(QPalette::Highlight));
        strong.setForeground(palette().brush(QPalette::HighlightedText));
        lit.append(selection(word, strong));
        scrollToShow(word);
    }
    textBox_->setExtraSelections(lit);
    if (highlightObserver_) {
        highlightObserver_(word, sentence);
    }
}

// A word out of view is brought to the top line, so the text after it shows.
void MainDialog::scrollToShow(TextRange range) {
    QTextCursor cursor(textBox_->document());
    const int last = textBox_->document()->characterCount() - 1;
    cursor.setPosition(std::clamp(range.begin, 0, last));
    const QRect first = textBox_->cursorRect(cursor);
    cursor.setPosition(std::clamp(range.end, 0, last));
    const QRect end = textBox_->cursorRect(cursor);
    if (first.top() >= 0 && end.bottom() <= textBox_->viewport()->height()) {
        return;
    }
    // The box scrolls by lines of its layout.
    cursor.setPosition(std::clamp(range.begin, 0, last));
    const QTextBlock block = cursor.block();
    const QTextLine line = block.layout()->lineForTextPosition(cursor.positionInBlock());
    textBox_->verticalScrollBar()->setValue(block.firstLineNumber() +
                                            (line.isValid() ? line.lineNumber() : 0));
}

void MainDialog::setServerRetry(std::chrono::milliseconds delay) {
    if (delay.count() > 0) {
        retryTimer_->start(delay);
    } else {
        retryTimer_->stop();
    }
}

void MainDialog::setFollowing(bool on) {
    if (on) {
        followTimer_->start();
    } else {
        followTimer_->stop();
    }
}

void MainDialog::languageApplied(std::string_view code) {
    nameControls(code == MainDialogCore::kChinese);
    languageApplied_(code);
}

} // namespace tolvane::ui
