#pragma once

#include "ui/core/ReadRequest.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QString>

#include <string>

class QWidget;

namespace tolvane {
class MainDialogCore;
}

namespace tolvane::ui {

// The client's own interface on the session bus, through which `tolvane
// --read…` and a second start reach the running client: it owns the
// client's name while it exists and serves an object that reads text, a
// file, the primary selection or the clipboard, and brings the window
// forward. What is done with handed text is the dialog core's decision
// (MainDialogCore::readHanded); this class takes the selection and the
// clipboard from the desktop and carries the rest over the bus. Without a
// session bus it does nothing, quietly.
//
// Threads: the interface thread only. Requests from the bus run from the
// event loop, as a button's click does; their reply goes once the core has
// read the text or said why not (a request waiting for the login waits with it).
class ReaderBus : public QObject {
    Q_OBJECT
  public:
    static constexpr char kService[] = "org.example.tolvane";
    static constexpr char kPath[] = "/org/example/tolvane";
    static constexpr char kInterface[] = "org.example.tolvane.Reader";
    // The error a request that was not read is answered with, its reason as the message.
    static constexpr char kNotRead[] = "org.example.tolvane.Reader.Error.NotRead";

    // `window` is brought forward for the bus; `core` must outlive this object.
    ReaderBus(QWidget& window, MainDialogCore& core);
    ~ReaderBus() override;

    // The name owned on the bus, or empty when there is no bus or the name
    // is another client's.
    const QString& service() const { return service_; }

    // Reads what `request` names (for the selection and the clipboard, what
    // the desktop holds now) from the event loop; `done` hears what came of it.
    void read(ReadRequest request, ReadDone done);
    // The same for a request from the bus, answered to `message`.
    void readForBus(ReadRequest request, const QDBusMessage& message);
    void activate();

    enum class HandOver {
        kDone,     // read, or the window brought forward
        kNotRead,  // not read, or no answer came: `reason` says why
        kNoClient, // no client owns the name (any more): `reason` has the bus's error
    };
    // From another process: hands `request` (nothing: bring the window
    // forward) to the client owning kService.
    static HandOver handOver(const ReadRequest* request, std::string& reason);
    // Whether a client owns kService on the session bus.
    static bool clientRuns();

  private:
    QPointer<QWidget> window_;
    MainDialogCore& core_;
    QString service_;
    bool objectRegistered_ = false;
};

// org.example.tolvane.Reader. Each Read method answers once the text is
// read, or with the kNotRead error saying why it is not.
class ReaderAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.example.tolvane.Reader")
  public:
    explicit ReaderAdaptor(ReaderBus* bus);

  public slots:
    void ReadText(const QString& text, const QDBusMessage& message);
    // `path` is absolute: the caller's working folder is not the client's.
    void ReadFile(const QString& path, const QDBusMessage& message);
    void ReadSelection(const QDBusMessage& message);
    void ReadClipboard(const QDBusMessage& message);
    // Shows the window, raised and active.
    void Activate();

  private:
    ReaderBus* bus_;
};

} // namespace tolvane::ui
