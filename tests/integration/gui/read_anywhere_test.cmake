# `tolvane --read…` and a second start against the running client, on a session
# bus and an X server (Xvfb) of the test's own; TagLib reads back what the
# server spoke.
pkg_check_modules(GUI_TEST_TAGLIB REQUIRED IMPORTED_TARGET taglib)
tolvane_gui_test(read_anywhere_test SOURCES read_anywhere_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support PkgConfig::GUI_TEST_TAGLIB
    GTest::gmock AUDIO)
if(TARGET read_anywhere_test)
    add_executable(clipboard_owner clipboard_owner.cpp)
    target_link_libraries(clipboard_owner PRIVATE Qt6::Gui)
    tolvane_test_depends(read_anywhere_test tolvane clipboard_owner)
    if(TARGET tolvane-server)
        tolvane_test_depends(read_anywhere_test tolvane-server)
    endif()
endif()
