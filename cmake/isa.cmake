# Runtime CPU dispatch: every src/**/*.isa.cpp is compiled once per
# instruction-set level, each time with PELOR_ISA set to the level's name, so
# the file's kernels exist as pelor::isa::<level>::... . The module is built for
# the architecture's baseline and picks a level at run time (never -march=native).
#
# This file is the one list of levels: it writes isa_levels.hpp (the X-macros
# PELOR_ISA_LEVELS and PELOR_ISA_COMMON_LEVELS, narrowest level first) into the
# build tree, from which cpu_features.hpp makes the IsaLevel enumeration and
# engine/cpu/kernel_table.hpp declares and selects each kernel table.
#
# x86-64: baseline, AVX2 (with FMA, F16C, BMI2) and AVX-512 (F, DQ, BW, VL).
# Streaming loops run no faster with 512-bit vectors than with 256-bit ones
# (slower on some processors that split them), so the vectoriser keeps to 256
# bits there; AVX-512 still provides masked tails and the wider conversions.
# avx512_bf16 adds AVX512-BF16 for the one kernel that uses it (the float32 ->
# bfloat16 cast): it compiles only the files listed in PELOR_ISA_SOURCES_<level>,
# and only the tables declared for every level have it.
# Elsewhere (aarch64, whose Armv8-A baseline has Advanced SIMD and the
# binary16 conversions, or any other architecture): the baseline alone, where
# the portable loops are vectorised by the compiler.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(PELOR_ISA_LEVELS baseline avx2 avx512 avx512_bf16)
  set(PELOR_ISA_FLAGS_baseline "")
  set(PELOR_ISA_FLAGS_avx2 -mavx2 -mfma -mf16c -mbmi2)
  set(PELOR_ISA_FLAGS_avx512 -mavx512f -mavx512dq -mavx512bw -mavx512vl ${PELOR_ISA_FLAGS_avx2}
    -mprefer-vector-width=256)
  set(PELOR_ISA_FLAGS_avx512_bf16 ${PELOR_ISA_FLAGS_avx512} -mavx512bf16)
  set(PELOR_ISA_SOURCES_avx512_bf16 src/engine/cpu/numeric/ops/cast_kernels.isa.cpp)
else()
  set(PELOR_ISA_LEVELS baseline)
  set(PELOR_ISA_FLAGS_baseline "")
endif()

file(GLOB_RECURSE PELOR_ISA_SOURCES CONFIGURE_DEPENDS src/*.isa.cpp)

# The X-macros: X(level, ...) for each level, forwarding the extra arguments.
set(PELOR_ISA_LEVELS_XMACRO "")
set(PELOR_ISA_COMMON_LEVELS_XMACRO "")
foreach(level IN LISTS PELOR_ISA_LEVELS)
  string(APPEND PELOR_ISA_LEVELS_XMACRO " X(${level}, __VA_ARGS__)")
  if(NOT DEFINED PELOR_ISA_SOURCES_${level})
    string(APPEND PELOR_ISA_COMMON_LEVELS_XMACRO " X(${level}, __VA_ARGS__)")
  endif()
endforeach()
set(PELOR_ISA_GENERATED_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
configure_file(cmake/isa_levels.hpp.in ${PELOR_ISA_GENERATED_DIR}/isa_levels.hpp @ONLY)
target_include_directories(pelor_core PRIVATE ${PELOR_ISA_GENERATED_DIR})

foreach(level IN LISTS PELOR_ISA_LEVELS)
  if(DEFINED PELOR_ISA_SOURCES_${level})
    list(TRANSFORM PELOR_ISA_SOURCES_${level} PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE _sources)
  else()
    set(_sources ${PELOR_ISA_SOURCES})
  endif()
  if(_sources)
    add_library(pelor_isa_${level} OBJECT ${_sources})
    target_include_directories(pelor_isa_${level} PRIVATE src ${PELOR_ISA_GENERATED_DIR} ${NUMPY_INCLUDE_DIR})
    target_include_directories(pelor_isa_${level} SYSTEM PRIVATE ${Python_INCLUDE_DIRS})
    target_compile_definitions(pelor_isa_${level} PRIVATE PELOR_ISA=${level})
    target_link_libraries(pelor_isa_${level} PRIVATE pelor_build_flags)
    target_compile_options(pelor_isa_${level} PRIVATE ${PELOR_ISA_FLAGS_${level}})
    target_sources(pelor_core PRIVATE $<TARGET_OBJECTS:pelor_isa_${level}>)
  endif()
endforeach()
