# The preference pane's tests. The program is its own host, like the controller's tests: its
# bundle (TDWakeFromSleepPaneTests.app) carries the pane's resources and the helper tool's template,
# so that the pane and the controller linked into it find them as they do in the plug-in's bundle.
# One QApplication runs offscreen (the host tests' main); polkit is python3-dbusmock's on a private
# system bus.
if(TARGET TDWakeFromSleep)
  wfs_add_host_test(TDWakeFromSleepPaneTests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepPreferencePaneTest.cpp ${PROJECT_SOURCE_DIR}/tests/Support/QtTestMain.cpp
    LIBS CoreFoundationShared TDWakeFromSleepObjects TDWakeFromSleepPaneObjects IOKit WfsTestBuses)
  wfs_link_core_foundation_first(TDWakeFromSleepPaneTests)
  set(contents ${CMAKE_CURRENT_BINARY_DIR}/TDWakeFromSleepPaneTests.app/Contents)
  wfs_add_pane_resources(TDWakeFromSleepPaneTestsResources ${contents} org.tidemark.Tidemark)
  add_custom_command(OUTPUT ${contents}/Linux/IOPMSchedulePowerEventToolTemplate
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:IOPMSchedulePowerEventToolTemplate> ${contents}/Linux/IOPMSchedulePowerEventToolTemplate
    DEPENDS IOPMSchedulePowerEventToolTemplate)
  add_custom_target(TDWakeFromSleepPaneTestsTemplate DEPENDS ${contents}/Linux/IOPMSchedulePowerEventToolTemplate)
  add_dependencies(TDWakeFromSleepPaneTests TDWakeFromSleepPaneTestsResources TDWakeFromSleepPaneTestsTemplate
                   WfsTestPrivilegedLauncher)
  # The registry of granted rights, seen through the Security library's internal header.
  target_include_directories(TDWakeFromSleepPaneTests PRIVATE ${PROJECT_SOURCE_DIR}/Platform/Security/src)
  target_compile_definitions(TDWakeFromSleepPaneTests PRIVATE WFS_TEST_WIDGETS
    WFS_TEST_PRIVILEGED_LAUNCHER="$<TARGET_FILE:WfsTestPrivilegedLauncher>")
endif()

# The widgets stay in the plug-in's library: the controller's tests and the shared stand-ins it
# links need no Qt at all.
if(TARGET TDWakeFromSleepControllerTests)
  add_test(NAME Layering.TheControllerAndItsLibrariesLinkNoQt
    COMMAND sh -c "for f in \"$@\"; do if readelf -d \"$f\" | grep -q 'NEEDED.*libQt6'; then echo \"$f needs Qt\"; exit 1; fi; done" sh
            $<TARGET_FILE:TDWakeFromSleepControllerTests> $<TARGET_FILE:CoreFoundationShared> $<TARGET_FILE:Foundation>
            $<TARGET_FILE:AppKit> $<TARGET_FILE:Plinth>)
endif()
