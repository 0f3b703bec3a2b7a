#pragma once

#include <QDialog>

#include <string_view>

namespace tolvane::ui {

// The modal About box: program icon, name and version, maker and year. Texts
// are Chinese when the language code is "zh-CN" in any letter case. It closes
// with 1 for its OK button (or Enter) and 2 for Escape or the close box.
class AboutBox : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kOk = 1;
    static constexpr int kCancel = 2;

    AboutBox(std::string_view languageCode, QWidget* parent);

    void reject() override;
};

// Runs the About box modally over `parent`; returns the id it closed with.
int showAbout(QWidget* parent, std::string_view languageCode);

} // namespace tolvane::ui
