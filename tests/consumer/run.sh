#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a consumer
# against it twice: through find_package and through pkg-config.
# Usage: run.sh BUILD_DIR SOURCE_DIR CXX [TOOLCHAIN_FILE] [EMULATOR...]
set -euo pipefail
build=$1 source=$2 cxx=$3 toolchain=${4:-}
shift $(( $# < 4 ? $# : 4 ))
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

args=(-S "$source/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx")
# A cross build re-roots search paths under its sysroot; the package's own
# directory is taken as given.
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKesuIpc_DIR="$work/prefix/lib/cmake/KesuIpc")
cmake "${args[@]}" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"${emulator[@]}" "$work/cmake-build/consumer"

libdir=$(cd "$work/prefix" && ls -d lib*/pkgconfig | head -n 1)
flags=$(PKG_CONFIG_PATH="$work/prefix/$libdir" PKG_CONFIG_SYSROOT_DIR= pkg-config --cflags --libs kesu-ipc)
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Werror -o "$work/pc-consumer" "$source/tests/consumer/main.cpp" $flags \
  -I"$source/tests/consumer/include" \
  -Wl,-rpath,"$work/prefix/${libdir%/pkgconfig}"
"${emulator[@]}" "$work/pc-consumer"
