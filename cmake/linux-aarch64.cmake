# Linux aarch64 from this machine: Debian's cross compiler (g++-aarch64-linux-gnu) with an arm64
# Debian root (tools/platforms/arm64-root.sh) as the system root. The root's own
# aarch64-linux-gnu-python3.11-config tells FindPython the interpreter's headers and module suffix;
# its interpreter, under qemu, then runs the wheel.
#
#   KESTROW_ARM64_ROOT   the root (default: build/arm64-root in this checkout)
#
# With scikit-build-core: -Ccmake.toolchain-file=cmake/linux-aarch64.cmake
# -Ccmake.python-hints=false -Cwheel.tags=cp311-cp311-linux_aarch64, then auditwheel repair.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

get_filename_component(_checkout ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(KESTROW_ARM64_ROOT ${_checkout}/build/arm64-root CACHE PATH "arm64 Debian root with libpython3.11-dev")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTROW_ARM64_ROOT)
if(NOT EXISTS ${KESTROW_ARM64_ROOT}/usr/bin/aarch64-linux-gnu-python3.11-config)
  message(FATAL_ERROR "KESTROW_ARM64_ROOT: no arm64 CPython 3.11 under '${KESTROW_ARM64_ROOT}' "
                      "(bash tools/platforms/arm64-root.sh makes it)")
endif()
set(CMAKE_SYSROOT ${KESTROW_ARM64_ROOT})
