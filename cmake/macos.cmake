# macOS from this machine, shared by macos-x86_64.cmake and macos-arm64.cmake: zig's C++ compiler
# for KESTROW_ZIG_TARGET against the interpreter's headers. There is no macOS pyconfig.h here, so
# Debian's x86_64 one stands in for it (both LP64, little-endian): the modules compile and link,
# which is all a build here can show; the wheels come from macOS runners (.github/workflows).
#
#   KESTROW_PYTHON_SOURCE   the CPython 3.11 source tree; its Include/ holds the headers
#   KESTROW_PYCONFIG_DIR    the folder of the stand-in pyconfig.h
set(CMAKE_SYSTEM_NAME Darwin)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
# zig's own archiver, which writes the symbol table Mach-O linkers read; `zig ar` and `zig ranlib`
# are subcommands, which CMAKE_AR cannot hold, so the archive rules name them.
set(CMAKE_AR ${KESTROW_ZIG})
set(CMAKE_RANLIB ${KESTROW_ZIG})
set(CMAKE_CXX_ARCHIVE_CREATE "<CMAKE_AR> ar qc <TARGET> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "<CMAKE_AR> ar q <TARGET> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "<CMAKE_RANLIB> ranlib <TARGET>")
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/macos-module-rules.cmake)

set(KESTROW_PYTHON_SOURCE "" CACHE PATH "CPython 3.11 source tree (Include/)")
set(KESTROW_PYCONFIG_DIR /usr/include/x86_64-linux-gnu/python3.11 CACHE PATH "Folder of a stand-in pyconfig.h")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTROW_PYTHON_SOURCE KESTROW_PYCONFIG_DIR)
if(NOT EXISTS ${KESTROW_PYTHON_SOURCE}/Include/Python.h)
  message(FATAL_ERROR "KESTROW_PYTHON_SOURCE: no Include/Python.h under '${KESTROW_PYTHON_SOURCE}'")
endif()
# The headers as an install has them: the source's Include/ with the stand-in pyconfig.h beside them.
set(Python_INCLUDE_DIR ${CMAKE_BINARY_DIR}/python311/include)
set(Python_SOABI cpython-311-darwin CACHE STRING "Module suffix")
if(NOT CMAKE_IN_TRY_COMPILE)
  file(COPY ${KESTROW_PYTHON_SOURCE}/Include/ ${KESTROW_PYCONFIG_DIR}/pyconfig.h DESTINATION ${Python_INCLUDE_DIR})
endif()
