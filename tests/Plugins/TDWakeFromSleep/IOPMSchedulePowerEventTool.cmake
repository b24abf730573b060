# The helper tool program, driven through the client to the real executable in the plug-in bundle,
# and as two hostile local users meet its set-user-ID copies. Most cases need root; the RTC seam of
# the IOKit stand-in is reached through its private headers.
if(TARGET IOPMSchedulePowerEventToolTemplate)
  wfs_add_test(IOPMSchedulePowerEventToolTests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/IOPMSchedulePowerEventToolTest.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/HostileUserTest.cpp
    LIBS IOPMSchedulePowerEventToolCommands MoreSecurity IOKit Support)
  target_include_directories(IOPMSchedulePowerEventToolTests PRIVATE
    ${PROJECT_SOURCE_DIR}/Platform/IOKit/src)
  add_dependencies(IOPMSchedulePowerEventToolTests IOPMSchedulePowerEventToolTemplate)
  target_compile_definitions(IOPMSchedulePowerEventToolTests PRIVATE
    IOPM_SCHEDULE_POWER_EVENT_TOOL="$<TARGET_FILE:IOPMSchedulePowerEventToolTemplate>"
    MORE_SECURITY_TEST_SCRATCH_DIR="${CMAKE_CURRENT_BINARY_DIR}")
endif()
