#pragma once

#include <QFont>
#include <QRect>

namespace tolvane::ui {

// Converts dialog-template units to pixels for a dialog font, as dialog
// templates are laid out: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height. Layouts given in
// these units keep their proportions in any font, so both languages fit.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    // The font every dialog of the client uses: "Arial" 9 pt, with the
    // desktop's sans-serif (and its CJK fallback) standing in where Arial is
    // not installed.
    static QFont dialogFont();

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

  private:
    int baseX_;
    int baseY_;
};

} // namespace tolvane::ui
