# The Windows console programs: the runtime's own stdio from msvcrt.dll (not
# mingw-w64's replacement), libgcc and libstdc++ linked in so that msvcrt.dll
# and KERNEL32.dll are the only DLLs they need, a VERSIONINFO resource and an
# application manifest (driver/manifest.rc).
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0)
foreach(program statconv statinfo statrevert)
  target_link_options(${program} PRIVATE -static-libgcc -static-libstdc++)
  target_sources(${program} PRIVATE driver/${program}.rc)
  set_source_files_properties(driver/${program}.rc PROPERTIES OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/driver/version_info.rc;${PROJECT_SOURCE_DIR}/driver/manifest.rc;\
${PROJECT_SOURCE_DIR}/driver/program.manifest")
endforeach()
