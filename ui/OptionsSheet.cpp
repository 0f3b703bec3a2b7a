#include "ui/OptionsSheet.h"

#include "config/ConfigStore.h"
#include "config/Pronunciations.h"
#include "platform/Text.h"
#include "ui/DialogUnits.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <utility>

namespace tolvane::ui {

// Every text of the sheet in one language, UTF-8.
struct OptionsSheet::Texts {
    const char* caption;
    const char* serverTitle;
    const char* debugTitle;
    const char* serverGroup;
    const char* host;
    const char* port;
    const char* userGroup;
    const char* userName;
    const char* password;
    const char* debugTrace;
    const char* speechTitle;
    const char* rate;
    const char* volume;
    const char* punctuation;
    const char* punctuationNone;
    const char* punctuationAll;
    const char* punctuationSome;
    const char* voice;
    const char* ok;
    const char* cancel;
    const char* apply;
    const char* pronunciationTitle;
    const char* languageColumn;
    const char* wordColumn;
    const char* sayAsColumn;
    const char* matchCaseColumn;
    const char* english;
    const char* chinese;
    const char* add;
    const char* remove;
    const char* incomplete; // %1: the row
    const char* notWritten; // %1: why
};

namespace {

constexpr OptionsSheet::Texts kEnglish = {"Option...",
                                          "ServerHost",
                                          "Debug",
                                          "TTS Server",
                                          "Host:",
                                          "Port:",
                                          "User Information",
                                          "UserName:",
                                          "Password:",
                                          "Debug Window ON when Start",
                                          "Speech",
                                          "Rate:",
                                          "Volume:",
                                          "Punctuation:",
                                          "None",
                                          "All",
                                          "Some",
                                          "Voice:",
                                          "OK",
                                          "Cancel",
                                          "Apply",
                                          "Pronunciations",
                                          "Language",
                                          "Word",
                                          "Say As",
                                          "Match Case",
                                          "English",
                                          "Chinese",
                                          "Add",
                                          "Remove",
                                          "Row %1 needs both a word and how to say it.",
                                          "Not saved: %1"};
constexpr OptionsSheet::Texts kChinese = {"选项...",
                                          "TTS服务器",
                                          "调试",
                                          "服务器参数",
                                          "主机:",
                                          "端口:",
                                          "用户信息",
                                          "用户名:",
                                          "密码:",
                                          "程序启动时,启动调试窗口",
                                          "语音",
                                          "语速:",
                                          "音量:",
                                          "标点朗读:",
                                          "不读",
                                          "全部",
                                          "部分",
                                          "发音人:",
                                          "确定",
                                          "取消",
                                          "应用",
                                          "发音",
                                          "语言",
                                          "词语",
                                          "读作",
                                          "区分大小写",
                                          "英语",
                                          "中文",
                                          "添加",
                                          "删除",
                                          "第%1行需要同时填写词语和读法。",
                                          "未能保存:%1"};

// Pages are laid out in dialog units, 179 x 200 each.
constexpr int kPageWidth = 179;
constexpr int kPageHeight = 200;
constexpr int kMaxText = 255;

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

const OptionsSheet::Texts& textsFor(std::string_view languageCode) {
    return sameIgnoringCase(languageCode, "zh-CN") ? kChinese : kEnglish;
}

QString fromUtf8(const char* text) {
    return QString::fromUtf8(text);
}

QString fromAnsi(const std::string& text) {
    return QString::fromStdU16String(platform::ansiToUtf16(text));
}

std::string toAnsi(const QLineEdit* edit) {
    return platform::utf16ToAnsi(edit->text().toStdU16String());
}

QLineEdit* addEdit(QWidget* page, const DialogUnits& units, QRect rect, const char* name,
                   const char* labelText) {
    auto* edit = new QLineEdit(page);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setAccessibleName(fromUtf8(labelText).remove(QLatin1Char(':')));
    edit->setMaxLength(kMaxText);
    edit->setGeometry(units.rect(rect.x(), rect.y(), rect.width(), rect.height()));
    return edit;
}

void addLabel(QWidget* page, const DialogUnits& units, QRect rect, const char* text,
              QWidget* buddy) {
    auto* label = new QLabel(fromUtf8(text), page);
    label->setObjectName(buddy->objectName() + QStringLiteral("Label"));
    label->setGeometry(units.rect(rect.x(), rect.y(), rect.width(), rect.height()));
    label->setBuddy(buddy);
}

void addGroup(QWidget* page, const DialogUnits& units, QRect rect, const char* title) {
    auto* group = new QGroupBox(fromUtf8(title), page);
    group->setGeometry(units.rect(rect.x(), rect.y(), rect.width(), rect.height()));
}

} // namespace

OptionsSheet::OptionsSheet(ConfigStore& config, std::string languageCode,
                           std::function<void()> refresh, int startPage, QWidget* parent,
                           std::vector<std::string> voices)
    : QDialog(parent), config_(config), refresh_(std::move(refresh)), voices_(std::move(voices)),
      texts_(textsFor(languageCode)) {
    const Texts& texts = texts_;
    setObjectName(QStringLiteral("optionsSheet"));
    setWindowTitle(fromUtf8(texts.caption));
    setFont(DialogUnits::dialogFont());

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("optionTabs"));
    tabs_->setAccessibleName(windowTitle());
    tabs_->addTab(buildServerPage(texts), fromUtf8(texts.serverTitle));
    tabs_->addTab(buildDebugPage(texts), fromUtf8(texts.debugTitle));
    tabs_->addTab(buildSpeechPage(texts), fromUtf8(texts.speechTitle));
    tabs_->addTab(buildPronunciationPage(texts), fromUtf8(texts.pronunciationTitle));
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(tabs_);
    layout->addWidget(buildButtons(texts));

