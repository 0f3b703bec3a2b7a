#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QPlainTextEdit;
class QWidget;

namespace tolvane::ui {

// The diagnostic log: a top-level window docked to the right screen edge that
// shows one line per TraceWrite while it is open.
//
// Threads: the window, the log view and every member except the line queue
// belong to the interface thread; openTrace and closeTrace are called there.
// TraceWrite may run on any thread: the installed sink only appends the line
// to a LineQueue under its mutex and, when the queue was empty, posts one
// wake-up to this object, so a writer never waits for the window. The wake-up
// drains the queue into the log in arrival order. Closing the log detaches its
// queue under the same mutex, so lines still on their way are dropped.
class TraceWindow : public QObject {
    Q_OBJECT

  public:
    explicit TraceWindow(QObject* parent = nullptr);
    ~TraceWindow() override;

    // Opens a new window with a fresh log, unless the trace is already running.
    // A trace stays running after the user's close box until closeTrace.
    void openTrace();
    // Closes the window if it exists; the trace is no longer running.
    void closeTrace();

    bool running() const { return running_; }
    // The frame window, or null while none exists.
    QWidget* window() const;
    // The log's whole text, lines separated by '\n'.
    QString logText() const;

  private:
    class LineQueue;

    void buildWindow();
    void attachLog();
    void detachLog();
    void drain(const std::shared_ptr<LineQueue>& queue);

    bool running_ = false;
    QPointer<QWidget> frame_;
    QPointer<QPlainTextEdit> log_;
    std::shared_ptr<LineQueue> queue_; // the open log's queue, or null
};

} // namespace tolvane::ui
