// The entry point of the GUI tests: one QApplication on the offscreen platform
// (unless the caller chose another) for every test of the program, and a
// runtime folder of the program's own, so the audio files and the instance
// lock it checks are its own while other tests run beside it.
#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::string runtime = (std::filesystem::temp_directory_path() / "tolvane-gui-XXXXXX").string();
    if (mkdtemp(runtime.data()) != nullptr) {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    int status = 0;
    {
        QApplication app(argc, argv);
        // Tests open and close many windows; closing the last one must not end
        // the event loop of a dialog a later test runs.
        QApplication::setQuitOnLastWindowClosed(false);
        testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    std::error_code ec;
    std::filesystem::remove_all(runtime, ec);
    return status;
}
