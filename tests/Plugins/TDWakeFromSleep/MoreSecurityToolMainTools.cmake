# The helper tool that the main-routine and request tests run, relay through and repair.
add_executable(MoreSecurityToolMainTool ${CMAKE_CURRENT_SOURCE_DIR}/MoreSecurityToolMainTool.cpp)
target_link_libraries(MoreSecurityToolMainTool PRIVATE MoreSecurity Support)
add_dependencies(MoreSecurityTests MoreSecurityToolMainTool WfsTestPrivilegedLauncher)
target_compile_definitions(MoreSecurityTests PRIVATE
  MORE_SECURITY_TOOL_MAIN_TOOL="$<TARGET_FILE:MoreSecurityToolMainTool>"
  MORE_SECURITY_TEST_LAUNCHER="$<TARGET_FILE:WfsTestPrivilegedLauncher>")
