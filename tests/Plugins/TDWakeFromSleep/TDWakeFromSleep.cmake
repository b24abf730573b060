# The controller's tests and the plug-in's loading test. Each test program is its own host: it is
# built into <name>.app/Contents/Linux beside an Info.plist that names the host, so that the main
# bundle, and with it the scheduler of the requests and the defaults' domain, is the host's.
function(wfs_add_host_test name)
  wfs_add_test(${name} ${ARGN})
  set(contents ${CMAKE_CURRENT_BINARY_DIR}/${name}.app/Contents)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${contents}/Linux)
  file(CONFIGURE OUTPUT ${contents}/Info.plist @ONLY CONTENT [[<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>org.tidemark.Tidemark</string>
</dict>
</plist>
]])
  # Temporary folders on a file system that honours set-user-ID bits, where /tmp does not.
  target_compile_definitions(${name} PRIVATE WFS_TEST_SCRATCH_DIR="${CMAKE_CURRENT_BINARY_DIR}")
endfunction()

if(TARGET TDWakeFromSleep)
  # The controller linked into the test program, which also carries the helper tool's template in
  # its bundle, as the plug-in's bundle does.
  wfs_add_host_test(TDWakeFromSleepControllerTests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepControllerTest.cpp
    LIBS CoreFoundationShared TDWakeFromSleepObjects IOKit)
  set(template ${CMAKE_CURRENT_BINARY_DIR}/TDWakeFromSleepControllerTests.app/Contents/Linux/IOPMSchedulePowerEventToolTemplate)
  add_custom_command(OUTPUT ${template}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:IOPMSchedulePowerEventToolTemplate> ${template}
    DEPENDS IOPMSchedulePowerEventToolTemplate)
  add_custom_target(TDWakeFromSleepControllerTestsTemplate DEPENDS ${template})
  add_dependencies(TDWakeFromSleepControllerTests TDWakeFromSleepControllerTestsTemplate WfsTestPrivilegedLauncher)
  # The registry of granted rights, seen through the Security library's internal header.
  target_include_directories(TDWakeFromSleepControllerTests PRIVATE ${PROJECT_SOURCE_DIR}/Platform/Security/src)
  target_compile_definitions(TDWakeFromSleepControllerTests PRIVATE
    WFS_TOOL_TEMPLATE="${template}"
    WFS_TEST_PRIVILEGED_LAUNCHER="$<TARGET_FILE:WfsTestPrivilegedLauncher>")

  # The built bundle, loaded through Plinth into a program that has no controller of its own.
  wfs_add_host_test(TDWakeFromSleepPluginTests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepPluginTest.cpp
    LIBS CoreFoundationShared Plinth AppKit IOKit)
  add_dependencies(TDWakeFromSleepPluginTests TDWakeFromSleep IOPMSchedulePowerEventToolTemplate)
  target_compile_definitions(TDWakeFromSleepPluginTests PRIVATE WFS_PLUGIN_BUNDLE="${WFS_BUNDLE_DIR}")
endif()
