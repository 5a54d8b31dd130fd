# Compiler warnings for every target, and the sanitizer build.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wformat=2)
if(STATCONV_WERROR)
  add_compile_options(-Werror)
endif()
if(STATCONV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
