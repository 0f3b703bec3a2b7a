tolvane_gui_test(mpris_test SOURCES mpris_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support tolvane_speech_heard_test_support
    GTest::gmock AUDIO)
tolvane_test_depends(mpris_test tolvane)
if(TARGET tolvane-server)
    tolvane_test_depends(mpris_test tolvane-server tolvane-play)
endif()