    loadValues();
    currentPage_ = std::clamp(startPage, kServerPage, kPronunciationPage);
    tabs_->setCurrentIndex(currentPage_);
    connect(tabs_, &QTabWidget::currentChanged, this, &OptionsSheet::pageEntered);
    updateApplyButton();
}

QWidget* OptionsSheet::buildServerPage(const Texts& texts) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("serverPage"));
    const DialogUnits units(font());
    page->setFixedSize(units.size(kPageWidth, kPageHeight));

    // Groups first, so the labels and edits lie above them; the edits are
    // created in reading order, which is the Tab order.
    addGroup(page, units, {7, 7, 165, 56}, texts.serverGroup);
    addGroup(page, units, {7, 70, 165, 56}, texts.userGroup);
    host_ = addEdit(page, units, {62, 21, 100, 12}, "hostEdit", texts.host);
    port_ = addEdit(page, units, {62, 39, 100, 12}, "portEdit", texts.port);
    user_ = addEdit(page, units, {62, 84, 100, 12}, "userEdit", texts.userName);
    password_ = addEdit(page, units, {62, 102, 100, 12}, "passwordEdit", texts.password);
    password_->setEchoMode(QLineEdit::Password);
    addLabel(page, units, {15, 23, 45, 8}, texts.host, host_);
    addLabel(page, units, {15, 41, 45, 8}, texts.port, port_);
    addLabel(page, units, {15, 86, 45, 8}, texts.userName, user_);
    addLabel(page, units, {15, 104, 45, 8}, texts.password, password_);
    // The port goes into the base URL: only a number may be typed there.
    port_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), port_));

    for (QLineEdit* edit : {host_, port_, user_, password_}) {
        connect(edit, &QLineEdit::textEdited, this, [this] { markChanged(kServerPage); });
    }
    return page;
}

QWidget* OptionsSheet::buildDebugPage(const Texts& texts) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("debugPage"));
    const DialogUnits units(font());
    page->setFixedSize(units.size(kPageWidth, kPageHeight));

    debugTrace_ = new QCheckBox(fromUtf8(texts.debugTrace), page);
    debugTrace_->setObjectName(QStringLiteral("debugTraceCheck"));
    debugTrace_->setAccessibleName(debugTrace_->text());
    debugTrace_->setGeometry(units.rect(7, 7, 165, 10));
    connect(debugTrace_, &QCheckBox::clicked, this, [this] { markChanged(kDebugPage); });
    return page;
}

// A 0-100 slider with its label before it and its value after it.
QSlider* OptionsSheet::addLevel(QWidget* page, int y, const char* name, const char* labelText) {
    const DialogUnits units(font());
    auto* slider = new QSlider(Qt::Horizontal, page);
    slider->setObjectName(QString::fromLatin1(name));
    slider->setAccessibleName(fromUtf8(labelText).remove(QLatin1Char(':')));
    slider->setRange(0, ConfigStore::Speech::kMaxLevel);
    slider->setSingleStep(1);
    slider->setPageStep(10);
    slider->setGeometry(units.rect(62, y, 80, 12));
    auto* value = new QLabel(page);
    value->setObjectName(slider->objectName() + QStringLiteral("Value"));
    value->setGeometry(units.rect(146, y + 2, 20, 8));
    connect(slider, &QSlider::valueChanged, value, [value](int level) { value->setNum(level); });
    addLabel(page, units, {15, y + 2, 45, 8}, labelText, slider);
    value->setNum(slider->value());
    connect(slider, &QSlider::valueChanged, this, [this] {
        if (!loading_) {
            markChanged(kSpeechPage);
        }
    });
    return slider;
}

