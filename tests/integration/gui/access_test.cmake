tolvane_gui_test(access_test SOURCES access_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support)
tolvane_test_depends(access_test tolvane)
