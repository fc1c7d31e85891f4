# zig as the C++ compiler for one target triple, KESTROW_ZIG_TARGET, which the including toolchain
# file sets (x86_64-windows-gnu, x86_64-macos, aarch64-macos).
#
# zig comes from PyPI (the ziglang package, pinned in requirements-release.txt): the binary is found
# through $ZIG, on PATH, or in the site-packages folder of the environment that runs the build,
# which scikit-build-core puts on CMAKE_PREFIX_PATH.
find_program(KESTROW_ZIG NAMES zig HINTS ENV ZIG PATHS ${CMAKE_PREFIX_PATH} PATH_SUFFIXES ziglang
             NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# The try_compile projects CMake runs while configuring read this file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTROW_ZIG)
set(CMAKE_CXX_COMPILER ${KESTROW_ZIG} c++ -target ${KESTROW_ZIG_TARGET})
# The triple also stands for the target's library architecture. FindPython takes a python3.11-config
# only if its config folder names that architecture, so this machine's (x86_64-linux-gnu) is never
# asked about a zig target.
set(CMAKE_LIBRARY_ARCHITECTURE ${KESTROW_ZIG_TARGET})
