# The plug-in itself: the controller and its lifecycle extension, built as the bundle's library,
# and the bundle's Info.plist, which names that library and the extension classes to create:
#   ${WFS_BUNDLE_DIR}/Contents/Info.plist
#   ${WFS_BUNDLE_DIR}/Contents/Linux/libTDWakeFromSleep.so

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

add_library(TDWakeFromSleep SHARED)
target_link_libraries(TDWakeFromSleep PRIVATE CoreFoundationShared TDWakeFromSleepObjects)
set_target_properties(TDWakeFromSleep PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${WFS_BUNDLE_DIR}/Contents/Linux)

set(WFS_BUNDLE_IDENTIFIER "org.tidemark.wakefromsleep")
set(WFS_BUNDLE_NAME "TDWakeFromSleep")
set(WFS_BUNDLE_EXECUTABLE "libTDWakeFromSleep.so")
set(WFS_BUNDLE_VERSION "1.0")
# The preference pane's class is listed before its code exists: the loader logs the missing class
# and creates the lifecycle extension regardless.
set(WFS_BUNDLE_EXTENSION_CLASSES TDWakeFromSleepLifeCycleExtension TDWakeFromSleepPreferencePaneExtension)
list(TRANSFORM WFS_BUNDLE_EXTENSION_CLASSES REPLACE "(.+)" "\t\t<string>\\1</string>"
     OUTPUT_VARIABLE WFS_BUNDLE_EXTENSION_CLASS_LINES)
list(JOIN WFS_BUNDLE_EXTENSION_CLASS_LINES "\n" WFS_BUNDLE_EXTENSION_CLASS_LINES)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/Info.plist.in ${WFS_BUNDLE_DIR}/Contents/Info.plist @ONLY)
