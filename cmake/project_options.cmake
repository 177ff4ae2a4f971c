# One place for the warning set and the floating-point rules every target shares.
# The converter's output is defined to the bit, so no fast-math, no contraction
# of a*b+c into fused multiply-adds, and no host-specific instruction sets.
# One exception, chosen at run time: converter/fft_stages_avx_fma.cpp is built
# for AVX and FMA and writes its fused multiply-adds by hand, only where the
# product is exact in double so the result has the same bits (that file says
# why); the compiler still contracts nothing there.
function(velmora_target_options target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow
    -ffp-contract=off -fno-fast-math)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Task objects keep the fields their constructor leaves unset from the
    # node's previous task; GCC must not treat those stores as dead.
    target_compile_options(${target} PRIVATE -fno-lifetime-dse)
  endif()
  if(VELMORA_SANITIZE OR VELMORA_FUZZ)
    # Undefined behaviour stops the program, so a test cannot pass over it.
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/sanitizer_defaults.cpp)
    endif()
  endif()
  if(VELMORA_FUZZ)
    # Coverage for the fuzzer in every library it drives.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()
