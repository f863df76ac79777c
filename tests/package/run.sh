#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a built ZKflow into a scratch prefix, then builds and runs a small
# consumer against it twice: through find_package(ZKflow) and through
# pkg-config. Fails on the first step that does not work.
#
#   run.sh <build dir> <scratch dir> <cmake> <generator> <c++ compiler> [extra compiler flags]
#
# The extra flags (the sanitizer options of the build under test) are given to
# the consumer too: a program linked against an instrumented library must be
# instrumented the same way.
set -euo pipefail

build=$1
scratch=$2
cmake=$3
generator=$4
cxx=$5
flags=${6:-}
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

echo "== install into $prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

echo "== find_package(ZKflow) consumer"
"$cmake" -S "$here" -B "$scratch/consumer" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
"$cmake" --build "$scratch/consumer" >/dev/null
"$scratch/consumer/zkflow_consumer"

echo "== pkg-config consumer"
pcfile=$(find "$prefix" -name zkflow.pc -print -quit)
[ -n "$pcfile" ] || { echo "zkflow.pc not installed" >&2; exit 1; }
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pcfile")
# Only the installed prefix may appear: a path from the build machine's
# configure-time prefix would make the file useless after a --prefix install.
pc=$(pkg-config --cflags --libs zkflow)
echo "pkg-config: $pc"
for word in $pc; do
  case $word in
    -I*|-L*)
      dir=${word:2}
      [ -d "$dir" ] || { echo "pkg-config names a missing directory: $dir" >&2; exit 1; }
      case $(cd "$dir" && pwd -P) in
        "$(cd "$prefix" && pwd -P)"*) ;;
        *) echo "pkg-config points outside the install: $dir" >&2; exit 1 ;;
      esac ;;
  esac
done
libdir=$(pkg-config --variable=libdir zkflow)
# shellcheck disable=SC2086  # flag lists are meant to split
"$cxx" $flags "$here/main.cpp" -o "$scratch/pkgconfig_consumer" $pc
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$scratch/pkgconfig_consumer"
