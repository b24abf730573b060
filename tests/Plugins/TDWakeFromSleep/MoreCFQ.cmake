# The shared library that the framework-loading test lays out as Test.framework/Contents/Linux/Test.
add_library(MoreCFQTestFramework SHARED ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQTestFramework.cpp)

wfs_add_test(MoreCFQTests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQTest.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQPathsTest.cpp
  LIBS MoreCFQ)
target_compile_definitions(MoreCFQTests PRIVATE
  MORECFQ_TEST_FRAMEWORK_LIBRARY="$<TARGET_FILE:MoreCFQTestFramework>")
add_dependencies(MoreCFQTests MoreCFQTestFramework)
