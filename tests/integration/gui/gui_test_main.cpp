// The entry point of the GUI tests: one QApplication on the offscreen platform
// (unless the caller chose another) for every test of the program.
#include <QApplication>

#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // Tests open and close many windows; closing the last one must not end
    // the event loop of a dialog a later test runs.
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
