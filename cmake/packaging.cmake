# Installation and packages: `cmake --install` puts the three programs (and, off
# Windows, their man pages) in place; `cpack` in the build tree makes a
# Debian package, or a ZIP of the Windows programs in the Windows build.
include(GNUInstallDirs)

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
install(TARGETS statconv statinfo statrevert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  foreach(page statconv.1 statinfo.1 statrevert.1)
    configure_file(man/${page}.in man/${page} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()

set(CPACK_PACKAGE_NAME statconv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "statconv maintainers")
set(CPACK_PACKAGE_CONTACT "statconv maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Upgrades statistics files from version 1 to version 2 in place, inspects and reverts them")
set(CPACK_PACKAGE_DESCRIPTION
    "statconv converts each statistics file into a version 2 copy beside it and swaps the copy
in only once it is complete and on storage, keeping the version 1 file as NAME.old.
statinfo reports what statistics files hold and verifies a conversion record by record.
statrevert puts a converted file back to version 1 when nothing written since would be lost.")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)
