# The cost of the time stamp and of history entries as the history grows.
velora_add_bench(CallRecordsBench SOURCES CallRecordsBench.cpp LIBS velora_callrecords)
