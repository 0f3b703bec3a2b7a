tolvane_gui_test(client_audio_test SOURCES client_audio_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support tolvane_speech_heard_test_support
    AUDIO)
if(TARGET tolvane-server)
    tolvane_test_depends(client_audio_test tolvane-server tolvane-play)
endif()
