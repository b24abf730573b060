# MoreSecurity: one public header, implementation split by subject into MoreSecurity*.cpp.
file(GLOB more_security_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/MoreSecurity*.cpp)
add_library(MoreSecurity ${more_security_sources})
target_include_directories(MoreSecurity PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(MoreSecurity PUBLIC MoreUNIX MoreCFQ CoreFoundation CoreServices Security
                                   PRIVATE Support)
