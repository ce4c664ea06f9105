# Line listener throughput and latency next to a bare loopback echo, and the cost of history
# entries as the history grows.
velora_add_bench(CallRecordsBench SOURCES CallRecordsBench.cpp LIBS velora_callrecords)
