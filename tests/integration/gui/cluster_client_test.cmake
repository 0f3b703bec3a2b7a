# The desktop client through nginx in front of two web nodes and two workers
# on one redis-server.
tolvane_gui_test(cluster_client_test SOURCES cluster_client_test.cpp
    LIBS tolvane_cluster_test_support tolvane_say_test_support tolvane_speech_heard_test_support
    AUDIO)
if(TARGET tolvane-server)
    tolvane_test_depends(cluster_client_test tolvane-server tolvane-play)
endif()
