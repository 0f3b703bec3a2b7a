#include "ui/MainWindow.h"

#include "config/ConfigStore.h"
#include "ui/AboutBox.h"
#include "ui/ClientObjects.h"
#include "ui/Icons.h"
#include "ui/MainDialog.h"
#include "ui/MediaPlayerBus.h"
#include "ui/OptionsSheet.h"
#include "ui/QtText.h"
#include "ui/ReaderBus.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QMenuBar>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>

#include <strings.h>

namespace tolvane::ui {

namespace {

// One menu's texts; both menus carry the same command ids.
struct MenuTexts {
    const char* file;
    const char* exit;
    const char* setting;
    const char* trace;
    const char* options;
    const char* help;
    const char* about;
};

constexpr MenuTexts kEnglishMenu{"&File",     "E&xit", "&Setting",  "Trace",
                                 "Option...", "&Help", "&About ..."};
// Latin mnemonics after the Chinese text, the English menu's letters, as
// Chinese desktop programs give them: keyboards type no Chinese character
// with Alt.
constexpr MenuTexts kChineseMenu{"文件(&F)", "退出(&X)", "设置(&S)",   "跟踪",
                                 "选项...",  "帮助(&H)", "关于(&A)..."};

} // namespace

MainWindow::MainWindow(ClientObjects& objects, ConfigStore& config, std::string identity)
    : objects_(objects), config_(config) {
    setWindowTitle(QStringLiteral("%1 %2").arg(kTitle, kVersion));
    setWindowIcon(clientIcon("tolvane"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    traceFlag_ = strcasecmp(config.debugTrace().c_str(), "ON") == 0;
    installMenu(false);
    // Alt with "?" or "/" opens About wherever the focus is in the window.
    for (const QKeySequence& keys : {QKeySequence(Qt::ALT | Qt::Key_Question),
                                     QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Question),
                                     QKeySequence(Qt::ALT | Qt::Key_Slash)}) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this,
                [this] { command(kAbout); });
    }
    dialog_ = new MainDialog(
        objects.port, config, objects.controllers(), objects.waiting, std::move(identity),
        [this](std::string_view language) { command(kLanguage, language); }, this);
    setCentralWidget(dialog_);
    connect(dialog_, &MainDialog::fileStateChanged, this, &MainWindow::updateFileActions);
    dialog_->core().enableSpeechSaving();
    // As wide as the window is meant to be, as high as the menu and the
    // dialog's template in the dialog font need (a window frame's caption
    // is the window manager's, outside this size).
    const QSize needed = dialog_->templateSize() + QSize(0, menuBar()->sizeHint().height());
    setFixedSize(needed.expandedTo(QSize(kWidth, 0)));
    centre();
    mediaBus_ = new MediaPlayerBus(*this, dialog_->core());
    readerBus_ = new ReaderBus(*this, dialog_->core());
    dialog_->initialise();
}

MainWindow::~MainWindow() {
    // The bus names go first: nothing is announced of the closing dialog.
    delete mediaBus_;
    mediaBus_ = nullptr;
    delete readerBus_;
    readerBus_ = nullptr;
    // The dialog stops the reading while the window's widgets still exist.
    delete dialog_;
    dialog_ = nullptr;
}

void MainWindow::centre() {
    const QRect screen = this->screen()->availableGeometry();
    move(screen.left() + (screen.width() - width()) / 2,
         screen.top() + (screen.height() - height()) / 2);
}

void MainWindow::installMenu(bool chinese) {
    chineseMenu_ = chinese;
    const MenuTexts& t = chinese ? kChineseMenu : kEnglishMenu;
    QMenuBar* bar = menuBar();
    bar->clear();
    actions_.clear();
    auto item = [this](QMenu* menu, const char* text, int id) {
        QAction* action = menu->addAction(QString::fromUtf8(text));
        connect(action, &QAction::triggered, this, [this, id] { command(id); });
        actions_[id] = action;
        return action;
    };
    QMenu* file = bar->addMenu(QString::fromUtf8(t.file));
    // Open Text and the items after it (and their file dialogs), and the Read
    // menu, take their texts from the dialog's table, in the menu's language.
    fileTexts_.rebuild(menuLanguage());
    const auto tableItem = [&](UiTextTable::Slot slot, int id, const QKeySequence& keys,
                               QMenu* menu = nullptr) {
        QAction* action = item(menu != nullptr ? menu : file, "", id);
        action->setText(qtText(fileTexts_.text(slot)));
        action->setShortcut(keys);
        return action;
    };
    tableItem(UiTextTable::kOpenTextMenu, kOpenText, QKeySequence::Open);
    // Ctrl+Shift+S itself: without a desktop environment the platform's
    // Save As keys are empty.
    QList<QKeySequence> saveKeys = QKeySequence::keyBindings(QKeySequence::SaveAs);
    const QKeySequence ctrlShiftS(Qt::CTRL | Qt::SHIFT | Qt::Key_S);
    if (!saveKeys.contains(ctrlShiftS)) {
        saveKeys.prepend(ctrlShiftS);
    }
    tableItem(UiTextTable::kSaveSpeechMenu, kSaveSpeech, {})->setShortcuts(saveKeys);
    file->addSeparator();
    // F5 itself: some desktops leave the platform's Refresh keys empty.
    tableItem(UiTextTable::kReconnectMenu, kReconnect, QKeySequence(Qt::Key_F5));
    file->addSeparator();
    item(file, t.exit, kExit);
    QMenu* setting = bar->addMenu(QString::fromUtf8(t.setting));
    item(setting, t.trace, kTrace)->setCheckable(true);
    setting->addSeparator();
    item(setting, t.options, kOptions);
    QMenu* read = bar->addMenu(qtText(fileTexts_.text(UiTextTable::kReadMenu)));
    tableItem(UiTextTable::kReadFromHereMenu, kReadFromHere,
              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return), read);
    read->addSeparator();
    tableItem(UiTextTable::kPreviousSentenceMenu, kPreviousSentence,
              QKeySequence(Qt::ALT | Qt::Key_Left), read);
    tableItem(UiTextTable::kNextSentenceMenu, kNextSentence, QKeySequence(Qt::ALT | Qt::Key_Right),
              read);
    // A long text's parts, with the keys that page through it.
    read->addSeparator();
    tableItem(UiTextTable::kPreviousPartMenu, kPreviousPart, QKeySequence(Qt::ALT | Qt::Key_PageUp),
              read);
    tableItem(UiTextTable::kNextPartMenu, kNextPart, QKeySequence(Qt::ALT | Qt::Key_PageDown),
              read);
    item(bar->addMenu(QString::fromUtf8(t.help)), t.about, kAbout);
    updateFileActions();
}

