# Tests of the call-record pieces: the split, the history and the line listener.
velora_add_test(CallRecordTest SOURCES CallRecordTest.cpp LIBS velora_callrecords)
velora_add_test(CallHistoryTest SOURCES CallHistoryTest.cpp LIBS velora_callrecords)
velora_add_test(LineListenerTest SOURCES LineListenerTest.cpp LIBS velora_callrecords
    LABELS threads)
