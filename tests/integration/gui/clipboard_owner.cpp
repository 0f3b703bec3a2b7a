// A clipboard owner for the tests, on the X server DISPLAY names: takes the
// clipboard with its first argument and the primary selection with its second
// (when given), says "owned" on standard output once both are its own, and
// holds them until it is ended.
#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>

#include <iostream>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList texts = QGuiApplication::arguments().mid(1);
    if (texts.isEmpty() || texts.size() > 2) {
        std::cerr << "usage: clipboard_owner CLIPBOARD [SELECTION]\n";
        return 2;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(texts[0], QClipboard::Clipboard);
    if (texts.size() == 2) {
        clipboard->setText(texts[1], QClipboard::Selection);
    }
    QTimer::singleShot(0, [&] {
        if (!clipboard->ownsClipboard() || (texts.size() == 2 && !clipboard->ownsSelection())) {
            std::cerr << "clipboard_owner: the X server did not give the clipboard\n";
            QCoreApplication::exit(1);
            return;
        }
        std::cout << "owned" << std::endl;
    });
    return QGuiApplication::exec();
}
