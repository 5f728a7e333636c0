// Replacing a C library function in a test program while keeping the
// original callable, to fail one allocation or to play a device.
//
// KIV_REPLACEMENT(name) is the name the replacement is defined under,
// KIV_ORIGINAL(name) the C library's own function, and
// KIV_DECLARE_ORIGINAL(result, name, parameters) declares what the first
// needs. Two ways, chosen by the build (tests/modem/CMakeLists.txt):
//  - KIV_INTERPOSE_BY_WRAP, where the linker has --wrap=name (GNU ld): calls
//    from the program's own code go to __wrap_name, the original is
//    __real_name; a sanitizer's own malloc is left alone.
//  - otherwise (zig's driver refuses --wrap): the program defines the
//    function under its own name, which the dynamic linker prefers to the C
//    library's for every caller in the process, and finds the original with
//    dlsym(RTLD_NEXT). Only where dlsym needs no malloc (musl's).
#pragma once

#ifdef KIV_INTERPOSE_BY_WRAP

#define KIV_REPLACEMENT(name) __wrap_##name
#define KIV_DECLARE_ORIGINAL(result, name, parameters) extern "C" result __real_##name parameters;
#define KIV_ORIGINAL(name) __real_##name

#else

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace kivtest {

// The definition of `name` that the program's own one hides: the C library's.
template <typename Function>
Function NextDefinition(Function, const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    std::fprintf(stderr, "no C library function %s to interpose: %s\n", name, dlerror());
    std::abort();
  }
  return reinterpret_cast<Function>(found);
}

}  // namespace kivtest

#define KIV_REPLACEMENT(name) name
#define KIV_DECLARE_ORIGINAL(result, name, parameters)
#define KIV_ORIGINAL(name)                                                          \
  ([] {                                                                             \
    static const auto original = kivtest::NextDefinition(&::name, #name);         \
    return original;                                                                \
  }())

#endif
