// The entry point of the GUI tests: one QApplication on the offscreen platform
// (unless the caller chose another) for every test of the program, in a home
// of the program's own (see OwnHome): the audio files, the instance lock and
// the file dialogs' remembered folders are its own while other tests run
// beside it, and no run sees what an earlier one left.
#include "tests/support/OwnHome.h"

#include <QApplication>

#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const tolvane::test::OwnHome home;
    int status = 0;
    {
        QApplication app(argc, argv);
        // Tests open and close many windows; closing the last one must not end
        // the event loop of a dialog a later test runs.
        QApplication::setQuitOnLastWindowClosed(false);
        testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}
