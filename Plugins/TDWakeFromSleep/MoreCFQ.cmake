# MoreCFQ: Core Foundation helper routines and dictionary path access.
add_library(MoreCFQ
  ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQ.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQPaths.cpp)
target_include_directories(MoreCFQ PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(MoreCFQ PUBLIC CoreFoundation CoreServices Support)
set_target_properties(MoreCFQ PROPERTIES POSITION_INDEPENDENT_CODE ON)
