tolvane_gui_test(client_test SOURCES client_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support LABELS sanitize threads)
tolvane_test_depends(client_test tolvane)
if(TARGET tolvane-server)
    tolvane_test_depends(client_test tolvane-server)
endif()