QWidget* OptionsSheet::buildSpeechPage(const Texts& texts) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("speechPage"));
    const DialogUnits units(font());
    page->setFixedSize(units.size(kPageWidth, kPageHeight));

    // Created in reading order, which is the Tab order.
    rate_ = addLevel(page, 10, "rateSlider", texts.rate);
    volume_ = addLevel(page, 30, "volumeSlider", texts.volume);

    punctuation_ = new QComboBox(page);
    punctuation_->setObjectName(QStringLiteral("punctuationBox"));
    punctuation_->setAccessibleName(fromUtf8(texts.punctuation).remove(QLatin1Char(':')));
    // Item i is punctuation mode i.
    for (const char* item : {texts.punctuationNone, texts.punctuationAll, texts.punctuationSome}) {
        punctuation_->addItem(fromUtf8(item));
    }
    punctuation_->setGeometry(units.rect(62, 50, 100, 12));
    addLabel(page, units, {15, 52, 45, 8}, texts.punctuation, punctuation_);
    connect(punctuation_, &QComboBox::activated, this, [this] { markChanged(kSpeechPage); });

    voice_ = new QComboBox(page);
    voice_->setObjectName(QStringLiteral("voiceBox"));
    voice_->setAccessibleName(fromUtf8(texts.voice).remove(QLatin1Char(':')));
    voice_->setEditable(true);
    voice_->setInsertPolicy(QComboBox::NoInsert);
    voice_->lineEdit()->setMaxLength(kMaxText);
    for (const std::string& name : voices_) {
        voice_->addItem(QString::fromStdString(name));
    }
    voice_->setGeometry(units.rect(62, 70, 100, 12));
    addLabel(page, units, {15, 72, 45, 8}, texts.voice, voice_);
    connect(voice_, &QComboBox::currentTextChanged, this, [this] {
        if (!loading_) {
            markChanged(kSpeechPage);
        }
    });
    return page;
}

QWidget* OptionsSheet::buildPronunciationPage(const Texts& texts) {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("pronunciationPage"));
    const DialogUnits units(font());
    page->setFixedSize(units.size(kPageWidth, kPageHeight));

    pronunciations_ = new QTableWidget(0, 4, page);
    pronunciations_->setObjectName(QStringLiteral("pronunciationTable"));
    pronunciations_->setAccessibleName(fromUtf8(texts.pronunciationTitle));
    pronunciations_->setHorizontalHeaderLabels(
        {fromUtf8(texts.languageColumn), fromUtf8(texts.wordColumn), fromUtf8(texts.sayAsColumn),
         fromUtf8(texts.matchCaseColumn)});
    pronunciations_->setSelectionBehavior(QAbstractItemView::SelectRows);
    pronunciations_->setTabKeyNavigation(false);
    pronunciations_->verticalHeader()->setVisible(false);
    // The words share the width the language and match-case columns leave,
    // so the whole table fits the page without scrolling sideways.
    QHeaderView* header = pronunciations_->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    pronunciations_->setGeometry(units.rect(7, 7, 165, 150));
    connect(pronunciations_, &QTableWidget::itemChanged, this, [this] {
        if (!loading_) {
            markChanged(kPronunciationPage);
        }
    });

    auto* add = new QPushButton(fromUtf8(texts.add), page);
    add->setObjectName(QStringLiteral("addPronunciationButton"));
    add->setAccessibleName(add->text());
    add->setGeometry(units.rect(7, 162, 50, 14));
    connect(add, &QPushButton::clicked, this, [this] {
        Pronunciation rule;
        // A new rule is for readings in the interface's language.
        rule.language = &texts_ == &kChinese ? Pronunciation::Language::kChinese
                                             : Pronunciation::Language::kEnglish;
        addPronunciation(rule);
        markChanged(kPronunciationPage);
        const int row = pronunciations_->rowCount() - 1;
        pronunciations_->setCurrentCell(row, kWordColumn);
        pronunciations_->editItem(pronunciations_->item(row, kWordColumn));
    });
    auto* remove = new QPushButton(fromUtf8(texts.remove), page);
    remove->setObjectName(QStringLiteral("removePronunciationButton"));
    remove->setAccessibleName(remove->text());
    remove->setGeometry(units.rect(62, 162, 50, 14));
    connect(remove, &QPushButton::clicked, this, [this] {
        if (const int row = pronunciations_->currentRow(); row >= 0) {
            pronunciations_->removeRow(row);
            markChanged(kPronunciationPage);
        }
    });

    pronunciationNote_ = new QLabel(page);
    pronunciationNote_->setObjectName(QStringLiteral("pronunciationNote"));
    pronunciationNote_->setWordWrap(true);
    pronunciationNote_->setGeometry(units.rect(7, 179, 165, 18));
    return page;
}

