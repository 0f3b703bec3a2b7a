tolvane_gui_test(client_test SOURCES client_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support LABELS sanitize)
add_dependencies(client_test tolvane)
if(TARGET tolvane-server)
    add_dependencies(client_test tolvane-server)
endif()
