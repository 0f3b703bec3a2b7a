// tolvane-shots: runs the desktop client in this process against a running
// speech server and saves pictures of it as PNG files in OUTDIR:
// ready-SUFFIX.png (logged in, feeds listed), reading-SUFFIX.png (a reading
// with its progress bar and time, and the word being heard lit when the
// server's audio carries word timings), options-SUFFIX.png, options-speech-SUFFIX.png
// and options-pronunciations-SUFFIX.png (pages of the options sheet),
// trace-SUFFIX.png (the trace window after the reading) and parts-SUFFIX.png
// (a document longer than the limit read in parts, its second part playing).
// The interface language is the one CONFIG names. Meant for a real X server
// (Xvfb), where fonts and widgets render as on a desktop; scripts/screenshots.sh
// runs it.
//
//   tolvane-shots CONFIG OUTDIR SUFFIX [SHOT...]
//
// With SHOTs (ready, reading, trace, options, parts) only those are saved
// (the client still logs in first).
//
// Exit status 0 when every picture was saved, 1 when the client did not get
// where a picture needs it (the last texts it showed are printed), 2 on a
// usage error.
#include "config/ClientIdentity.h"
#include "config/ConfigStore.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

namespace {

using namespace tolvane;
using ui::MainWindow;

constexpr int kLoginMs = 15000;
constexpr int kReadingMs = 30000;
// How far the reading has come when it is pictured, in percent.
constexpr int kPicturedProgress = 30;

// What the dialog shows, as its observer reports it.
struct Shown {
    std::map<int, QString> texts;
    bool waitingOpen = false;

    QString text(int control) const {
        const auto found = texts.find(control);
        return found == texts.end() ? QString() : found->second;
    }
};

// Runs the interface thread's events until `done` holds or `ms` pass. A
// warning box ends the wait: it is printed and closed, and the wait fails.
bool waitFor(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QTimer poll;
    bool warned = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "tolvane-shots: warning box: %s\n", qPrintable(box->text()));
            warned = true;
            box->reject();
            loop.quit();
        } else if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(10);
    loop.exec();
    return !warned && done();
}

