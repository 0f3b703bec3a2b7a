#include "ui/QtDialogPort.h"

#include <QCoreApplication>
#include <QThread>

#include <thread>

namespace tolvane::ui {

QtDialogPort::QtDialogPort() : context_(new QObject) {}

QtDialogPort::~QtDialogPort() {
    delete context_;
}

void QtDialogPort::setHandler(Handler handler) {
    handler_ = std::move(handler);
}

void QtDialogPort::send(uint32_t message, uint32_t code, intptr_t argument) {
    if (QThread::currentThread() == context_->thread()) {
        handle(message, code, argument);
        return;
    }
    const std::thread::id sender = std::this_thread::get_id();
    QMetaObject::invokeMethod(
        context_,
        [this, sender, message, code, argument] {
            HandlingReport handling(sender);
            handle(message, code, argument);
        },
        Qt::BlockingQueuedConnection);
}

void QtDialogPort::pump() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtDialogPort::handle(uint32_t message, uint32_t code, intptr_t argument) {
    if (handler_) {
        // A copy: the handler may replace itself (the dialog closing).
        const Handler handler = handler_;
        handler(message, code, argument);
    }
}

} // namespace tolvane::ui
