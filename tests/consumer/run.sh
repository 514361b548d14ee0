#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a consumer against it twice: through find_package and through pkg-config.
# Usage: run.sh BUILD_DIR SOURCE_DIR CXX [TOOLCHAIN_FILE] [EMULATOR...]
set -euo pipefail
build=$1 source=$2 cxx=$3 toolchain=${4:-} work=$(mktemp -d)
shift $(($# < 4 ? $# : 4))
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# What lands on an application's include path: kesu/, and the platform library's headers by their own names.
[ "$(cd "$work/prefix/include" && echo * kesu/platform/*)" = "kesu kesu/platform/NSTime.h kesu/platform/STBLogger.h kesu/platform/STBThread.h" ]
args=(-S "$source/tests/consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx")
# A cross build re-roots search paths under its sysroot; the package's own directory is taken as given.
[ -z "$toolchain" ] || args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKesuIpc_DIR="$work/prefix/lib/cmake/KesuIpc")
cmake "${args[@]}" >/dev/null && cmake --build "$work/build" >/dev/null
"$@" "$work/build/consumer"
pc=$(cd "$work/prefix" && ls -d lib*/pkgconfig | head -n 1)
# As the README builds it, the rpath from the package; the application's own headers come after the library's.
export PKG_CONFIG_PATH=$work/prefix/$pc PKG_CONFIG_SYSROOT_DIR=
# shellcheck disable=SC2046 # the flags are words
"$cxx" -std=c++17 -Wall -Werror -o "$work/pc-consumer" "$source/tests/consumer/main.cpp" \
  $(pkg-config --cflags --libs kesu-ipc) -Wl,-rpath,$(pkg-config --variable=libdir kesu-ipc) -I"$source/tests/consumer/include"
"$@" "$work/pc-consumer"
