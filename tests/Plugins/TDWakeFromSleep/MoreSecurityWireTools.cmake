# The stand-in helper tool that the request tests start as a real child process.
add_executable(MoreSecurityWireTool ${CMAKE_CURRENT_SOURCE_DIR}/MoreSecurityWireTool.cpp)
target_link_libraries(MoreSecurityWireTool PRIVATE MoreSecurity Support)
add_dependencies(MoreSecurityTests MoreSecurityWireTool)
target_compile_definitions(MoreSecurityTests PRIVATE
  MORE_SECURITY_WIRE_TOOL="$<TARGET_FILE:MoreSecurityWireTool>")
