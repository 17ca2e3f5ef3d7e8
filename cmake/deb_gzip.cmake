# CPack pre-build script for the .deb: Debian wants manual pages and the
# changelog compressed with `gzip -9n` (no name, no time stamp), so that the
# package's bytes do not depend on when it was built.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(VEXLO_GZIP gzip REQUIRED)
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})

file(GLOB pages ${root}/${CPACK_VEXLO_MANDIR}/man*/*)
file(COPY ${CPACK_VEXLO_CHANGELOG} DESTINATION ${root}/${CPACK_VEXLO_DOCDIR})
foreach(f IN LISTS pages ITEMS ${root}/${CPACK_VEXLO_DOCDIR}/changelog)
  execute_process(COMMAND ${VEXLO_GZIP} -9nf ${f} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