void MainWindow::updateFileActions() {
    if (QAction* open = action(kOpenText); open && dialog_) {
        open->setEnabled(dialog_->textBoxEditable());
    }
    if (QAction* save = action(kSaveSpeech); save && dialog_) {
        save->setEnabled(dialog_->core().canSaveSpeech());
    }
    if (QAction* here = action(kReadFromHere); here && dialog_) {
        here->setEnabled(dialog_->canReadFromHere());
    }
    for (const int id : {kPreviousSentence, kNextSentence}) {
        if (QAction* move = action(id); move && dialog_) {
            move->setEnabled(dialog_->core().canMoveSentence());
        }
    }
    if (QAction* previous = action(kPreviousPart); previous && dialog_) {
        previous->setEnabled(dialog_->core().hasPreviousPart());
    }
    if (QAction* next = action(kNextPart); next && dialog_) {
        next->setEnabled(dialog_->core().hasNextPart());
    }
}

void MainWindow::saveSpeechAs(QString path) {
    if (path.isEmpty() || !dialog_->core().canSaveSpeech()) {
        return;
    }
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QStringLiteral(".mp3");
    }
    dialog_->core().saveSpeech(localPath(path));
}

QString MainWindow::speechFolder() {
    // Where a desktop keeps sound files, else documents, else the home folder.
    for (const auto location : {QStandardPaths::MusicLocation, QStandardPaths::DocumentsLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
            return folder;
        }
    }
    return QDir::homePath();
}

void MainWindow::openText(const QString& path) {
    if (dialog_->textBoxEditable() && !path.isEmpty()) {
        dialog_->core().openText(localPath(path));
        updateFileActions();
    }
}

QAction* MainWindow::action(int id) const {
    const auto found = actions_.find(id);
    return found == actions_.end() ? nullptr : found->second;
}

void MainWindow::command(int id, std::string_view language) {
    switch (id) {
    case kAbout:
        showAbout(this, dialog_->core().language());
        break;
    case kExit:
        close();
        break;
    case kLanguage:
        installMenu(language == "zh-CN");
        objects_.trace.closeTrace();
        action(kTrace)->setChecked(traceFlag_);
        if (traceFlag_) {
            objects_.trace.openTrace();
        }
        break;
    case kTrace:
        traceFlag_ = !traceFlag_;
        action(kTrace)->setChecked(traceFlag_);
        if (traceFlag_) {
            objects_.trace.openTrace();
        } else {
            objects_.trace.closeTrace();
        }
        break;
    case kOpenText:
        if (dialog_->textBoxEditable()) {
            openText(QFileDialog::getOpenFileName(
                this, qtText(fileTexts_.text(UiTextTable::kOpenTextTitle)), {},
                qtText(fileTexts_.text(UiTextTable::kTextFilter))));
        }
        break;
    case kSaveSpeech:
        if (dialog_->core().canSaveSpeech()) {
            const QString suggested =
                qtPath(dialog_->core().suggestedSpeechPath(localPath(speechFolder())));
            saveSpeechAs(QFileDialog::getSaveFileName(
                this, qtText(fileTexts_.text(UiTextTable::kSaveSpeechTitle)), suggested,
                qtText(fileTexts_.text(UiTextTable::kSpeechFilter))));
        }
        break;
    case kReadFromHere:
        if (dialog_->canReadFromHere()) {
            dialog_->core().readFromHere();
            updateFileActions();
        }
        break;
    case kPreviousSentence:
        dialog_->core().previousSentence();
        break;
    case kNextSentence:
        dialog_->core().nextSentence();
        break;
    case kPreviousPart:
        dialog_->core().previousPart();
        updateFileActions();
        break;
    case kNextPart:
        dialog_->core().nextPart();
        updateFileActions();
        break;
    case kReconnect:
        dialog_->reconnect();
        break;
    case kOptions:
        showOptions(
            this, config_, dialog_->core().language(), [this] { dialog_->refresh(); },
            OptionsSheet::kServerPage, objects_.door.voices());
        break;
    default:
        break;
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    emit closed();
}

} // namespace tolvane::ui
