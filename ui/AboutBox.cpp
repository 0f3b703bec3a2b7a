#include "ui/AboutBox.h"

#include "ui/DialogUnits.h"
#include "ui/Icons.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <cctype>

namespace tolvane::ui {

namespace {

struct AboutTexts {
    const char* title;
    const char* name;
    const char* maker;
    const char* ok;
};

constexpr AboutTexts kEnglish = {"About", "Tolvane Client 1.1.0", "Copyright (C) 2010 Tolvane",
                                 "OK"};
constexpr AboutTexts kChinese = {"关于", "语音新闻播报[Tolvane Client] 1.1.0",
                                 "版权所有 (C) 2010 Tolvane", "确定"};

constexpr int kIconPixels = 32;

bool chinese(std::string_view code) {
    constexpr std::string_view kChineseCode = "zh-cn";
    return std::equal(
        code.begin(), code.end(), kChineseCode.begin(), kChineseCode.end(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

QLabel* addLine(QWidget* box, const DialogUnits& units, QRect rect, const char* text,
                const char* name) {
    auto* label = new QLabel(QString::fromUtf8(text), box);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(units.rect(rect.x(), rect.y(), rect.width(), rect.height()));
    return label;
}

} // namespace

// Laid out in dialog units on a 230 x 75 box.
AboutBox::AboutBox(std::string_view languageCode, QWidget* parent) : QDialog(parent) {
    const AboutTexts& texts = chinese(languageCode) ? kChinese : kEnglish;
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QString::fromUtf8(texts.title));
    setFont(DialogUnits::dialogFont());
    const DialogUnits units(font());
    setFixedSize(units.size(230, 75));

    QLabel* icon = addLine(this, units, {11, 10, 21, 20}, "", "aboutIcon");
    icon->setPixmap(clientIcon("tolvane").pixmap(kIconPixels, kIconPixels));
    addLine(this, units, {40, 12, 180, 10}, texts.name, "aboutName");
    addLine(this, units, {40, 28, 180, 10}, texts.maker, "aboutMaker");

    auto* ok = new QPushButton(QString::fromUtf8(texts.ok), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setAccessibleName(ok->text());
    ok->setGeometry(units.rect(173, 54, 50, 14));
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, [this] { done(kOk); });
}

void AboutBox::reject() {
    done(kCancel);
}

int showAbout(QWidget* parent, std::string_view languageCode) {
    AboutBox box(languageCode, parent);
    return box.exec();
}

} // namespace tolvane::ui
