# Read after CMake's own rules for macOS (macos.cmake names it as the rules override): zig's Mach-O
# linker cannot write a bundle (-bundle, CMake's choice for a module; it crashes), so the modules
# are linked as dynamic libraries, which the interpreter loads just the same.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
