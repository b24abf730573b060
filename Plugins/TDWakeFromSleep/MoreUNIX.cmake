# MoreUNIX: exact I/O, descriptor passing, copies, SIGPIPE and the executable's path.
add_library(MoreUNIX ${CMAKE_CURRENT_SOURCE_DIR}/MoreUNIX.cpp
                     ${CMAKE_CURRENT_SOURCE_DIR}/MoreUNIXExecutablePath.cpp)
target_include_directories(MoreUNIX PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(MoreUNIX PUBLIC Support)
set_target_properties(MoreUNIX PROPERTIES POSITION_INDEPENDENT_CODE ON)
