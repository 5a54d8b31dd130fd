# Installation and packages: `cmake --install` puts the three programs and,
# off Windows, their man pages (gzip -9n) in place; `cpack` in the build tree
# makes a Debian package with the copyright file and changelog Debian asks
# for, or, in the Windows build, a ZIP for the operator: one folder holding
# the programs, a README of its own, the man pages rendered as text with the
# Windows commands, and the licence.
include(GNUInstallDirs)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  # The ZIP's one folder, which the README names.
  set(CPACK_PACKAGE_FILE_NAME statconv-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  set(program_destination .)
else()
  set(program_destination ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS statconv statinfo statrevert RUNTIME DESTINATION ${program_destination})
set(CPACK_PACKAGE_CONTACT "statconv maintainers <statconv@example.org>")
set(CPACK_STRIP_FILES ON)

# The release's date, for the man pages and the package's changelog:
# SOURCE_DATE_EPOCH where it is set, else the time of the last commit, else
# the time of configuring.
set(release_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT release_epoch)
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
  endif()
endif()
string(TIMESTAMP STATCONV_MAN_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP STATCONV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(NOT release_epoch)
  unset(ENV{SOURCE_DATE_EPOCH})
endif()

set(pages statconv statinfo statrevert)
foreach(page ${pages})
  configure_file(man/${page}.1.in man/${page}.1 @ONLY)
endforeach()

if(NOT WIN32)
  # The copyright file in Debian's machine-readable form, with the licence's
  # terms; the changelog; and both man pages and changelog compressed as
  # Debian has them: gzip -9n, with no name or time stamp inside.
  file(READ LICENSE licence)
  string(FIND "${licence}" "Permission" terms_start)
  string(SUBSTRING "${licence}" ${terms_start} -1 terms)
  string(STRIP "${terms}" terms)
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " STATCONV_LICENSE_TERMS " ${terms}")
  configure_file(packaging/copyright.in doc/copyright @ONLY)
  configure_file(packaging/changelog.in doc/changelog @ONLY)
  foreach(file man/statconv.1 man/statinfo.1 man/statrevert.1 doc/changelog)
    execute_process(COMMAND gzip -9nc ${file} WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/${file}.gz COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  list(TRANSFORM pages REPLACE "(.+)" "${PROJECT_BINARY_DIR}/man/\\1.1.gz")
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  # Text a Windows operator can open in Notepad: the man pages rendered as
  # plain ASCII with the Windows commands and paths (the number register W),
  # without bold or underlining or hyphenation; the operator's README; and
  # the licence; each with CR LF line ends (package_test.py checks them all).
  find_program(STATCONV_GROFF groff REQUIRED)
  foreach(page ${pages})
    execute_process(COMMAND ${STATCONV_GROFF} -man -Tascii -P-bcu -rHY=0 -rW=1 man/${page}.1
                    WORKING_DIRECTORY ${PROJECT_BINARY_DIR} OUTPUT_VARIABLE text
                    COMMAND_ERROR_IS_FATAL ANY)
    file(WRITE ${PROJECT_BINARY_DIR}/doc/${page}.txt "${text}")
  endforeach()
  configure_file(packaging/README-windows.txt doc/README.txt @ONLY)
  configure_file(LICENSE doc/LICENSE.txt COPYONLY)
  set(texts statconv.txt statinfo.txt statrevert.txt README.txt LICENSE.txt)
  list(TRANSFORM texts PREPEND ${PROJECT_BINARY_DIR}/doc/)
  foreach(text ${texts})
    file(READ ${text} content)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${text} "${content}")
  endforeach()
  install(FILES ${texts} DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME statconv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${STATCONV_COPYRIGHT_HOLDER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "upgrade statistics files from version 1 to version 2 in place")
set(CPACK_PACKAGE_DESCRIPTION
    "statconv converts each statistics file into a version 2 copy beside it,
and swaps the copy in only once it is complete and on storage, keeping the
version 1 file as NAME.old. statinfo reports what statistics files hold and
verifies a conversion record by record. statrevert puts a converted file
back to version 1 when nothing written to it since would be lost.")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)
