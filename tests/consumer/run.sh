#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a consumer against it twice: through find_package and through pkg-config.
# Usage: run.sh BUILD_DIR SOURCE_DIR CXX [TOOLCHAIN_FILE] [EMULATOR...]
set -euo pipefail
build=$1 source=$2 cxx=$3 toolchain=${4:-} work=$(mktemp -d)
shift $(($# < 4 ? $# : 4))
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
args=(-S "$source/tests/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx")
# A cross build re-roots search paths under its sysroot; the package's own directory is taken as given.
[ -z "$toolchain" ] || args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKesuIpc_DIR="$work/prefix/lib/cmake/KesuIpc")
cmake "${args[@]}" >/dev/null && cmake --build "$work/build" >/dev/null
"$@" "$work/build/consumer"
pc=$(cd "$work/prefix" && ls -d lib*/pkgconfig | head -n 1)
# The application's own headers come after the library's on the path.
# shellcheck disable=SC2046 # the flags are words
"$cxx" -std=c++17 -Wall -Werror -o "$work/pc-consumer" "$source/tests/consumer/main.cpp" \
  $(PKG_CONFIG_PATH="$work/prefix/$pc" PKG_CONFIG_SYSROOT_DIR= pkg-config --cflags --libs kesu-ipc) \
  -I"$source/tests/consumer/include" -Wl,-rpath,"$work/prefix/${pc%/pkgconfig}"
"$@" "$work/pc-consumer"
