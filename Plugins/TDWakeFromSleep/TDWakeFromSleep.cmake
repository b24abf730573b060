# The plug-in itself: the controller, its lifecycle extension and the preference pane, built as the
# bundle's library, the pane's resources, and the bundle's Info.plist, which names that library and
# the extension classes to create:
#   ${WFS_BUNDLE_DIR}/Contents/Info.plist
#   ${WFS_BUNDLE_DIR}/Contents/Linux/libTDWakeFromSleep.so
#   ${WFS_BUNDLE_DIR}/Contents/Resources/TDWakeFromSleepPreferencePane.{ui,svg}
#   ${WFS_BUNDLE_DIR}/Contents/Resources/locale/<language>/LC_MESSAGES/org.tidemark.wakefromsleep.mo

# The plug-in's objects, shared by its library and the controller's tests, which link them into a
# test program of their own. An object library, so that the extension's registrar, which no code
# refers to, is never dropped by the linker as an unused archive member would be.
add_library(TDWakeFromSleepObjects OBJECT
  ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepController.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepControllerTool.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepLifeCycleExtension.cpp)
target_include_directories(TDWakeFromSleepObjects PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
# Core Foundation first: see Platform/CMakeLists.txt.
target_link_libraries(TDWakeFromSleepObjects PUBLIC CoreFoundationShared Plinth AppKit Foundation
                                                    MoreSecurity MoreUNIX Security CoreServices Support)
set_target_properties(TDWakeFromSleepObjects PROPERTIES POSITION_INDEPENDENT_CODE ON)
# MoreSecurity goes into the plug-in's shared library with the rest.
set_target_properties(MoreSecurity PROPERTIES POSITION_INDEPENDENT_CODE ON)

# The preference pane: the widgets. Objects of their own, so that the controller's objects, and the
# tests that link them, stay free of widgets.
add_library(TDWakeFromSleepPaneObjects OBJECT
  ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepPreferencePaneExtension.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/TDWakeFromSleepPreferencePaneStatus.cpp)
target_link_libraries(TDWakeFromSleepPaneObjects PUBLIC TDWakeFromSleepObjects PlinthAppKit SecurityInterface
                                                        AppKitWidgets IOKit)
set_target_properties(TDWakeFromSleepPaneObjects PROPERTIES POSITION_INDEPENDENT_CODE ON)

add_library(TDWakeFromSleep SHARED)
target_link_libraries(TDWakeFromSleep PRIVATE CoreFoundationShared TDWakeFromSleepObjects TDWakeFromSleepPaneObjects)
set_target_properties(TDWakeFromSleep PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${WFS_BUNDLE_DIR}/Contents/Linux)
# A symbol the library lacks would otherwise show only when the host loads it.
target_link_options(TDWakeFromSleep PRIVATE -Wl,--no-undefined)
wfs_link_core_foundation_first(TDWakeFromSleep)

set(WFS_BUNDLE_IDENTIFIER "org.tidemark.wakefromsleep")
set(WFS_BUNDLE_NAME "TDWakeFromSleep")
set(WFS_BUNDLE_EXECUTABLE "libTDWakeFromSleep.so")
set(WFS_BUNDLE_VERSION "1.0")
set(WFS_BUNDLE_EXTENSION_CLASSES TDWakeFromSleepLifeCycleExtension TDWakeFromSleepPreferencePaneExtension)
list(TRANSFORM WFS_BUNDLE_EXTENSION_CLASSES REPLACE "(.+)" "\t\t<string>\\1</string>"
     OUTPUT_VARIABLE WFS_BUNDLE_EXTENSION_CLASS_LINES)
list(JOIN WFS_BUNDLE_EXTENSION_CLASS_LINES "\n" WFS_BUNDLE_EXTENSION_CLASS_LINES)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/Info.plist.in ${WFS_BUNDLE_DIR}/Contents/Info.plist @ONLY)

# Lays the pane's resources into the bundle folder `contents` (its Contents): the nib, the image and
# the translations, compiled for the bundle identifier `identifier`, under which NSBundle looks
# them up. Tests lay them into their own program's bundle the same way.
find_program(MSGFMT msgfmt REQUIRED)
function(wfs_add_pane_resources target contents identifier)
  set(WFS_PANE_RESOURCES_DIR ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Resources)
  set(resources ${contents}/Resources)
  set(outputs ${resources}/TDWakeFromSleepPreferencePane.ui ${resources}/TDWakeFromSleepPreferencePane.svg)
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${resources}
    COMMAND ${CMAKE_COMMAND} -E copy ${WFS_PANE_RESOURCES_DIR}/TDWakeFromSleepPreferencePane.ui
                                     ${WFS_PANE_RESOURCES_DIR}/TDWakeFromSleepPreferencePane.svg ${resources}
    DEPENDS ${WFS_PANE_RESOURCES_DIR}/TDWakeFromSleepPreferencePane.ui ${WFS_PANE_RESOURCES_DIR}/TDWakeFromSleepPreferencePane.svg)
  file(GLOB catalogues CONFIGURE_DEPENDS ${WFS_PANE_RESOURCES_DIR}/po/*.po)
  foreach(po ${catalogues})
    get_filename_component(language ${po} NAME_WE)
    set(mo ${resources}/locale/${language}/LC_MESSAGES/${identifier}.mo)
    add_custom_command(OUTPUT ${mo}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${resources}/locale/${language}/LC_MESSAGES
      COMMAND ${MSGFMT} --check -o ${mo} ${po}
      DEPENDS ${po})
    list(APPEND outputs ${mo})
  endforeach()
  add_custom_target(${target} DEPENDS ${outputs})
endfunction()

wfs_add_pane_resources(TDWakeFromSleepResources ${WFS_BUNDLE_DIR}/Contents ${WFS_BUNDLE_IDENTIFIER})
add_dependencies(TDWakeFromSleep TDWakeFromSleepResources)

# The polkit action that opens the pane's lock.
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/org.tidemark.wakefromsleep.policy
        DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
