# The one place for the flags every compiled part of the project shares: the
# module, each instruction-set level's kernel objects and the test programs
# link the interface target pelor_build_flags and get
# - the warnings (-Wall -Wextra), errors in the project's own builds;
# - exact IEEE arithmetic: no contraction into FMA, no fast-math, and no errno
#   from the math functions (which never report through it here);
# - hidden visibility (the module exports PyInit_pelor_core alone,
#   cmake/exports.map);
# - the sanitizer of a sanitized build.
#
# Warnings are errors by default in the project's builds (PELOR_PROJECT_BUILD:
# make, CI) and not in a package build (pip install, scikit-build-core): a
# user's newer compiler may warn about something new, which must not stop the
# install. -DPELOR_WARNINGS_AS_ERRORS=ON/OFF overrides either default.
option(PELOR_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ${PELOR_PROJECT_BUILD})

option(PELOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(PELOR_TSAN "Build with ThreadSanitizer" OFF)
if(PELOR_SANITIZE AND PELOR_TSAN)
  message(FATAL_ERROR "PELOR_TSAN and PELOR_SANITIZE cannot be combined")
endif()

add_library(pelor_build_flags INTERFACE)
target_compile_options(pelor_build_flags INTERFACE
  -Wall -Wextra $<$<BOOL:${PELOR_WARNINGS_AS_ERRORS}>:-Werror>
  -ffp-contract=off -fno-math-errno
  -fvisibility=hidden -fvisibility-inlines-hidden)
if(PELOR_SANITIZE)
  target_compile_options(pelor_build_flags INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(pelor_build_flags INTERFACE -fsanitize=address,undefined)
elseif(PELOR_TSAN)
  target_compile_options(pelor_build_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(pelor_build_flags INTERFACE -fsanitize=thread)
endif()
