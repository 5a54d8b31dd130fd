# The Windows console programs: the runtime's own stdio from msvcrt.dll (not
# mingw-w64's replacement), libgcc and libstdc++ linked in so that msvcrt.dll
# and KERNEL32.dll are the only DLLs they need, and a VERSIONINFO resource.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0)
foreach(program statconv statinfo statrevert)
  target_link_options(${program} PRIVATE -static-libgcc -static-libstdc++)
  target_sources(${program} PRIVATE driver/${program}.rc)
endforeach()
