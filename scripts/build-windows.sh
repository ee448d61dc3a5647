#!/usr/bin/env bash
# Builds Vantor for 64-bit Windows into build-windows/ (or $BUILD_DIR) with
# Debian's mingw-w64 toolchain. Extra arguments go to the CMake configure step.
#
# The libraries Debian ships no mingw build of are built here from Debian's
# source packages (`apt-get source`) into $VANTOR_MINGW_CACHE (default
# /var/cache/vantor-mingw), one folder per package and source version, so a
# second run only checks that they are there. Nothing of them enters the
# clone. Each is built as a static library with only what Vantor uses and at
# -O1, which keeps a run with an empty cache short on a small machine.
#
# --deps-only (as the first argument) stops once the dependencies are in
# the cache, to fill it ahead of a build.
set -euo pipefail
DEPS_ONLY=0
if [ "${1:-}" = "--deps-only" ]; then
  DEPS_ONLY=1
  shift
fi
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR=${BUILD_DIR:-build-windows}
CACHE=${VANTOR_MINGW_CACHE:-/var/cache/vantor-mingw}
HOST=x86_64-w64-mingw32
JOBS=$(nproc)
CC=$HOST-gcc-posix
CXX=$HOST-g++-posix
DEP_FLAGS="-O1 -DNDEBUG"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Toolchain and Wine (the tests run the programs under it).
PACKAGES=(mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix wine wine64
  cmake ninja-build pkg-config dpkg-dev make libsimpleini-dev libcli11-dev
  # libsodium's source package has no generated configure script
  autoconf automake libtool
  # shipped data made on the build machine: rule files (GeoIP), translations
  g++ libgeoip-dev geoip-database gettext)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "build-windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT}
fi
$SUDO mkdir -p "$CACHE"

PREFIXES=()

# newest_version SOURCE-PACKAGE: the version `apt-get source` would fetch.
newest_version() {
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1
}

