# shellcheck shell=sh
# Shared by tools/make-deb.sh and tools/make-ipk.sh (sourced, from the
# repository's root).

# What tools/mipsel-musl-stack.sh builds for the preset mipsel-musl.
MUSL_STACK=${KIV_MUSL_STACK:-build/mipsel-musl-stack}

# build_gatewayd PRESET: configures the preset's build folder and builds
# gatewayd with its libraries (not the tests).
build_gatewayd() {
  if [ "$1" = mipsel ] && [ -z "${KIV_SYSROOT:-}" ]; then
    sh tools/mipsel-sysroot.sh
  fi
  if [ "$1" = mipsel-musl ]; then
    sh tools/mipsel-musl-stack.sh "$MUSL_STACK"
  fi
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" --target gatewayd
}

# project_version PRESET: the project's version, as CMake read it.
project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$1/CMakeCache.txt"
}
