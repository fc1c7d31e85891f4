# macOS on Apple silicon (compile and link only; see macos.cmake).
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(KESTROW_ZIG_TARGET aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
