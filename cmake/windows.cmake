# The Windows console program: the runtime's own stdio from msvcrt.dll (not
# mingw-w64's replacement), libgcc and libstdc++ linked in so that msvcrt.dll
# and KERNEL32.dll are the only DLLs it needs, and a VERSIONINFO resource.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0)
target_link_options(statconv PRIVATE -static-libgcc -static-libstdc++)
target_sources(statconv PRIVATE driver/version.rc)
