# macOS on Intel (compile and link only; see macos.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTROW_ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
