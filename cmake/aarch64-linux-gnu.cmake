# Cross-compiling for aarch64 Linux with Debian's g++-aarch64-linux-gnu against
# an arm64 Debian tree that holds CPython, NumPy and BLIS (tools/arm64root,
# which tools/devroot mounts at /sysroot when PELOR_SYSROOT names it):
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
# The C library and libstdc++ come from the cross compiler's own tree; only
# Python's, NumPy's and BLIS's headers and BLIS's library from the arm64 one.
# PELOR_SYSROOT (environment) overrides /sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(DEFINED ENV{PELOR_SYSROOT})
  set(_sysroot "$ENV{PELOR_SYSROOT}")
else()
  set(_sysroot /sysroot)
endif()

set(CMAKE_FIND_ROOT_PATH "${_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.14/pyconfig.h>: the
# tree's include folder is searched last, after the cross compiler's own.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_sysroot}/usr/include")

set(Python_INCLUDE_DIR "${_sysroot}/usr/include/python3.14" CACHE PATH "")
set(Python_SOABI cpython-314-aarch64-linux-gnu CACHE STRING "")
set(NUMPY_INCLUDE_DIR "${_sysroot}/usr/lib/aarch64-linux-gnu/python3-numpy/numpy/_core/include" CACHE PATH "")
