# Documents opened in the desktop client: File > Open and a file dropped on the
# window, against a stand-in speech server; documents the test makes itself.
tolvane_gui_test(open_document_test SOURCES open_document_test.cpp
    LIBS tolvane_say_test_support tolvane_protocol_test_support tolvane_document_maker)
