# Makes the package of the build tree BUILD in OUTPUT (emptied first) with the tree's CPack
# configuration, as scripts/package does, except that it is compressed with gzip rather than xz
# (a sanitized tree is large) and not stripped (so that a sanitizer's report keeps its symbols).
file(REMOVE_RECURSE ${OUTPUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${OUTPUT}
                        -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip -D CPACK_STRIP_FILES=OFF
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()
file(GLOB packages ${OUTPUT}/tidemark_*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} packages named tidemark_*.deb:\n${output}")
endif()
message(STATUS "built ${packages}")
