#include "ui/MediaPlayerBus.h"

#include "ui/QtText.h"
#include "ui/core/MainDialogCore.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QWidget>

namespace tolvane::ui {

namespace {

// Where a reading's track id points: a path of the player's own, outside the
// paths the media player interfaces reserve.
QDBusObjectPath trackPath(uint64_t track) {
    return QDBusObjectPath(QStringLiteral("/org/tolvane/Reading/%1").arg(track));
}

} // namespace

MediaPlayerBus::MediaPlayerBus(QWidget& window, MainDialogCore& core)
    : window_(&window), core_(core) {
    shown_ = current();
    core_.media().setListener([this] { announce(); });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    new MediaRootAdaptor(this);
    new MediaPlayerAdaptor(this);
    objectRegistered_ = bus.registerObject(QString::fromLatin1(kPath), this);
    if (!objectRegistered_) {
        return;
    }
    // A second client of the same user (another session, or the lock was
    // unavailable) takes a name of its own, as the players' naming rule says.
    const QString name = QString::fromLatin1(kService);
    const QString instance =
        name + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
    for (const QString& candidate : {name, instance}) {
        if (bus.registerService(candidate)) {
            service_ = candidate;
            break;
        }
    }
}

MediaPlayerBus::~MediaPlayerBus() {
    core_.media().setListener({});
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!service_.isEmpty()) {
        bus.unregisterService(service_);
    }
    if (objectRegistered_) {
        bus.unregisterObject(QString::fromLatin1(kPath));
    }
}

const MediaSession& MediaPlayerBus::media() const {
    return core_.media();
}

QString MediaPlayerBus::playbackStatus() const {
    return QString::fromLatin1(MediaSession::name(media().status()));
}

QVariantMap MediaPlayerBus::metadata() const {
    QVariantMap map;
    const MediaSession& m = media();
    if (m.track() == 0) {
        return map; // no reading: no current track
    }
    map.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(trackPath(m.track())));
    map.insert(QStringLiteral("xesam:title"), qtText(m.title()));
    if (m.lengthUs() > 0) {
        map.insert(QStringLiteral("mpris:length"), qlonglong(m.lengthUs()));
    }
    return map;
}

MediaPlayerBus::Shown MediaPlayerBus::current() const {
    const MediaSession& m = media();
    return {playbackStatus(), m.track(),    qtText(m.title()), m.lengthUs(),
            m.canPlay(),      m.canPause(), m.canGoNext(),     m.canGoPrevious()};
}

void MediaPlayerBus::announce() {
    const Shown now = current();
    QVariantMap changed;
    if (now.status != shown_.status) {
        changed.insert(QStringLiteral("PlaybackStatus"), now.status);
    }
    if (now.track != shown_.track || now.title != shown_.title || now.length != shown_.length) {
        changed.insert(QStringLiteral("Metadata"), metadata());
    }
    if (now.canPlay != shown_.canPlay) {
        changed.insert(QStringLiteral("CanPlay"), now.canPlay);
    }
    if (now.canPause != shown_.canPause) {
        changed.insert(QStringLiteral("CanPause"), now.canPause);
    }
    if (now.canGoNext != shown_.canGoNext) {
        changed.insert(QStringLiteral("CanGoNext"), now.canGoNext);
    }
    if (now.canGoPrevious != shown_.canGoPrevious) {
        changed.insert(QStringLiteral("CanGoPrevious"), now.canGoPrevious);
    }
    shown_ = now;
    if (changed.isEmpty() || service_.isEmpty()) {
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(kPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kPlayerInterface) << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

void MediaPlayerBus::command(MediaSession::Command command) {
    // Queued: the bus gets its reply at once, and a stop that waits for the
    // workers does not run inside the bus's dispatch.
    QMetaObject::invokeMethod(
        this, [this, command] { core_.mediaCommand(command); }, Qt::QueuedConnection);
}

void MediaPlayerBus::raiseWindow() {
    if (window_) {
        window_->showNormal();
        window_->raise();
        window_->activateWindow();
    }
}

void MediaPlayerBus::quit() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (window_) {
                window_->close();
            }
        },
        Qt::QueuedConnection);
}

MediaRootAdaptor::MediaRootAdaptor(MediaPlayerBus* bus) : QDBusAbstractAdaptor(bus), bus_(bus) {}

void MediaRootAdaptor::Raise() {
    bus_->raiseWindow();
}

void MediaRootAdaptor::Quit() {
    bus_->quit();
}

MediaPlayerAdaptor::MediaPlayerAdaptor(MediaPlayerBus* bus)
    : QDBusAbstractAdaptor(bus), bus_(bus) {}

void MediaPlayerAdaptor::Next() {
    bus_->command(MediaSession::Command::kNext);
}

void MediaPlayerAdaptor::Previous() {
    bus_->command(MediaSession::Command::kPrevious);
}

void MediaPlayerAdaptor::Pause() {
    bus_->command(MediaSession::Command::kPause);
}

void MediaPlayerAdaptor::PlayPause() {
    bus_->command(MediaSession::Command::kPlayPause);
}

void MediaPlayerAdaptor::Stop() {
    bus_->command(MediaSession::Command::kStop);
}

void MediaPlayerAdaptor::Play() {
    bus_->command(MediaSession::Command::kPlay);
}

void MediaPlayerAdaptor::Seek(qlonglong Offset) {
    Q_UNUSED(Offset);
}

void MediaPlayerAdaptor::SetPosition(const QDBusObjectPath& TrackId, qlonglong Position) {
    Q_UNUSED(TrackId);
    Q_UNUSED(Position);
}

} // namespace tolvane::ui
