# Installation and packages. `cmake --install` lays out a Unix tree (for the
# Windows build: one flat folder), and CPack packs the same rules into a .deb
# (Linux) or a .zip (Windows). The version is project()'s.
include(GNUInstallDirs)

set(VEXLO_SUMMARY "find and extract PlayStation TIM textures in any file")
set(VEXLO_DESCRIPTION
    "Vexlo finds TIM images, the PlayStation's texture format, embedded at any
byte offset of a file or of every file in a directory tree: disc images,
archives, game packs. It reports each one and writes it out as a raw .tim
copy and as a picture (.bmp, .png). It takes no arguments: vexlo.cfg in the
current directory sets everything.")

set(VEXLO_MAINTAINER "Vexlo developers <vexlo@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

# The pages the README links to, shipped beside it so that its links hold.
file(GLOB VEXLO_DOC_PAGES RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
     CONFIGURE_DEPENDS doc/*.md)

if(WIN32)
  # One folder to unpack and double-click in: the exe beside the example it
  # runs on, an empty out\ for the example's output, the licence and the
  # documentation. Text files get CRLF line ends so that every Windows editor
  # shows their lines.
  set(crlf_dir ${CMAKE_CURRENT_BINARY_DIR}/crlf)
  set(crlf_files)
  set(crlf_docs)
  set(crlf_pages)
  foreach(page IN LISTS VEXLO_DOC_PAGES)
    list(APPEND crlf_pages "${page}:${page}")
  endforeach()
  foreach(pair IN ITEMS "README.md:README.txt" "LICENSE:LICENSE.txt"
                        "examples/vexlo.cfg:vexlo.cfg"
                        "examples/SOURCES.md:SOURCES.txt"
                        "tests/data/real/SOURCES.md:TIM-SOURCES.txt"
                        ${crlf_pages})
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${crlf_dir}/${to} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${PROJECT_SOURCE_DIR}/${from})
    if(to MATCHES "^doc/")
      list(APPEND crlf_docs ${crlf_dir}/${to})
    else()
      list(APPEND crlf_files ${crlf_dir}/${to})
    endif()
  endforeach()
  install(TARGETS vexlo RUNTIME DESTINATION .)
  install(FILES ${crlf_files} examples/sample.bin DESTINATION .)
  install(FILES ${crlf_docs} DESTINATION doc)
  install(DIRECTORY DESTINATION out)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vexlo-${PROJECT_VERSION}-win64)
else()
  install(TARGETS vexlo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/vexlo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # doc/copyright holds the MIT licence text as Debian wants it, so LICENSE
  # itself is not installed twice.
  install(FILES README.md doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${VEXLO_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)
  install(FILES examples/vexlo.cfg examples/sample.bin examples/SOURCES.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # The licence notes of the real TIMs inside sample.bin.
  install(FILES tests/data/real/SOURCES.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples RENAME TIM-SOURCES.md)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies as dpkg-shlibdeps finds them in the binary (package
  # dpkg-dev), so every library linked later shows up by itself.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian wants a changelog, and it and the manual page gzipped
  # (cmake/deb_gzip.cmake); `cmake --install` keeps vexlo.1 as it is.
  configure_file(doc/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
  set(CPACK_VEXLO_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog)
  set(CPACK_VEXLO_MANDIR ${CMAKE_INSTALL_MANDIR})
  set(CPACK_VEXLO_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_gzip.cmake)
endif()

set(CPACK_PACKAGE_NAME vexlo)
set(CPACK_PACKAGE_VENDOR "Vexlo developers")
set(CPACK_PACKAGE_CONTACT "${VEXLO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${VEXLO_SUMMARY}")
set(CPACK_PACKAGE_DESCRIPTION "${VEXLO_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
# `cpack --config CPackSourceConfig.cmake`: the sources without build trees.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/[.]git/" "/[.]git$" "/build[^/]*/" "/examples/out/")
include(CPack)
