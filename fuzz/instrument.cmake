# Instruments every library of the build for libFuzzer (coverage only; the fuzzer's main is linked
# into the fuzz/ programs alone) under ASan+UBSan. Included before any target is defined.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "GT_FUZZ needs clang (e.g. CC=clang-14 CXX=clang++-14)")
endif()
if(NOT GT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-fsanitize=fuzzer-no-link)
