#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <string_view>

namespace tolvane::ui {

// The small always-on-top box that asks the user to wait while the login runs.
// An ordinary top-level window of the interface thread, owned by the main
// dialog; every call comes from the interface thread.
class WaitingWindow {
  public:
    WaitingWindow();

    // "请稍等 ..." for exactly "zh-CN", "Waiting ..." for every other code. An
    // open window keeps the text it was opened with.
    void setLanguage(std::string_view code);
    // The window the box belongs to; it stays above it and goes with it.
    void setOwner(QWidget* owner);

    // Shows the box centred on the screen without taking the keyboard focus;
    // nothing happens while it is open.
    void openWaiting();
    // Closes the box; safe when none is open.
    void closeWaiting();

    bool isOpen() const { return !window_.isNull(); }
    QWidget* window() const { return window_.data(); }
    QString text() const { return text_; }

  private:
    QString text_;
    QPointer<QWidget> owner_;
    QPointer<QWidget> window_;
};

} // namespace tolvane::ui
