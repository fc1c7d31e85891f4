# Windows x64 from this machine: zig's C++ compiler for x86_64-windows-gnu (mingw-w64 against the
# Universal CRT, libc++ linked in), against the interpreter's own Windows headers, linked to
# python311.dll through an import library made here.
#
#   KESTROW_PYTHON_SOURCE   the CPython 3.11 source tree (its Include/ and PC/ folders): the headers
#                           of a Windows build are Include/ plus PC/pyconfig.h
#   KESTROW_PYTHON_EXPORTS  a CPython 3.11 shared library (default: Debian's libpython3.11.so.1.0)
#                           whose dynamic symbol table lists what python311.dll exports
#
# With scikit-build-core: -Ccmake.toolchain-file=cmake/windows-x86_64.cmake
# -Ccmake.python-hints=false -Cwheel.tags=cp311-cp311-win_amd64 (docs/RELEASING.md).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KESTROW_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
# The archiver and strip of mingw-w64's binutils (Debian's binutils-mingw-w64-x86-64).
find_program(CMAKE_AR x86_64-w64-mingw32-ar REQUIRED)
find_program(CMAKE_RANLIB x86_64-w64-mingw32-ranlib REQUIRED)
find_program(CMAKE_STRIP x86_64-w64-mingw32-strip REQUIRED)

set(KESTROW_PYTHON_SOURCE "" CACHE PATH "CPython 3.11 source tree (Include/, PC/)")
set(KESTROW_PYTHON_EXPORTS /usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0 CACHE FILEPATH
    "CPython 3.11 shared library whose exports stand for python311.dll's")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTROW_PYTHON_SOURCE KESTROW_PYTHON_EXPORTS)
if(NOT EXISTS ${KESTROW_PYTHON_SOURCE}/PC/pyconfig.h)
  message(FATAL_ERROR "KESTROW_PYTHON_SOURCE: no PC/pyconfig.h under '${KESTROW_PYTHON_SOURCE}'")
endif()

# What FindPython would ask a Windows interpreter: the headers, the library, the module suffix.
# The headers as a Windows install has them: the source's Include/, with PC/pyconfig.h beside them.
set(Python_INCLUDE_DIR ${CMAKE_BINARY_DIR}/python311/include)
set(Python_SOABI cp311-win_amd64 CACHE STRING "Module suffix")
if(NOT CMAKE_IN_TRY_COMPILE)
  file(COPY ${KESTROW_PYTHON_SOURCE}/Include/ ${KESTROW_PYTHON_SOURCE}/PC/pyconfig.h DESTINATION ${Python_INCLUDE_DIR})
endif()

# python311.dll's import library: every Py* and _Py* symbol the shared library exports, variables
# (data, bss and read-only symbols) marked DATA so that the modules reach them through __imp_ pointers.
set(Python_LIBRARY ${CMAKE_BINARY_DIR}/python311/libpython311.dll.a)
if(NOT CMAKE_IN_TRY_COMPILE AND NOT EXISTS ${Python_LIBRARY})
  find_program(KESTROW_NM nm REQUIRED)
  execute_process(COMMAND ${KESTROW_NM} -D --defined-only ${KESTROW_PYTHON_EXPORTS}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[0-9a-f]+ [A-Za-z] _?Py[A-Za-z0-9_]*" symbols "${symbols}")
  set(def "LIBRARY python311.dll\nEXPORTS\n")
  foreach(line IN LISTS symbols)
    string(REGEX MATCH "^[0-9a-f]+ ([A-Za-z]) (.*)$" _ "${line}")
    set(name ${CMAKE_MATCH_2})
    if(CMAKE_MATCH_1 MATCHES "^[BDRVbdrv]$")
      string(APPEND def "    ${name} DATA\n")
    else()
      string(APPEND def "    ${name}\n")
    endif()
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/python311/python311.def "${def}")
  execute_process(COMMAND ${KESTROW_ZIG} dlltool -m i386:x86-64 -D python311.dll
                          -d ${CMAKE_BINARY_DIR}/python311/python311.def -l ${Python_LIBRARY}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
