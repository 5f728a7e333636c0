# Cross-compiles for 32-bit little-endian MIPS Linux, the routers we ship on.
#
# By default it uses Debian's cross compiler (g++-mipsel-linux-gnu) and the
# sysroot that tools/mipsel-sysroot.sh builds from Debian's mipsel packages,
# and runs target programs under qemu-mipsel. A board maker points the same
# file at the board SDK instead:
#   KIV_CROSS_PREFIX  compiler prefix, e.g. /opt/sdk/bin/mipsel-openwrt-linux-uclibc-
#   KIV_SYSROOT       the root with the target's headers and libraries
#   KIV_EMULATOR      how to run a target program here ("" to build only)
# (cache variables with -D, or environment variables of the same names).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

# try_compile projects read this file again: hand them our settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_CROSS_PREFIX KIV_SYSROOT KIV_EMULATOR)

function(kiv_cross_setting name default)
  if(DEFINED ${name})
    return()
  elseif(DEFINED ENV{${name}})
    set(${name} "$ENV{${name}}" PARENT_SCOPE)
  else()
    set(${name} "${default}" PARENT_SCOPE)
  endif()
endfunction()

kiv_cross_setting(KIV_CROSS_PREFIX "mipsel-linux-gnu-")
kiv_cross_setting(KIV_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-mipsel")
get_filename_component(KIV_SYSROOT "${KIV_SYSROOT}" ABSOLUTE)
kiv_cross_setting(KIV_EMULATOR "qemu-mipsel;-L;${KIV_SYSROOT}")
set(KIV_CROSS_PREFIX "${KIV_CROSS_PREFIX}" CACHE STRING "Cross compiler prefix")
set(KIV_SYSROOT "${KIV_SYSROOT}" CACHE PATH "Target root with headers and libraries")
set(KIV_EMULATOR "${KIV_EMULATOR}" CACHE STRING "Runs a target program on the build machine")

if(NOT EXISTS "${KIV_SYSROOT}")
  message(FATAL_ERROR "No sysroot at ${KIV_SYSROOT}: run sh tools/mipsel-sysroot.sh "
                      "or set KIV_SYSROOT to the board SDK's staging folder")
endif()

set(CMAKE_C_COMPILER "${KIV_CROSS_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${KIV_CROSS_PREFIX}g++")
set(CMAKE_SYSROOT "${KIV_SYSROOT}")
set(CMAKE_CROSSCOMPILING_EMULATOR "${KIV_EMULATOR}")

# Headers, libraries and CMake packages from the sysroot only; build tools
# from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must read the target's .pc files, never the host's, and prefix
# the paths they name with the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KIV_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${KIV_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${KIV_SYSROOT}/usr/lib/pkgconfig:${KIV_SYSROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
