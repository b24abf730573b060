# MoreSecurity's tests: one test file per source file, all in one binary.
file(GLOB more_security_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/MoreSecurity*Test.cpp)
wfs_add_test(MoreSecurityTests SOURCES ${more_security_tests} LIBS MoreSecurity Support)
