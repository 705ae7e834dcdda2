# Runtime CPU dispatch: every src/**/*.isa.cpp is compiled once per
# instruction-set level, each time with PELOR_ISA set to a namespace name, so
# the file's kernels exist as pelor::isa::<level>::... . The module is built for
# baseline x86-64 and picks a level at run time (never -march=native).
set(PELOR_ISA_LEVELS baseline avx2 avx512)
set(PELOR_ISA_FLAGS_baseline "")
set(PELOR_ISA_FLAGS_avx2 -mavx2 -mfma -mf16c -mbmi2)
set(PELOR_ISA_FLAGS_avx512 -mavx512f -mavx512dq -mavx512bw -mavx512vl -mavx512bf16 -mavx2 -mfma -mf16c -mbmi2)

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
