#pragma once

// The desktop client's window driven as a user drives it, for the GUI tests:
// the window with what it showed, modal windows answered as they come, a
// file chosen in a file dialog, a file dropped on a widget.
#include "config/ConfigStore.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::test {

using namespace std::chrono_literals;

// The client's window with what it showed, control by control, in order.
class Client {
  public:
    explicit Client(const std::filesystem::path& configPath) {
        config_.read(configPath);
        objects_ = std::make_unique<ui::ClientObjects>();
        window_ = std::make_unique<ui::MainWindow>(*objects_, config_, "identity");
        window_->dialog().setObserver(
            [this](int id, const QString& text) { shown_.emplace_back(id, text.toStdString()); });
        window_->show();
        activate();
    }

    // Keys reach the window's shortcuts only while it is the active window
    // (the waiting window may have taken that while the user logged in).
    void activate() {
        window_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    ~Client() { close(); }

    // Closes the window as its close box does and waits until it is gone.
    void close() {
        if (window_) {
            window_->close();
            window_.reset();
            objects_.reset();
        }
    }

    ui::MainWindow& window() { return *window_; }
    ui::ClientObjects& objects() { return *objects_; }
    template <class T = QWidget> T* control(int id) {
        return qobject_cast<T*>(window_->dialog().control(id));
    }
    std::string text(int id) {
        if (auto* label = control<QLabel>(id)) {
            return label->text().toStdString();
        }
        if (auto* button = control<QPushButton>(id)) {
            return button->text().toStdString();
        }
        return control<QPlainTextEdit>(id)->toPlainText().toStdString();
    }
    bool waitText(int id, const std::string& value, std::chrono::milliseconds limit = 20s) {
        return QTest::qWaitFor([&] { return text(id) == value; }, int(limit.count()));
    }
    bool waitStatus(const std::string& value) { return waitText(control::kStatus, value); }
    // Every text shown in a control, in order.
    std::vector<std::string> shown(int id) const {
        std::vector<std::string> texts;
        for (const auto& [control, text] : shown_) {
            if (control == id) {
                texts.push_back(text);
            }
        }
        return texts;
    }
    // Play Now, Pause, Stop, feed list, text box, language box: 1 when enabled.
    std::string enabled() {
        std::string state;
        for (int id : {control::kPlayNow, control::kPauseResume, control::kStop, control::kFeedList,
                       control::kTextBox, control::kLanguageBox}) {
            state += control(id)->isEnabled() ? '1' : '0';
        }
        return state;
    }
    void type(const QString& text) {
        auto* box = control<QPlainTextEdit>(control::kTextBox);
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
    }
    void click(int id) { QTest::mouseClick(control(id), Qt::LeftButton); }

  private:
    ConfigStore config_;
    std::unique_ptr<ui::ClientObjects> objects_;
    std::unique_ptr<ui::MainWindow> window_;
    std::vector<std::pair<int, std::string>> shown_;
};

// Handles the next modal window once it shows (`read` sees it, then it is
// closed), however many events pass before it does.
inline void onNextModal(std::function<void(QWidget*)> read) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, read = std::move(read)] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            read(modal);
            modal->close();
        }
    });
    timer->start(10);
}

// Chooses `file` in a file dialog as a user does: goes to its folder, types its
// name in the name field and presses Return. (QFileDialog::selectFile leaves a
// name field that has the focus as it is.)
inline void chooseFile(QWidget* modal, const std::filesystem::path& file) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    dialog->setDirectory(QString::fromStdString(file.parent_path().string()));
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->selectAll();
    QTest::keyClicks(name, QString::fromStdString(file.filename().string()));
    QTest::keyClick(name, Qt::Key_Return);
}

// Drags `file` onto `target` and drops it there, as a file manager does;
// whether both the entering drag and the drop were accepted.
inline bool dropFile(QWidget* target, const std::filesystem::path& file) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(target, &enter);
    QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(target, &dropped);
    return enter.isAccepted() && dropped.isAccepted();
}

} // namespace tolvane::test
