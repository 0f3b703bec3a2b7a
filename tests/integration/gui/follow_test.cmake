tolvane_gui_test(follow_test SOURCES follow_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support tolvane_timed_speech_test_support
    AUDIO)
