# MoreCFQ's tests. The framework-loading test lays out the Core Foundation tests' bundle library
# as Test.framework/Contents/Linux/Test.
wfs_add_test(MoreCFQTests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQTest.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/MoreCFQPathsTest.cpp
  LIBS MoreCFQ)
target_compile_definitions(MoreCFQTests PRIVATE
  MORECFQ_TEST_FRAMEWORK_LIBRARY="$<TARGET_FILE:CFBundleTestPlugin>")
add_dependencies(MoreCFQTests CFBundleTestPlugin)
