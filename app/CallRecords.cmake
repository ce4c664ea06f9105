# The call-record pieces the window uses: the record split, the history with its key index,
# and the local line listener.
add_library(velora_callrecords STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CallRecord.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CallRecord.h
    ${CMAKE_CURRENT_LIST_DIR}/CallHistory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CallHistory.h
    ${CMAKE_CURRENT_LIST_DIR}/LineListener.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LineListener.h)
set_target_properties(velora_callrecords PROPERTIES AUTOMOC ON)
target_include_directories(velora_callrecords PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velora_callrecords PUBLIC Qt6::Core Threads::Threads)
# Reading and writing the history file (and other text files of the program), Qt Core only.
add_library(velora_textfile STATIC
    ${CMAKE_CURRENT_LIST_DIR}/TextFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextFile.h)
target_include_directories(velora_textfile PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velora_textfile PUBLIC Qt6::Core)