# unpack SOURCE-PACKAGE VERSION: unpacks the patched sources into $WORK and
# prints the folder.
unpack() {
  local dir
  (cd "$WORK" && apt-get source -qq "$1=$2" >/dev/null 2>&1)
  dir=$(find "$WORK" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$dir" ] || { echo "build-windows: apt-get source $1=$2 unpacked nothing" >&2; exit 1; }
  echo "$dir"
}

# cmake_dep SRC PREFIX ARGS...: a CMake project, static, installed to PREFIX.
cmake_dep() {
  local src=$1 prefix=$2
  shift 2
  cmake -S "$src" -B "$src/_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$DEP_FLAGS" -DCMAKE_CXX_FLAGS_RELEASE="$DEP_FLAGS" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF "${LAUNCHER[@]}" \
    "$@" >"$src/_configure.log" 2>&1 || { tail -n 40 "$src/_configure.log" >&2; exit 1; }
  cmake --build "$src/_build" -j "$JOBS" >"$src/_build.log" 2>&1 || { tail -n 40 "$src/_build.log" >&2; exit 1; }
  cmake --install "$src/_build" >/dev/null
}

build_libsodium() {
  (cd "$1" && autoreconf -fi >_autoreconf.log 2>&1 && ./configure --host=$HOST --prefix="$2" --disable-shared --enable-static \
    --disable-dependency-tracking --disable-ssp CC="${CCACHE:+ccache }$CC" CFLAGS="$DEP_FLAGS" >_configure.log 2>&1 &&
    make -j "$JOBS" >_build.log 2>&1 && make install >/dev/null 2>&1) ||
    { tail -n 40 "$1"/_*.log >&2; exit 1; }
  # Linked statically: the header must not declare its functions as DLL imports.
  sed -i 's/^Cflags: \(.*\)$/Cflags: \1 -DSODIUM_STATIC/' "$2/lib/pkgconfig/libsodium.pc"
}

# Crypto++: the static library alone (no test program), headers under
# include/cryptopp as Debian installs them, and the pkg-config file Debian's
# package adds. Of its ~170 objects only those the Windows build links are
# compiled (scripts/windows-cryptopp-objects, derived by
# scripts/derive-cryptopp-objects.py): the library is the slowest dependency
# to build. VANTOR_CRYPTOPP_ALL=1 builds all of it, for that derivation.
build_libcryptopp() {
  local src=$1 prefix=$2 objects=()
  # The objects go in as LIBOBJS, not as goals: goals such as gzip.o (it
  # has "zip" in it) turn off the makefile's detection of the SIMD flags.
  [ -n "${VANTOR_CRYPTOPP_ALL:-}" ] || objects=(LIBOBJS="$(grep -v '^#' "$ROOT/scripts/windows-cryptopp-objects" | tr '\n' ' ')")
  (cd "$src" && make -f GNUmakefile-cross -j "$JOBS" libcryptopp.a "${objects[@]}" CXX="${CCACHE:+ccache }$CXX" \
    AR=$HOST-ar RANLIB=$HOST-ranlib CXXFLAGS="$DEP_FLAGS" >_build.log 2>&1) || { tail -n 40 "$src/_build.log" >&2; exit 1; }
  mkdir -p "$prefix/include/cryptopp" "$prefix/lib/pkgconfig"
  cp "$src"/*.h "$prefix/include/cryptopp/"
  cp "$src/libcryptopp.a" "$prefix/lib/"
  cat >"$prefix/lib/pkgconfig/libcrypto++.pc" <<PC
prefix=$prefix
Name: libcrypto++
Description: Crypto++ (static, mingw-w64)
Version: $3
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -lcryptopp -lws2_32
PC
}

build_jsoncpp() {
  cmake_dep "$1" "$2" -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
    -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON \
    -DJSONCPP_WITH_CMAKE_PACKAGE=ON
}

build_yamlcpp() {
  cmake_dep "$1" "$2" -DYAML_CPP_BUILD_TESTS=OFF -DYAML_CPP_BUILD_TOOLS=OFF -DYAML_CPP_BUILD_CONTRIB=OFF \
    -DYAML_BUILD_SHARED_LIBS=OFF
}

# libcurl over Schannel (Windows' own TLS), HTTP and HTTPS only, no tools,
# documents or compression libraries.
build_curl() {
  cmake_dep "$1" "$2" -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DCURL_USE_SCHANNEL=ON \
    -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF \
    -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_DISABLE_LDAP=ON -DHTTP_ONLY=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DENABLE_THREADED_RESOLVER=ON -DCURL_LTO=OFF
}

# libGeoIP: its few C files compiled straight into a static library (its
# autotools build is not needed for that), with the pkg-config file.
build_geoip() {
  local src=$1 prefix=$2 f
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig" "$src/_obj"
  for f in GeoIP.c GeoIPCity.c GeoIP_deprecated.c regionName.c timeZone.c; do
    [ -f "$src/libGeoIP/$f" ] || continue
    $CC $DEP_FLAGS -DPACKAGE_VERSION="\"$3\"" -DGEOIPDATADIR="\"C:/GeoIP\"" -I"$src/libGeoIP" \
      -c "$src/libGeoIP/$f" -o "$src/_obj/${f%.c}.o"
  done
  $HOST-ar rcs "$prefix/lib/libGeoIP.a" "$src"/_obj/*.o
  cp "$src/libGeoIP/GeoIP.h" "$src/libGeoIP/GeoIPCity.h" "$prefix/include/"
  cat >"$prefix/lib/pkgconfig/geoip.pc" <<PC
prefix=$prefix
Name: geoip
Description: libGeoIP (static, mingw-w64)
Version: $3
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -lGeoIP -lws2_32
PC
}

# http-parser: one C file, compiled into a static library like libGeoIP.
build_httpparser() {
  local src=$1 prefix=$2
  mkdir -p "$prefix/include" "$prefix/lib" "$src/_obj"
  $CC $DEP_FLAGS -I"$src" -c "$src/http_parser.c" -o "$src/_obj/http_parser.o"
  $HOST-ar rcs "$prefix/lib/libhttp_parser.a" "$src/_obj/http_parser.o"
  cp "$src/http_parser.h" "$prefix/include/"
}

build_googletest() {
  cmake_dep "$1" "$2" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -Dgtest_force_shared_crt=OFF
}

# SimpleIni is one portable header; the archive does not always carry the
# source package, so it comes from Debian's libsimpleini-dev (installed by
# scripts/setup.sh), which is the same header.
build_simpleini() {
  mkdir -p "$2/include"
  cp /usr/include/SimpleIni.h "$2/include/"
}

# CLI11 is header-only too: Debian's libcli11-dev headers and CMake package
# files (their paths are relative to the package's folder).
build_cli11() {
  mkdir -p "$2/include" "$2/share/cmake"
  cp -r /usr/include/CLI "$2/include/"
  cp -r /usr/share/cmake/CLI11 "$2/share/cmake/"
}

# dep NAME SOURCE-PACKAGE: builds the package into its cache folder unless a
# finished build of the same source version is there.
dep() {
  local name=$1 pkg=$2 version prefix start src
  "$ROOT/scripts/add-deb-src.sh" "$pkg"
  version=$(newest_version "$pkg")
  [ -n "$version" ] || { echo "build-windows: apt knows no version of $pkg" >&2; exit 1; }
  # TAG_<name>, when set, tells builds of the same version apart.
  local tag=TAG_$name
  prefix=$CACHE/$name-$version${!tag:+-${!tag}}
  PREFIXES+=("$prefix")
  [ -f "$prefix/.built" ] && return 0
  start=$(date +%s)
  echo "build-windows: building $pkg $version for $HOST"
  WORK=$(mktemp -d)
  chmod 0777 "$WORK"  # apt-get source downloads as _apt when it can
  rm -rf "$prefix"
  src=$WORK
  case $name in simpleini | cli11) ;; *) src=$(unpack "$pkg" "$version") ;; esac
  "build_$name" "$src" "$prefix" "$version"
  touch "$prefix/.built"
  rm -rf "$WORK"
  echo "build-windows: $pkg done in $(($(date +%s) - start)) s"
}

CCACHE=""
if [ "${#LAUNCHER[@]}" -gt 0 ]; then CCACHE=1; fi

# A library built from a list of objects is kept apart from the whole one
# and from one built from another list.
TAG_libcryptopp=all
if [ -z "${VANTOR_CRYPTOPP_ALL:-}" ]; then
  TAG_libcryptopp=$(sha256sum "$ROOT/scripts/windows-cryptopp-objects" | cut -c1-12)
fi

dep libsodium libsodium
dep jsoncpp libjsoncpp
dep yamlcpp yaml-cpp
dep simpleini libsimpleini
dep googletest googletest
dep geoip geoip
dep httpparser http-parser
dep cli11 cli11
dep curl curl
dep libcryptopp libcrypto++

if [ "$DEPS_ONLY" = 1 ]; then
  echo "build-windows: dependencies ready in $CACHE"
  exit 0
fi

prefix_list=$(IFS=';'; echo "${PREFIXES[*]}")
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DVANTOR_MINGW_PREFIXES="$prefix_list" -DVANTOR_BENCH=OFF "${LAUNCHER[@]}" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"