// One row of the table: the language a box of its own, the word and how to
// say it edited in place, the letter case a check box.
void OptionsSheet::addPronunciation(const Pronunciation& rule) {
    const int row = pronunciations_->rowCount();
    pronunciations_->insertRow(row);
    auto* language = new QComboBox;
    language->setAccessibleName(fromUtf8(texts_.languageColumn));
    language->addItem(fromUtf8(texts_.english));
    language->addItem(fromUtf8(texts_.chinese));
    language->setCurrentIndex(rule.language == Pronunciation::Language::kChinese ? 1 : 0);
    connect(language, &QComboBox::activated, this, [this] { markChanged(kPronunciationPage); });
    pronunciations_->setCellWidget(row, kLanguageColumn, language);
    pronunciations_->setItem(row, kWordColumn,
                             new QTableWidgetItem(QString::fromStdString(rule.word)));
    pronunciations_->setItem(row, kSayAsColumn,
                             new QTableWidgetItem(QString::fromStdString(rule.sayAs)));
    auto* matchCase = new QTableWidgetItem;
    matchCase->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    matchCase->setCheckState(rule.matchCase ? Qt::Checked : Qt::Unchecked);
    matchCase->setData(Qt::AccessibleTextRole, fromUtf8(texts_.matchCaseColumn));
    pronunciations_->setItem(row, kMatchCaseColumn, matchCase);
}

QDialogButtonBox* OptionsSheet::buildButtons(const Texts& texts) {
    auto* box = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    const auto name = [box](QDialogButtonBox::StandardButton which, const char* text,
                            const char* objectName) {
        QPushButton* button = box->button(which);
        button->setText(fromUtf8(text));
        button->setAccessibleName(button->text());
        button->setObjectName(QString::fromLatin1(objectName));
        return button;
    };
    name(QDialogButtonBox::Ok, texts.ok, "okButton")->setDefault(true);
    name(QDialogButtonBox::Cancel, texts.cancel, "cancelButton");
    applyButton_ = name(QDialogButtonBox::Apply, texts.apply, "applyButton");

    connect(box, &QDialogButtonBox::accepted, this, [this] {
        if (applyChanges()) {
            accept();
        }
    });
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(applyButton_, &QPushButton::clicked, this, &OptionsSheet::applyChanges);
    return box;
}

void OptionsSheet::loadValues() {
    host_->setText(fromAnsi(config_.host()));
    port_->setText(fromAnsi(config_.port()));
    user_->setText(fromAnsi(config_.userEmail()));
    password_->setText(fromAnsi(config_.userPass()));
    debugTrace_->setChecked(sameIgnoringCase(config_.debugTrace(), "ON"));
    const ConfigStore::Speech speech = config_.speech();
    loading_ = true;
    rate_->setValue(speech.rate);
    volume_->setValue(speech.volume);
    punctuation_->setCurrentIndex(speech.punctuation);
    voice_->setCurrentText(fromAnsi(speech.voice));
    for (const Pronunciation& rule : config_.pronunciations()) {
        addPronunciation(rule);
    }
    loading_ = false;
}

void OptionsSheet::markChanged(int page) {
    pages_[page].changed = true;
    pages_[page].pending = true;
    updateApplyButton();
}

void OptionsSheet::pageEntered(int page) {
    pages_[currentPage_].changed = false;
    currentPage_ = page;
    updateApplyButton();
}

void OptionsSheet::updateApplyButton() {
    applyButton_->setEnabled(std::any_of(pages_.begin(), pages_.end(),
                                         [](const PageState& page) { return page.changed; }));
}

