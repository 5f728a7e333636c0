/* The part of GCC's libatomic that clang's calls reach on MIPS32 and that
 * zig's compiler_rt lacks: __atomic_is_lock_free, which OpenSSL asks at
 * start-up. The sized operations come from compiler_rt. MIPS32 does 1, 2
 * and 4-byte atomics with ll/sc; wider ones take a lock. */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/* Clang refuses a definition under a builtin's name: the symbol is named
 * through an assembler label instead. */
bool atomic_is_lock_free(size_t size, const volatile void* object) __asm__("__atomic_is_lock_free");

bool atomic_is_lock_free(size_t size, const volatile void* object) {
  uintptr_t address = (uintptr_t)object;
  switch (size) {
    case 1:
      return true;
    case 2:
    case 4:
      return address % size == 0;
    default:
      return false;
  }
}
