// tolvane: the desktop client. One instance per user; reads config.ini (see
// ConfigStore for where it is looked up), opens the main window and runs until
// it is closed. `--read…` hands text to read to the running client over the
// session bus, or starts the client that reads it; a second start without
// them brings the running window forward.
#include "config/ClientIdentity.h"
#include "config/ConfigStore.h"
#include "platform/Paths.h"
#include "platform/StreamIdentity.h"
#include "ui/ClientObjects.h"
#include "ui/MainWindow.h"
#include "ui/QtText.h"
#include "ui/ReaderBus.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusError>
#include <QScreen>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <iostream>
#include <optional>
#include <thread>
#include <unistd.h>

namespace {

using namespace tolvane;

int signalPipe[2] = {-1, -1};

extern "C" void onTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT (a session ending, Ctrl-C in a terminal) close the window
// as its close box does, so the reading stops and nothing is left behind.
void closeOnTerminate(QWidget& window) {
    if (pipe(signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] { window.close(); });
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

constexpr int kBadArguments = 2;
constexpr int kBecomeClient = -1;

struct Options {
    std::optional<ReadRequest> request; // nothing: open the window, or bring it forward
    bool help = false;
};

QString helpText(const QCommandLineParser& parser) {
    return parser.helpText() +
           QStringLiteral(
               "\nWith a client running, the text goes to it over the session bus and is read\n"
               "at once, as if typed and Play Now pressed; without one, this command becomes\n"
               "the client and reads it once logged in. A start without options brings the\n"
               "running client's window forward.\n"
               "Exit status: 0 read (or brought forward), 1 not read (the reason on standard\n"
               "error), 2 bad arguments.\n");
}

// The options after QApplication has taken its own; false with `error`.
bool parseOptions(QCommandLineParser& parser, Options& options, QString& error) {
    using Source = ReadRequest::Source;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption read(QStringLiteral("read"), QStringLiteral("Read TEXT aloud."),
                                  QStringLiteral("TEXT"));
    const QCommandLineOption file(
        QStringLiteral("read-file"),
        QStringLiteral("Read the document FILE aloud (PDF, EPUB, HTML, DOCX, ODT or text)."),
        QStringLiteral("FILE"));
    const QCommandLineOption selection(
        QStringLiteral("read-selection"),
        QStringLiteral("Read the primary selection (the text last selected) aloud."));
    const QCommandLineOption clipboard(QStringLiteral("read-clipboard"),
                                       QStringLiteral("Read the clipboard's text aloud."));
    parser.setApplicationDescription(QStringLiteral("Reads typed text and news feeds aloud."));
    parser.addOptions({help, read, file, selection, clipboard});
    // Desktops open a document with the program by naming it alone.
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The same as --read-file FILE."),
                                 QStringLiteral("[FILE]"));
    QStringList arguments = QCoreApplication::arguments();
    arguments[0] = QStringLiteral("tolvane"); // as the help names it
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        error = QStringLiteral("unexpected argument '%1'").arg(files[1]);
        return false;
    }
    options.help = parser.isSet(help);
    const int reads = int(parser.values(read).size() + parser.values(file).size()) +
                      int(parser.isSet(selection)) + int(parser.isSet(clipboard)) +
                      int(files.size());
    if (reads > 1) {
        error = QStringLiteral("give one of --read, --read-file, --read-selection, "
                               "--read-clipboard and FILE, once");
        return false;
    }
    if (reads == 1) {
        ReadRequest request;
        if (parser.isSet(read)) {
            request.text = ui::coreText(parser.value(read));
        } else if (parser.isSet(file) || !files.isEmpty()) {
            request.source = Source::kFile;
            request.file = ui::localPath(parser.isSet(file) ? parser.value(file) : files[0]);
        } else {
            request.source = parser.isSet(selection) ? Source::kSelection : Source::kClipboard;
        }
        options.request = std::move(request);
    }
    return true;
}

// Another client holds the lock: the request (or the call that brings its
// window forward) goes to it. It may be starting, its name not yet on the
// bus, or ending, its lock not yet let go: either is waited for a while.
// The exit status, or kBecomeClient once this process holds the lock.
int handOver(platform::SingleInstanceLock& instance, const std::optional<ReadRequest>& request) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string reason = "no client answers on the session bus";
    if (!QDBusConnection::sessionBus().isConnected()) {
        std::cerr << "tolvane: another client runs, and there is no session bus to reach it ("
                  << QDBusConnection::sessionBus().lastError().message().toStdString() << ")\n";
        return 1;
    }
    while (std::chrono::steady_clock::now() < deadline) {
        if (ui::ReaderBus::clientRuns()) {
            switch (ui::ReaderBus::handOver(request ? &*request : nullptr, reason)) {
            case ui::ReaderBus::HandOver::kDone:
                return 0;
            case ui::ReaderBus::HandOver::kNotRead:
                std::cerr << "tolvane: " << reason << "\n";
                return 1;
            case ui::ReaderBus::HandOver::kNoClient:
                break; // it has just gone: its lock goes next
            }
        }
        if (instance.tryAgain()) {
            return kBecomeClient;
        }
        std::this_thread::sleep_for(100ms);
    }
    std::cerr << "tolvane: another client runs but cannot be reached: " << reason << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    using namespace tolvane;
    // Before any thread starts or any sound device opens: readings play as
    // Tolvane's speech, so the desktop can show it and lower music under it.
    platform::announceStreamIdentity({"Tolvane", "tolvane", "speech"});
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tolvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tolvane"));
    QCommandLineParser parser;
    Options options;
    if (QString error; !parseOptions(parser, options, error)) {
        std::cerr << "tolvane: " << error.toStdString() << "\nTry 'tolvane --help'.\n";
        return kBadArguments;
    }
    if (options.help) {
        std::cout << helpText(parser).toStdString();
        return 0;
    }
    // One client per user: a second start hands its request to the first.
    platform::SingleInstanceLock instance("TolvaneWin32Class");
    if (!instance.acquired() && instance.heldElsewhere()) {
        if (const int status = handOver(instance, options.request); status != kBecomeClient) {
            return status;
        }
    }
    if (!instance.acquired()) {
        std::cerr << "tolvane: " << instance.error() << " (running without the lock)\n";
    }
    ConfigStore config;
    config.locateAndRead();
    if (!config.readProblem().empty()) {
        std::cerr << "tolvane: " << config.readProblem() << " (using the defaults)\n";
    }
    for (const std::string& note : config.readNotes()) {
        std::cerr << "tolvane: " << note << "\n";
    }

    const QSize screen = QGuiApplication::primaryScreen()->size();
    const std::string identity =
        ClientIdentity::format(ClientIdentity::systemValues(screen.width(), screen.height()));
    config.setClientIdentity(identity);

    ui::ClientObjects objects;
    int status = 0;
    {
        ui::MainWindow window(objects, config, identity);
        QObject::connect(&window, &ui::MainWindow::closed, &app, [] { QCoreApplication::exit(0); });
        closeOnTerminate(window);
        window.show();
        if (options.request) {
            // Read once logged in; what keeps it from being read is said here too.
            window.reader().read(*options.request, [](const ReadOutcome& outcome) {
                if (!outcome.reading) {
                    std::cerr << "tolvane: " << ui::qtText(outcome.reason).toStdString() << "\n";
                }
            });
        }
        status = QApplication::exec();
    }
    return status;
}
