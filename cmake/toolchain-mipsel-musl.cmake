# Cross-compiles for 32-bit little-endian MIPS Linux with musl, as OpenWrt's
# mipsel_24kc routers run: zig's clang for mipsel-linux-musleabi, MIPS32r2,
# soft float (program interpreter /lib/ld-musl-mipsel-sf.so.1).
#
# tools/mipsel-musl-stack.sh builds what this file uses into KIV_MUSL_STACK
# (default build/mipsel-musl-stack): the compiler commands in bin/, and in
# root/ musl's loader and the libraries, which is also the root
# qemu-mipsel runs the target's programs against (no glibc in it).
#
# Every C++ module links the one shared C++ runtime of that root
# (libc++.so.1), never a static copy: an exception thrown in one of our
# libraries must be caught by its type in the program.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_MUSL_STACK KIV_EMULATOR)

if(NOT DEFINED KIV_MUSL_STACK)
  if(DEFINED ENV{KIV_MUSL_STACK})
    set(KIV_MUSL_STACK "$ENV{KIV_MUSL_STACK}")
  else()
    set(KIV_MUSL_STACK "${CMAKE_CURRENT_LIST_DIR}/../build/mipsel-musl-stack")
  endif()
endif()
get_filename_component(KIV_MUSL_STACK "${KIV_MUSL_STACK}" ABSOLUTE)
set(KIV_MUSL_STACK "${KIV_MUSL_STACK}" CACHE PATH "What tools/mipsel-musl-stack.sh built")
set(KIV_MUSL_ROOT "${KIV_MUSL_STACK}/root")
if(NOT DEFINED KIV_EMULATOR)
  set(KIV_EMULATOR "qemu-mipsel;-L;${KIV_MUSL_ROOT}")
endif()
set(KIV_EMULATOR "${KIV_EMULATOR}" CACHE STRING "Runs a target program on the build machine")

if(NOT EXISTS "${KIV_MUSL_STACK}/bin/mipsel-musl-c++")
  message(FATAL_ERROR "No musl stack at ${KIV_MUSL_STACK}: run sh tools/mipsel-musl-stack.sh")
endif()

set(CMAKE_C_COMPILER "${KIV_MUSL_STACK}/bin/mipsel-musl-cc")
set(CMAKE_CXX_COMPILER "${KIV_MUSL_STACK}/bin/mipsel-musl-c++")
set(CMAKE_AR "${KIV_MUSL_STACK}/bin/mipsel-musl-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${KIV_MUSL_STACK}/bin/mipsel-musl-ranlib" CACHE FILEPATH "Archive indexer")
set(CMAKE_STRIP "${KIV_MUSL_STACK}/bin/mipsel-musl-strip" CACHE FILEPATH "Strips installed files (cmake --install --strip)")
set(CMAKE_CROSSCOMPILING_EMULATOR "${KIV_EMULATOR}")

# Zig's driver takes linker options only as -Wl,… (not -Xlinker) and knows
# no -rpath-link: rules CMake sets after reading this file, so they are
# changed in a file it reads after its own.
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/toolchain-mipsel-musl-rules.cmake")

# The shared C++ runtime instead of zig's static one; what zig's driver
# adds (compiler_rt's helpers, _init, _fini) kept out of our shared
# libraries' exports (--undefined-version: a library need not hold them
# all); libraries found in the root when one names another.
set(kiv_link_flags "-L${KIV_MUSL_ROOT}/usr/lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kiv_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT
    "${kiv_link_flags} -Wl,--version-script=${KIV_MUSL_STACK}/share/local-symbols.map -Wl,--undefined-version")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")
set(CMAKE_CXX_FLAGS_INIT "")
set(CMAKE_CXX_STANDARD_LIBRARIES "-nostdlib++ ${KIV_MUSL_ROOT}/usr/lib/libc++.so.1")

set(CMAKE_FIND_ROOT_PATH "${KIV_MUSL_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KIV_MUSL_ROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${KIV_MUSL_ROOT}/usr/lib/pkgconfig:${KIV_MUSL_ROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