bool save(const QPixmap& picture, const QString& path) {
    if (picture.isNull() || !picture.save(path, "PNG")) {
        std::fprintf(stderr, "tolvane-shots: could not save %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), picture.width(), picture.height());
    return true;
}

bool startsWithEither(const QString& text, const char* en, const char* zh) {
    return text.startsWith(QString::fromUtf8(en)) || text.startsWith(QString::fromUtf8(zh));
}

// Drives one client window through the four pictures.
class Session {
  public:
    Session(MainWindow& window, ui::ClientObjects& objects, QString outDir, QString suffix,
            QStringList wanted)
        : window_(window), objects_(objects), outDir_(std::move(outDir)),
          suffix_(std::move(suffix)), wanted_(std::move(wanted)) {
        window.dialog().setObserver([this](int control, const QString& text) {
            if (control == 0) {
                shown_.waitingOpen = text == QLatin1String("open");
            } else {
                shown_.texts[control] = text;
            }
        });
    }

    bool run() {
        return ready() && (!wants("reading") || reading()) && (!wants("trace") || trace()) &&
               (!wants("options") || options()) && (!wants("parts") || parts());
    }

    // The last texts the dialog showed, for a failure's message.
    void printShown() const {
        for (const auto& [control, text] : shown_.texts) {
            std::fprintf(stderr, "  control %d: %s\n", control, qPrintable(text));
        }
    }

  private:
    bool wants(const char* shot) const {
        return wanted_.isEmpty() || wanted_.contains(QLatin1String(shot));
    }
    QString path(const char* name) const {
        return QDir(outDir_).filePath(QStringLiteral("%1-%2.png").arg(name, suffix_));
    }
    int feedCount() const {
        return static_cast<QListWidget*>(window_.dialog().control(control::kFeedList))->count();
    }
    int progress() const {
        return static_cast<QProgressBar*>(window_.dialog().control(control::kProgress))->value();
    }

    bool ready() {
        const bool loggedIn = waitFor(
            [this] {
                return startsWithEither(shown_.text(control::kStatus), "Ready", "就绪") &&
                       feedCount() > 0 && !shown_.waitingOpen;
            },
            kLoginMs);
        return expect(loggedIn, "a logged-in window with its feeds") &&
               (!wants("ready") || save(window_.grab(), path("ready")));
    }

    // The trace window is opened first, so the reading's lines reach it.
    bool reading() {
        window_.command(MainWindow::kTrace);
        const bool chinese = window_.dialog().core().language() == "zh-CN";
        auto* textBox = static_cast<QPlainTextEdit*>(window_.dialog().control(control::kTextBox));
        textBox->setPlainText(chinese
                                  ? QString::fromUtf8("托尔瓦内正在朗读这段文字。进度条和时间"
                                                      "显示朗读已经进行到哪里,按停止按钮可以"
                                                      "随时结束朗读。")
                                  : QStringLiteral("Tolvane reads this text aloud. The progress "
                                                   "bar and the time show how far the reading "
                                                   "has come; Stop ends it at any moment."));
        bool lit = false;
        window_.dialog().setHighlightObserver(
            [&lit](TextRange word, TextRange) { lit = !word.empty(); });
        window_.dialog().core().playNow();
        const bool playing = waitFor(
            [this, &lit] {
                return startsWithEither(shown_.text(control::kStatus), "Playing,", "播放中,") &&
                       !shown_.text(control::kTime).isEmpty() && progress() >= kPicturedProgress &&
                       (lit || !window_.dialog().core().follow().hasMarks());
            },
            kReadingMs);
        window_.dialog().setHighlightObserver({});
        return expect(playing, "a reading with its time shown (is there an audio device?)") &&
               save(window_.grab(), path("reading"));
    }

    bool trace() {
        window_.dialog().core().stop();
        QWidget* traceWindow = objects_.trace.window();
        if (!expect(traceWindow != nullptr, "the trace window")) {
            return false;
        }
        waitFor([] { return false; }, 300); // its queued lines reach the log
        return save(traceWindow->grab(), path("trace"));
    }

    bool options() {
        objects_.trace.closeTrace();
        bool saved = false;
        QTimer::singleShot(300, [this, &saved] {
            QWidget* sheet = QApplication::activeModalWidget();
            auto* pages = sheet != nullptr ? sheet->findChild<QTabWidget*>() : nullptr;
            if (pages != nullptr) {
                // The server page as the sheet opens, then the speech and the
                // pronunciation pages (the trace page is two check boxes).
                const std::pair<int, const char*> shown[] = {
                    {0, "options"}, {2, "options-speech"}, {3, "options-pronunciations"}};
                saved = true;
                for (const auto& [page, name] : shown) {
                    pages->setCurrentIndex(page);
                    QCoreApplication::processEvents();
                    saved = save(sheet->grab(), path(name)) && saved;
                }
                sheet->close();
            }
        });
        window_.command(MainWindow::kOptions);
        return expect(saved, "the options sheet");
    }

    // A web page of some 2000 characters, opened as File > Open opens it: it
    // is held in three parts, and the second is pictured being read.
    bool parts() {
        const bool chinese = window_.dialog().core().language() == "zh-CN";
        const QString sentence =
            chinese
                ? QString::fromUtf8("清晨的港口很安静,渔船一只接一只地靠岸,海鸥在码头上空盘旋。")
                : QStringLiteral("In the quiet harbour the boats came in one by one at dawn, "
                                 "and the gulls circled over the quay. ");
        QString page =
            QStringLiteral("<html><head><title>%1</title></head><body>")
                .arg(chinese ? QString::fromUtf8("港口的早晨") : "Morning in the Harbour");
        for (int paragraph = 0; paragraph < (chinese ? 36 : 8); ++paragraph) {
            page +=
                QStringLiteral("<p>") + sentence.repeated(chinese ? 2 : 3) + QStringLiteral("</p>");
        }
        page += QStringLiteral("</body></html>");
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("harbour.html")));
        if (!expect(dir.isValid() && file.open(QIODevice::WriteOnly) &&
                        file.write(page.toUtf8()) > 0,
                    "a document to open")) {
            return false;
        }
        file.close();
        MainDialogCore& core = window_.dialog().core();
        core.openText(file.fileName().toStdString());
        core.nextPart();
        bool lit = false;
        window_.dialog().setHighlightObserver(
            [&lit](TextRange word, TextRange) { lit = !word.empty(); });
        core.playNow();
        const bool playing = waitFor(
            [this, &lit] {
                return startsWithEither(shown_.text(control::kStatus), "Playing,", "播放中,") &&
                       progress() >= 10 && (lit || !window_.dialog().core().follow().hasMarks());
            },
            kReadingMs);
        window_.dialog().setHighlightObserver({});
        const bool saved =
            expect(playing && core.parts().count() > 2, "a document read in parts") &&
            save(window_.grab(), path("parts"));
        core.stop();
        return saved;
    }

    bool expect(bool reached, const char* what) const {
        if (!reached) {
            std::fprintf(stderr, "tolvane-shots: no picture of %s; the dialog showed:\n", what);
            printShown();
        }
        return reached;
    }

    MainWindow& window_;
    ui::ClientObjects& objects_;
    const QString outDir_;
    const QString suffix_;
    const QStringList wanted_;
    Shown shown_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: tolvane-shots CONFIG OUTDIR SUFFIX [SHOT...]\n");
        return 2;
    }
    ConfigStore config;
    config.read(args[1].toStdString());
    if (!config.readProblem().empty()) {
        std::fprintf(stderr, "tolvane-shots: %s\n", config.readProblem().c_str());
        return 2;
    }
    QDir().mkpath(args[2]);
    const QSize screen = QGuiApplication::primaryScreen()->size();
    const std::string identity =
        ClientIdentity::format(ClientIdentity::systemValues(screen.width(), screen.height()));
    config.setClientIdentity(identity);

    ui::ClientObjects objects;
    bool done = false;
    {
        MainWindow window(objects, config, identity);
        Session session(window, objects, args[2], args[3], args.mid(4));
        window.show();
        done = session.run();
    }
    return done ? 0 : 1;
}
