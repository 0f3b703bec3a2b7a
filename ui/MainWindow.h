#pragma once

#include "ui/core/UiTextTable.h"

#include <QMainWindow>

#include <map>
#include <string>
#include <string_view>

class QAction;

namespace tolvane {
class ConfigStore;
}

namespace tolvane::ui {

struct ClientObjects;
class MainDialog;
class MediaPlayerBus;
class ReaderBus;

// The top-level window: title, menus in the interface language, the trace
// flag, and the main dialog filling it.
class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    // The window's commands, by the ids the menus and the dialog use.
    enum Command {
        kAbout = 104,
        kExit = 105,
        kLanguage = 140,
        kTrace = 32771,
        kOptions = 32772,
        kOpenText = 32773,
        kSaveSpeech = 32774,
        kReadFromHere = 32775,
        kPreviousSentence = 32776,
        kNextSentence = 32777,
        kReconnect = 32778,
        kPreviousPart = 32779,
        kNextPart = 32780,
    };
    static constexpr char kTitle[] = "Tolvane Client";
    static constexpr char kVersion[] = "1.1.0";
    static constexpr int kWidth = 720;

    // Creates the dialog, which checks the server at once and sends command
    // 140 back before the constructor returns.
    MainWindow(ClientObjects& objects, ConfigStore& config, std::string identity);
    ~MainWindow() override;

    // Runs a command; `language` is command 140's argument.
    void command(int id, std::string_view language = {});

    MainDialog& dialog() { return *dialog_; }
    // The client's own interface on the session bus, for text handed to read.
    ReaderBus& reader() { return *readerBus_; }
    bool traceFlag() const { return traceFlag_; }
    // The menu item of a command, in the menu in use.
    QAction* action(int id) const;
    // "zh-CN" when the Chinese menu is in use, else "en-US".
    std::string_view menuLanguage() const { return chineseMenu_ ? "zh-CN" : "en-US"; }
    // Open Text with a file already chosen (the menu item asks for one).
    void openText(const QString& path);
    // Save Speech As with a file already chosen; ".mp3" is added to a name
    // without an extension.
    void saveSpeechAs(QString path);
    // The folder Save Speech As proposes before the first save of a run.
    static QString speechFolder();

  signals:
    // Exit, the close box or the window manager closed the window; the
    // client ends its event loop then, even while the trace window is open.
    void closed();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void installMenu(bool chinese);
    // Enables the File and Read menus' items that depend on the dialog's state.
    void updateFileActions();
    void centre();

    ClientObjects& objects_;
    ConfigStore& config_;
    MainDialog* dialog_ = nullptr;
    MediaPlayerBus* mediaBus_ = nullptr; // the media keys' way in, while the window exists
    ReaderBus* readerBus_ = nullptr;     // `tolvane --read…` and a second start's way in
    std::map<int, QAction*> actions_;
    bool traceFlag_ = false;
    bool chineseMenu_ = false;
    UiTextTable fileTexts_; // the File and Read menus' own items, in the menu's language
};

} // namespace tolvane::ui
