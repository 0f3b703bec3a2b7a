#include "ui/DialogUnits.h"

#include "platform/MulDiv.h"

#include <QFontMetrics>

#include <algorithm>

namespace tolvane::ui {

namespace {
// The sample whose average width is the font's base unit.
constexpr char kAverageSample[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
} // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int sampleWidth = metrics.horizontalAdvance(QString::fromLatin1(kAverageSample));
    baseX_ = std::max(1, (sampleWidth / 26 + 1) / 2);
    baseY_ = std::max(1, metrics.height());
}

QFont DialogUnits::dialogFont() {
    QFont font(QStringLiteral("Arial"), 9);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

int DialogUnits::x(int units) const {
    return platform::MulDiv(units, baseX_, 4);
}

int DialogUnits::y(int units) const {
    return platform::MulDiv(units, baseY_, 8);
}

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    return QRect(x(left), y(top), x(width), y(height));
}

QSize DialogUnits::size(int width, int height) const {
    return QSize(x(width), y(height));
}

} // namespace tolvane::ui
