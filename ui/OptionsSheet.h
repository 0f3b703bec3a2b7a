#pragma once

#include <QDialog>

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QDialogButtonBox;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;

namespace tolvane {
class ConfigStore;
struct Pronunciation;
} // namespace tolvane

namespace tolvane::ui {

// The modal options sheet: page 0 holds the server's host and port and the
// login, page 1 whether the trace window opens at start-up, page 2 how the
// speech is made (rate, volume, punctuation, voice), page 3 the user's
// pronunciations (a table of rules edited in place). Texts are Chinese when
// the language code is "zh-CN" in any letter case.
//
// A page with edits not yet applied is "pending"; OK and Apply apply every
// pending page. The Apply button shows whether the current page changed since
// it was entered: leaving a page greys it, but the page's edits stay pending
// and OK still applies them.
class OptionsSheet : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kServerPage = 0;
    static constexpr int kDebugPage = 1;
    static constexpr int kSpeechPage = 2;
    static constexpr int kPronunciationPage = 3;
    // The pronunciation table's columns.
    static constexpr int kLanguageColumn = 0;
    static constexpr int kWordColumn = 1;
    static constexpr int kSayAsColumn = 2;
    static constexpr int kMatchCaseColumn = 3;
    // Every text of the sheet in one language (defined with the two sets).
    struct Texts;

    // `refresh` restarts the main dialog's server checks; it runs once after
    // the server or login values changed. `voices` are the names the server
    // offers for the voice box, which also takes any other name.
    OptionsSheet(ConfigStore& config, std::string languageCode, std::function<void()> refresh,
                 int startPage, QWidget* parent, std::vector<std::string> voices = {});

    // What OK and Apply do before OK closes the sheet. False when a page
    // could not be applied (a pronunciation without a word or without how
    // to say it, or a file that could not be written); the page says why
    // and OK leaves the sheet open.
    bool applyChanges();

  private:
    struct PageState {
        bool changed = false; // since the page was entered; drives Apply
        bool pending = false; // since the page was last applied
    };

    QWidget* buildServerPage(const Texts& texts);
    QWidget* buildDebugPage(const Texts& texts);
    QWidget* buildSpeechPage(const Texts& texts);
    QWidget* buildPronunciationPage(const Texts& texts);
    void addPronunciation(const Pronunciation& rule);
    QSlider* addLevel(QWidget* page, int y, const char* name, const char* labelText);
    QDialogButtonBox* buildButtons(const Texts& texts);
    void loadValues();
    void markChanged(int page);
    void pageEntered(int page);
    void updateApplyButton();
    void applyServer();
    void applyDebug();
    void applySpeech();
    bool applyPronunciations();

    ConfigStore& config_;
    std::function<void()> refresh_;
    QTabWidget* tabs_ = nullptr;
    QLineEdit* host_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QCheckBox* debugTrace_ = nullptr;
    QSlider* rate_ = nullptr;
    QSlider* volume_ = nullptr;
    QComboBox* punctuation_ = nullptr;
    QComboBox* voice_ = nullptr;
    std::vector<std::string> voices_;
    const Texts& texts_;
    QTableWidget* pronunciations_ = nullptr;
    QLabel* pronunciationNote_ = nullptr;
    QPushButton* applyButton_ = nullptr;
    std::array<PageState, 4> pages_{};
    int currentPage_ = kServerPage;
    bool loading_ = false; // loadValues() is filling the controls
};

// Runs the options sheet modally over `parent`, starting at `startPage`.
void showOptions(QWidget* parent, ConfigStore& config, std::string_view languageCode,
                 std::function<void()> refresh, int startPage = 0,
                 std::vector<std::string> voices = {});

} // namespace tolvane::ui
