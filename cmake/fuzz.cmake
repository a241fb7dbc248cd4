# Fuzz build: QUORVANE_FUZZ compiles everything for libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang only). Every object gets the coverage hooks
# (fuzzer-no-link); only the fuzz targets in tests/fuzz link the libFuzzer main.
if(NOT QUORVANE_FUZZ)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "QUORVANE_FUZZ needs clang (for example -DCMAKE_CXX_COMPILER=clang++)")
endif()
if(QUORVANE_ASAN OR QUORVANE_TSAN)
  message(FATAL_ERROR "QUORVANE_FUZZ brings its own sanitizers: leave QUORVANE_ASAN and QUORVANE_TSAN off")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
