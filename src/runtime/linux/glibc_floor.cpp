// Private definitions of the three C library symbols that would otherwise set the oldest glibc
// the Linux modules load on. Linked into each module only when the C++ library is linked in
// statically (GNU toolchain on Linux, see CMakeLists.txt); hidden, so the module's own references
// bind here at link time and the C library is never asked for them.
//
// - arc4random (glibc 2.36) and getentropy (2.25) are referenced by the static C++ library's
//   std::random_device, which comes along with the exception classes (std::length_error and its
//   kin drag in the copy-on-write string, which drags in random_device's constructor). Nothing
//   here makes a random_device; the definitions still do the right thing, from the kernel's
//   getrandom call (Linux 3.17), should anything ever call them.
// - __libc_single_threaded (2.32) lets the C++ library skip atomic instructions while a process
//   has one thread. Zero means "maybe several threads": always atomic, always correct, and what
//   glibc itself reports once a process has started a thread, which an interpreter running
//   Playwright has.
//
// No C or C++ library header is included: those declare the same names with default visibility.

#include <cstddef>

extern "C" {

long syscall(long number, ...) noexcept;
int* __errno_location() noexcept;

#if defined(__x86_64__)
#define KESTROW_SYS_GETRANDOM 318
#elif defined(__aarch64__)
#define KESTROW_SYS_GETRANDOM 278
#else
#error "the getrandom system call number of this architecture is missing"
#endif

__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

__attribute__((visibility("hidden"))) int getentropy(void* buffer, std::size_t length) noexcept {
    constexpr int eio = 5, eintr = 4;
    if (length > 256) {
        *__errno_location() = eio;
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        long got = syscall(KESTROW_SYS_GETRANDOM, out, length, 0);
        if (got < 0) {
            if (*__errno_location() == eintr) continue;
            return -1;
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
    return 0;
}

__attribute__((visibility("hidden"))) unsigned int arc4random() noexcept {
    unsigned int value = 0;
    // Like the C library's own, it cannot fail: without the kernel's randomness it ends the process.
    if (getentropy(&value, sizeof value) != 0) __builtin_trap();
    return value;
}

}  // extern "C"