bool OptionsSheet::applyChanges() {
    if (pages_[kServerPage].pending) {
        applyServer();
    }
    if (pages_[kDebugPage].pending) {
        applyDebug();
    }
    if (pages_[kSpeechPage].pending) {
        applySpeech();
    }
    if (pages_[kPronunciationPage].pending && !applyPronunciations()) {
        // The other pages are applied; this one stays pending and on show.
        for (int page = kServerPage; page < kPronunciationPage; ++page) {
            pages_[size_t(page)] = {};
        }
        tabs_->setCurrentIndex(kPronunciationPage);
        updateApplyButton();
        return false;
    }
    pages_ = {};
    updateApplyButton();
    return true;
}

// Host and port are compared ignoring case, the login exactly: only a real
// change stores the values (in memory) and restarts the checks.
void OptionsSheet::applyServer() {
    const std::string host = toAnsi(host_);
    const std::string port = toAnsi(port_);
    const std::string user = toAnsi(user_);
    const std::string password = toAnsi(password_);
    if (sameIgnoringCase(host, config_.host()) && sameIgnoringCase(port, config_.port()) &&
        user == config_.userEmail() && password == config_.userPass()) {
        return;
    }
    // A host or port the store refuses (one that would make the base URL
    // name another server) is not taken: the edits show the values in use again.
    const bool serverTaken = config_.setServer(host, port);
    if (!serverTaken) {
        host_->setText(fromAnsi(config_.host()));
        port_->setText(fromAnsi(config_.port()));
    }
    const bool userChanged = user != config_.userEmail() || password != config_.userPass();
    config_.setUser(user, password);
    if (refresh_ && (serverTaken || userChanged)) {
        refresh_();
    }
}

// Written to the file in use; the trace window follows it at the next start.
// A failed write is not reported.
void OptionsSheet::applyDebug() {
    config_.writeDebugTrace(debugTrace_->isChecked() ? "ON" : "OFF");
}

// Written to the file in use and used from the next reading on. A failed
// write is not reported, as with the trace setting.
void OptionsSheet::applySpeech() {
    ConfigStore::Speech speech;
    speech.rate = rate_->value();
    speech.volume = volume_->value();
    speech.punctuation = punctuation_->currentIndex();
    speech.voice = platform::utf16ToAnsi(voice_->currentText().trimmed().toStdU16String());
    config_.writeSpeech(speech);
    // An emptied voice box shows the voice that will be used.
    const QSignalBlocker blocker(voice_);
    voice_->setCurrentText(fromAnsi(config_.speech().voice));
}

// Rows left wholly empty are dropped; a row with only one of the word and
// how to say it is not guessed at: the user is asked to finish it. Used from
// the next reading on, and written to the pronunciations file.
bool OptionsSheet::applyPronunciations() {
    std::vector<Pronunciation> rules;
    for (int row = 0; row < pronunciations_->rowCount(); ++row) {
        const auto* language =
            qobject_cast<QComboBox*>(pronunciations_->cellWidget(row, kLanguageColumn));
        Pronunciation rule;
        rule.language = language->currentIndex() == 1 ? Pronunciation::Language::kChinese
                                                      : Pronunciation::Language::kEnglish;
        rule.word = pronunciations_->item(row, kWordColumn)->text().trimmed().toStdString();
        rule.sayAs = pronunciations_->item(row, kSayAsColumn)->text().trimmed().toStdString();
        rule.matchCase = pronunciations_->item(row, kMatchCaseColumn)->checkState() == Qt::Checked;
        if (rule.word.empty() && rule.sayAs.empty()) {
            continue;
        }
        if (!PronunciationFile::complete(rule)) {
            pronunciationNote_->setText(fromUtf8(texts_.incomplete).arg(row + 1));
            pronunciations_->setCurrentCell(row, rule.word.empty() ? kWordColumn : kSayAsColumn);
            return false;
        }
        rules.push_back(std::move(rule));
    }
    std::string error;
    if (!config_.writePronunciations(std::move(rules), &error)) {
        pronunciationNote_->setText(fromUtf8(texts_.notWritten).arg(QString::fromStdString(error)));
        return false;
    }
    pronunciationNote_->clear();
    return true;
}

void showOptions(QWidget* parent, ConfigStore& config, std::string_view languageCode,
                 std::function<void()> refresh, int startPage, std::vector<std::string> voices) {
    OptionsSheet sheet(config, std::string(languageCode), std::move(refresh), startPage, parent,
                       std::move(voices));
    sheet.exec();
}

} // namespace tolvane::ui
