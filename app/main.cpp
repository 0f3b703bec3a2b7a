// tolvane: the desktop client. One instance per user; reads config.ini (see
// ConfigStore for where it is looked up), opens the main window and runs until
// it is closed. Command-line arguments other than Qt's own are ignored.
#include "config/ClientIdentity.h"
#include "config/ConfigStore.h"
#include "platform/Paths.h"
#include "platform/StreamIdentity.h"
#include "ui/ClientObjects.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

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

} // namespace

int main(int argc, char** argv) {
    using namespace tolvane;
    // Before any thread starts or any sound device opens: readings play as
    // Tolvane's speech, so the desktop can show it and lower music under it.
    platform::announceStreamIdentity({"Tolvane", "tolvane", "speech"});
    // A second start ends at once, quietly, leaving the first alone.
    platform::SingleInstanceLock instance("TolvaneWin32Class");
    if (!instance.acquired()) {
        if (instance.heldElsewhere()) {
            return 0;
        }
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

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tolvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tolvane"));
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
        status = QApplication::exec();
    }
    return status;
}
