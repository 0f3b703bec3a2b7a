#include "ui/WaitingWindow.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

namespace tolvane::ui {

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 60;
// The label's text sits this far below the top edge.
constexpr int kLabelTop = 5;

QString waitingText(std::string_view code) {
    return code == "zh-CN" ? QString::fromUtf8("请稍等 ...") : QStringLiteral("Waiting ...");
}

// Centred on the whole primary screen, integer division as the main window
// centres itself.
void centre(QWidget* window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->geometry();
    window->move(area.x() + (area.width() - kWidth) / 2, area.y() + (area.height() - kHeight) / 2);
}

} // namespace

WaitingWindow::WaitingWindow() : text_(waitingText("")) {}

void WaitingWindow::setLanguage(std::string_view code) {
    text_ = waitingText(code);
}

void WaitingWindow::setOwner(QWidget* owner) {
    owner_ = owner;
}

void WaitingWindow::openWaiting() {
    if (window_) {
        return;
    }
    // A child of the owner with the Window flag is still a top-level window,
    // but transient for the owner and deleted with it. Frameless, with its own
    // one-pixel line, so the border looks the same under every window manager.
    auto* box =
        new QFrame(owner_.data(), Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                      Qt::WindowDoesNotAcceptFocus);
    box->setObjectName(QStringLiteral("waitingWindow"));
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    box->setFrameStyle(QFrame::Box | QFrame::Plain);
    box->setLineWidth(1);
    box->setWindowTitle(text_);
    box->setFixedSize(kWidth, kHeight);

    auto* label = new QLabel(text_, box);
    label->setObjectName(QStringLiteral("waitingLabel"));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setGeometry(0, kLabelTop, kWidth, kHeight - kLabelTop);

    centre(box);
    window_ = box;
    box->show();
}

void WaitingWindow::closeWaiting() {
    delete window_.data();
}

} // namespace tolvane::ui
