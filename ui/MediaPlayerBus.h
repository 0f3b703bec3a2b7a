#pragma once

#include "ui/core/MediaSession.h"

#include <QDBusAbstractAdaptor>
#include <QDBusObjectPath>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class QWidget;

namespace tolvane {
class MainDialogCore;
}

namespace tolvane::ui {

// The client on the desktop's session bus as a media player, so media keys
// and the shell's player controls drive the reading: it owns the well-known
// media player name while it exists and serves the player object with its two
// interfaces. What the controls see and what their commands do is the dialog
// core's MediaSession; this class only carries it over the bus and announces
// every change of a property with the standard properties-changed signal.
// Without a session bus it does nothing, quietly.
//
// Threads: the interface thread only. Commands from the bus run from the
// event loop after their reply has gone, as a button's click does.
class MediaPlayerBus : public QObject {
    Q_OBJECT
  public:
    static constexpr char kService[] = "org.mpris.MediaPlayer2.tolvane";
    static constexpr char kPath[] = "/org/mpris/MediaPlayer2";
    static constexpr char kPlayerInterface[] = "org.mpris.MediaPlayer2.Player";

    // `window` is raised and closed for the bus; `core` must outlive this object.
    MediaPlayerBus(QWidget& window, MainDialogCore& core);
    ~MediaPlayerBus() override;

    // The name owned on the bus, or empty when there is no bus or the name
    // could not be had.
    const QString& service() const { return service_; }

    // The player interface's properties, as the bus shows them.
    QString playbackStatus() const;
    QVariantMap metadata() const;
    const MediaSession& media() const;

    void command(MediaSession::Command command);
    void raiseWindow();
    void quit();

  private:
    // What was last announced of the properties that change.
    struct Shown {
        QString status;
        uint64_t track = 0;
        QString title;
        int64_t length = 0;
        bool canPlay = false;
        bool canPause = false;
        bool canGoNext = false;
        bool canGoPrevious = false;
    };
    Shown current() const;
    void announce();

    QPointer<QWidget> window_;
    MainDialogCore& core_;
    QString service_;
    bool objectRegistered_ = false;
    Shown shown_;
};

// org.mpris.MediaPlayer2: who the player is, Raise and Quit.
class MediaRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)
  public:
    explicit MediaRootAdaptor(MediaPlayerBus* bus);

    bool canQuit() const { return true; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const { return QStringLiteral("Tolvane"); }
    QString desktopEntry() const { return QStringLiteral("tolvane"); }
    QStringList supportedUriSchemes() const { return {}; }
    QStringList supportedMimeTypes() const { return {}; }

  public slots:
    void Raise();
    void Quit();

  private:
    MediaPlayerBus* bus_;
};

// org.mpris.MediaPlayer2.Player: the reading's status, title and length, and
// the transport commands; Previous and Next go from sentence to sentence in
// typed text with timings, Next to the next item in a feed. Speed, volume and position are not
// controlled from here: the rate is 1, seeking is not offered and a volume set is ignored.
class MediaPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(bool CanGoNext READ canGoNext)
    Q_PROPERTY(bool CanGoPrevious READ canGoPrevious)
    Q_PROPERTY(bool CanPlay READ canPlay)
    Q_PROPERTY(bool CanPause READ canPause)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ yes)
  public:
    explicit MediaPlayerAdaptor(MediaPlayerBus* bus);

    QString playbackStatus() const { return bus_->playbackStatus(); }
    double rate() const { return 1.0; }
    void setRate(double) {}
    QVariantMap metadata() const { return bus_->metadata(); }
    double volume() const { return 1.0; }
    void setVolume(double) {}
    qlonglong position() const { return bus_->media().positionUs(); }
    bool canGoNext() const { return bus_->media().canGoNext(); }
    bool canGoPrevious() const { return bus_->media().canGoPrevious(); }
    bool canPlay() const { return bus_->media().canPlay(); }
    bool canPause() const { return bus_->media().canPause(); }
    bool yes() const { return true; }
    bool no() const { return false; }

  public slots:
    void Next();
    void Previous();
    void Pause();
    void PlayPause();
    void Stop();
    void Play();
    // Seeking is not offered: both do nothing.
    void Seek(qlonglong Offset);
    void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position);

  signals:
    void Seeked(qlonglong position);

  private:
    MediaPlayerBus* bus_;
};

} // namespace tolvane::ui
