#include "ui/ReaderBus.h"

#include "ui/QtText.h"
#include "ui/core/MainDialogCore.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QGuiApplication>
#include <QWidget>

namespace tolvane::ui {

namespace {

// A request waiting for the login is answered once logged in: the wait can
// be as long as the server check and the login's time-outs together.
constexpr int kHandOverTimeoutMs = 120000;

ReadRequest requestFrom(ReadRequest::Source source, const QString& text = {}) {
    ReadRequest request;
    request.source = source;
    if (source == ReadRequest::Source::kFile) {
        request.file = localPath(text);
    } else {
        request.text = coreText(text);
    }
    return request;
}

} // namespace

ReaderBus::ReaderBus(QWidget& window, MainDialogCore& core) : window_(&window), core_(core) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    new ReaderAdaptor(this);
    objectRegistered_ = bus.registerObject(QString::fromLatin1(kPath), this);
    if (objectRegistered_ && bus.registerService(QString::fromLatin1(kService))) {
        service_ = QString::fromLatin1(kService);
    }
}

ReaderBus::~ReaderBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!service_.isEmpty()) {
        bus.unregisterService(service_);
    }
    if (objectRegistered_) {
        bus.unregisterObject(QString::fromLatin1(kPath));
    }
}

void ReaderBus::read(ReadRequest request, ReadDone done) {
    // Queued: a bus request gets on its way at once, and the stop that
    // Play Now makes first does not run inside the bus's dispatch.
    QMetaObject::invokeMethod(
        this,
        [this, request = std::move(request), done = std::move(done)]() mutable {
            using Source = ReadRequest::Source;
            QClipboard* clipboard = QGuiApplication::clipboard();
            if (request.source == Source::kClipboard) {
                request.text = coreText(clipboard->text(QClipboard::Clipboard));
            } else if (request.source == Source::kSelection) {
                request.offered = clipboard->supportsSelection();
                request.text = coreText(clipboard->text(QClipboard::Selection));
            }
            core_.readHanded(std::move(request), done);
        },
        Qt::QueuedConnection);
}

void ReaderBus::readForBus(ReadRequest request, const QDBusMessage& message) {
    message.setDelayedReply(true);
    read(std::move(request), [message](const ReadOutcome& outcome) {
        QDBusConnection::sessionBus().send(
            outcome.reading
                ? message.createReply()
                : message.createErrorReply(QString::fromLatin1(kNotRead), qtText(outcome.reason)));
    });
}

void ReaderBus::activate() {
    if (window_) {
        window_->showNormal();
        window_->raise();
        window_->activateWindow();
    }
}

bool ReaderBus::clientRuns() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() &&
           bus.interface()->isServiceRegistered(QString::fromLatin1(kService)).value();
}

ReaderBus::HandOver ReaderBus::handOver(const ReadRequest* request, std::string& reason) {
    QString method = QStringLiteral("Activate");
    QVariantList arguments;
    if (request != nullptr) {
        switch (request->source) {
        case ReadRequest::Source::kText:
            method = QStringLiteral("ReadText");
            arguments << qtText(request->text);
            break;
        case ReadRequest::Source::kFile:
            method = QStringLiteral("ReadFile");
            arguments << QFileInfo(qtPath(request->file)).absoluteFilePath();
            break;
        case ReadRequest::Source::kSelection:
            method = QStringLiteral("ReadSelection");
            break;
        case ReadRequest::Source::kClipboard:
            method = QStringLiteral("ReadClipboard");
            break;
        }
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                       QString::fromLatin1(kInterface), method);
    call.setArguments(arguments);
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, kHandOverTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        return HandOver::kDone;
    }
    reason = reply.errorMessage().toStdString();
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return HandOver::kNoClient;
    }
    // Anything else may have reached the client: it is not sent again.
    if (error != QLatin1String(kNotRead)) {
        reason = "the running client did not read it (" + error.toStdString() + ": " + reason + ")";
    }
    return HandOver::kNotRead;
}

ReaderAdaptor::ReaderAdaptor(ReaderBus* bus) : QDBusAbstractAdaptor(bus), bus_(bus) {}

void ReaderAdaptor::ReadText(const QString& text, const QDBusMessage& message) {
    bus_->readForBus(requestFrom(ReadRequest::Source::kText, text), message);
}

void ReaderAdaptor::ReadFile(const QString& path, const QDBusMessage& message) {
    bus_->readForBus(requestFrom(ReadRequest::Source::kFile, path), message);
}

void ReaderAdaptor::ReadSelection(const QDBusMessage& message) {
    bus_->readForBus(requestFrom(ReadRequest::Source::kSelection), message);
}

void ReaderAdaptor::ReadClipboard(const QDBusMessage& message) {
    bus_->readForBus(requestFrom(ReadRequest::Source::kClipboard), message);
}

void ReaderAdaptor::Activate() {
    bus_->activate();
}

} // namespace tolvane::ui
