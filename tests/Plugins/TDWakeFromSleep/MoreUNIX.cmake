# MoreUNIX's tests: exact I/O, descriptor passing, copies, and the executable's path.
wfs_add_test(MoreUNIXTests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MoreUNIXTest.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/MoreUNIXExecutablePathTest.cpp
  LIBS MoreUNIX Support)
