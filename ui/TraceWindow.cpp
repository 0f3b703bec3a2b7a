#include "ui/TraceWindow.h"

#include "protocol/TraceWrite.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QWidget>

#include <mutex>
#include <utility>
#include <vector>

namespace tolvane::ui {

namespace {

constexpr char kTitle[] = "Tolvane Trace";
// Ends with a line break and every line starts with one, so the log shows the
// start line, an empty line, then one event per line.
constexpr char kStartText[] = "Tolvane Trace Start:\n";
constexpr int kWidth = 450;
constexpr int kHeight = 600;

// Right edge of the primary screen, full height, the frame included (so it
// runs once the window is shown and its frame is known). The available
// geometry rather than the whole screen: a desktop panel would otherwise cover
// the bottom of the log, where the newest lines are.
void dock(QWidget* frame) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    const QSize border = frame->frameGeometry().size() - frame->size();
    frame->resize(kWidth - border.width(), area.height() - border.height());
    frame->move(area.x() + area.width() - kWidth, area.y());
}

} // namespace

// Lines on their way from the writers to the log; shared by the sink and the
// posted wake-ups, so it outlives the window that drains it.
class TraceWindow::LineQueue : public std::enable_shared_from_this<LineQueue> {
  public:
    explicit LineQueue(TraceWindow* owner) : owner_(owner) {}

    // Any thread. Posts a wake-up only when none is pending, so a burst of
    // lines costs one event.
    void push(std::string_view line) {
        QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
        std::lock_guard lock(mutex_);
        if (owner_ == nullptr) {
            return;
        }
        lines_.push_back(std::move(text));
        if (std::exchange(wakePending_, true)) {
            return;
        }
        QMetaObject::invokeMethod(
            owner_, [owner = owner_, self = shared_from_this()] { owner->drain(self); },
            Qt::QueuedConnection);
    }

    std::vector<QString> take() {
        std::lock_guard lock(mutex_);
        wakePending_ = false;
        return std::exchange(lines_, {});
    }

    // After this no line is queued and the owner is never named again.
    void detach() {
        std::lock_guard lock(mutex_);
        owner_ = nullptr;
        lines_.clear();
    }

  private:
    std::mutex mutex_;
    TraceWindow* owner_;
    std::vector<QString> lines_;
    bool wakePending_ = false;
};

TraceWindow::TraceWindow(QObject* parent) : QObject(parent) {}

TraceWindow::~TraceWindow() {
    // Widgets cannot be deleted once the application object is gone; then only
    // the sink is taken away.
    if (log_ && QCoreApplication::instance() != nullptr) {
        closeTrace();
    }
    detachLog();
}

void TraceWindow::openTrace() {
    if (running_) {
        return;
    }
    running_ = true;
    buildWindow();
    attachLog();
    frame_->show();
    dock(frame_);
}

void TraceWindow::closeTrace() {
    // Deleting the frame detaches the log through its destroyed() signal.
    delete frame_.data();
    running_ = false;
}

QWidget* TraceWindow::window() const {
    return frame_.data();
}

QString TraceWindow::logText() const {
    return log_ ? log_->toPlainText() : QString();
}

void TraceWindow::buildWindow() {
    auto* frame = new QWidget(nullptr, Qt::Window);
    frame->setObjectName(QStringLiteral("traceWindow"));
    frame->setWindowTitle(QString::fromLatin1(kTitle));
    frame->setAttribute(Qt::WA_DeleteOnClose);

    auto* log = new QPlainTextEdit(frame);
    log->setObjectName(QStringLiteral("traceLog"));
    log->setAccessibleName(QString::fromLatin1(kTitle));
    log->setReadOnly(true);
    log->setLineWrapMode(QPlainTextEdit::NoWrap);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setPlainText(QString::fromLatin1(kStartText));

    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(log);
    frame->resize(kWidth, kHeight);

    // The user's close box deletes the frame too; either way the log goes.
    connect(frame, &QObject::destroyed, this, [this] { detachLog(); });
    frame_ = frame;
    log_ = log;
}

void TraceWindow::attachLog() {
    queue_ = std::make_shared<LineQueue>(this);
    setTraceSink(std::make_shared<const TraceSink>(
        [queue = queue_](std::string_view line) { queue->push(line); }));
}

void TraceWindow::detachLog() {
    if (!queue_) {
        return;
    }
    setTraceSink(nullptr);
    queue_->detach();
    queue_.reset();
}

void TraceWindow::drain(const std::shared_ptr<LineQueue>& queue) {
    if (queue != queue_ || !log_) {
        return; // a wake-up for a log that has been closed since
    }
    QString text;
    for (const QString& line : queue->take()) {
        text += QLatin1Char('\n') + line;
    }
    if (text.isEmpty()) {
        return;
    }
    QTextCursor cursor(log_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    log_->setTextCursor(cursor);
    log_->ensureCursorVisible();
}

} // namespace tolvane::ui
