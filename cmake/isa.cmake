# Runtime CPU dispatch: every src/**/*.isa.cpp is compiled once per
# instruction-set level, each time with PELOR_ISA set to a namespace name, so
# the file's kernels exist as pelor::isa::<level>::... . The module is built for
# the architecture's baseline and picks a level at run time (never -march=native);
# src/engine/cpu/cpu_features.hpp lists the same levels.
#
# x86-64: baseline, AVX2 (with FMA, F16C, BMI2) and AVX-512. Streaming loops
# run no faster with 512-bit vectors than with 256-bit ones (slower on some
# processors that split them), so the vectoriser keeps to 256 bits there;
# AVX-512 still provides masked tails and the wider conversions.
# Elsewhere (aarch64, whose Armv8-A baseline has Advanced SIMD and the
# binary16 conversions, or any other architecture): the baseline alone, where
# the portable loops are vectorised by the compiler.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(PELOR_ISA_LEVELS baseline avx2 avx512)
  set(PELOR_ISA_FLAGS_baseline "")
  set(PELOR_ISA_FLAGS_avx2 -mavx2 -mfma -mf16c -mbmi2)
  set(PELOR_ISA_FLAGS_avx512 -mavx512f -mavx512dq -mavx512bw -mavx512vl -mavx512bf16 -mavx2 -mfma -mf16c -mbmi2
    -mprefer-vector-width=256)
  # The dispatch in the plain sources (and tests/cpp) selects among the same levels.
  add_compile_definitions(PELOR_ISA_X86_64)
else()
  set(PELOR_ISA_LEVELS baseline)
  set(PELOR_ISA_FLAGS_baseline "")
endif()

file(GLOB_RECURSE PELOR_ISA_SOURCES CONFIGURE_DEPENDS src/*.isa.cpp)
foreach(level IN LISTS PELOR_ISA_LEVELS)
  if(PELOR_ISA_SOURCES)
    add_library(pelor_isa_${level} OBJECT ${PELOR_ISA_SOURCES})
    target_include_directories(pelor_isa_${level} PRIVATE src ${NUMPY_INCLUDE_DIR})
    target_include_directories(pelor_isa_${level} SYSTEM PRIVATE ${Python_INCLUDE_DIRS})
    target_compile_definitions(pelor_isa_${level} PRIVATE PELOR_ISA=${level})
    target_compile_options(pelor_isa_${level} PRIVATE -Wall -Wextra -ffp-contract=off -fno-math-errno
      -fvisibility=hidden -fvisibility-inlines-hidden ${PELOR_ISA_FLAGS_${level}})
    target_compile_options(pelor_isa_${level} PRIVATE ${PELOR_SANITIZER_COMPILE_FLAGS})
    target_sources(pelor_core PRIVATE $<TARGET_OBJECTS:pelor_isa_${level}>)
  endif()
endforeach()
