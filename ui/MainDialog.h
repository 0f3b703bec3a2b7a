#pragma once

#include "ui/core/DialogView.h"
#include "ui/core/MainDialogCore.h"

#include <QLabel>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>

class QComboBox;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tolvane::ui {

class QtDialogPort;
class WaitingWindow;

// A label that acts as a link: hand cursor, opens on a left click or, once
// focused with Tab, on Return or Space; it shows a focus mark while focused.
// Screen readers see a link (not text or an image) that they can press.
class LinkLabel : public QLabel {
    Q_OBJECT
  public:
    explicit LinkLabel(QWidget* parent);

  signals:
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// The working surface of the main window: the text box, the feed list, the
// buttons, the status lines and the links, placed as the dialog template
// places them (dialog units in the dialog font). It is one view of
// MainDialogCore, which decides what every control shows.
class MainDialog : public QWidget, private DialogView {
    Q_OBJECT
  public:
    // `languageApplied` is the main window's command 140.
    MainDialog(QtDialogPort& port, ConfigStore& config, DialogControllers controllers,
               WaitingWindow& waiting, std::string identity,
               std::function<void(std::string_view)> languageApplied, QWidget* parent);
    // Stops the reading and frees the feed list before the controls go.
    ~MainDialog() override;

    // The dialog's creation: controls reset, controllers connected, server checked.
    void initialise();
    // RefreshCommand (command 150), run by the options sheet.
    void refresh();
    // Reconnect: the server checked again and the user logged in again.
    void reconnect();

    MainDialogCore& core() { return *core_; }
    // Told every text the dialog shows, as it is shown (tests, benchmarks and
    // screenshots follow the dialog with it); the waiting window's opening
    // and closing come as control 0 with "open" or "closed".
    using Observer = std::function<void(int control, const QString& text)>;
    void setObserver(Observer observer) { observer_ = std::move(observer); }
    // Told every word and sentence the text box lights while a reading is
    // followed, as it lights them (the benchmark times the light with it).
    using HighlightObserver = std::function<void(TextRange word, TextRange sentence)>;
    void setHighlightObserver(HighlightObserver observer) {
        highlightObserver_ = std::move(observer);
    }
    QWidget* control(int id) const;
    // The dialog's template size in pixels for its font.
    QSize templateSize() const;
    // Whether the text box takes text now (logged in, no reading running):
    // only then do Open Text and a dropped file load one.
    bool textBoxEditable() const;
    // Whether Read From Here can start a reading now: logged in, whether a
    // reading runs or not.
    bool canReadFromHere() const;

  signals:
    // The text box became editable or stopped being so, or a worker's report
    // was handled: what the File menu offers may have changed.
    void fileStateChanged();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // DialogView.
    void setText(int control, std::u16string_view text) override;
    std::u16string textBoxText() const override;
    void setEnabled(int control, bool enabled) override;
    void setReadOnly(int control, bool readOnly) override;
    void setVisible(int control, bool visible) override;
    void setProgress(int percent) override;
    void setTextLimit(int characters) override;
    void clearFeeds() override;
    void addFeed(std::u16string_view title) override;
    void setLanguageChoices(const std::vector<std::u16string>& items, int selected) override;
    void showWarning(std::u16string_view text, std::u16string_view caption) override;
    void setWaitingLanguage(std::string_view code) override;
    void openWaiting() override;
    void closeWaiting() override;
    void languageApplied(std::string_view code) override;
    TextRange textBoxSelection() const override;
    void setHighlight(TextRange word, TextRange sentence) override;
    void setFollowing(bool on) override;
    void setServerRetry(std::chrono::milliseconds delay) override;

    void createControls();
    // Scrolls the text box so that `range` shows.
    void scrollToShow(TextRange range);
    void placeControls();
    void connectControls();
    void nameControls(bool chinese);
    // A label that shows a value (the status, the counter, the time...) is
    // named by what it shows, so screen readers hear each change; its
    // description says what the value is, and names it while it is empty.
    static void nameByText(QLabel* label, const QString& text);
    // Gives the focus back to `widget`, enabled again, when the focus went
    // on from it only because it was disabled.
    void returnFocus(QWidget* widget);
    void keepTextWithinLimit();
    void fitLabel(int id, QLabel* label);
    void openLink(const std::string& url);
    bool dropEvent(QEvent* event);
    template <class T> T* add(int id, T* widget);

    QtDialogPort& port_;
    ConfigStore& config_;
    WaitingWindow& waiting_;
    std::function<void(std::string_view)> languageApplied_;
    std::map<int, QWidget*> controls_;
    std::map<int, QRect> placed_; // each control's place in the template, in pixels
    QPlainTextEdit* textBox_ = nullptr;
    QListWidget* feedList_ = nullptr;
    QComboBox* languageBox_ = nullptr;
    QLabel* languageLabel_ = nullptr; // names the box to screen readers; not shown
    QProgressBar* progress_ = nullptr;
    QTimer* followTimer_ = nullptr; // runs while the reading is followed
    QTimer* retryTimer_ = nullptr;  // the wait before the server is checked again
    QWidget* refocus_ = nullptr;    // a control that lost the focus by being disabled
    QWidget* parkedOn_ = nullptr;   // where the focus went then
    int textLimit_ = MainDialogCore::kResetTextLimit;
    bool settingText_ = false;
    Observer observer_;
    HighlightObserver highlightObserver_;
    std::unique_ptr<MainDialogCore> core_;
};

} // namespace tolvane::ui
