#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs ZKflow into scratch prefixes, then builds and runs a small consumer
# against each, as C++17 and as C++20, through find_package(ZKflow) and
# through pkg-config, with the strict warnings a user's project may turn on
# (any warning from our headers fails). First the shared library of the build
# under test; then, with --static, a static build of the same sources.
#
#   run.sh <source dir> <build dir> <scratch dir> <cmake> <generator> <c++ compiler> [extra flags] [--static]
#
# The extra flags (the sanitizer options of the build under test) are given to
# the consumer too: a program linked against an instrumented library must be
# instrumented the same way.
set -euo pipefail

src=$1 build=$2 scratch=$3 cmake=$4 generator=$5 cxx=$6 flags=${7:-} static=${8:-}
here=$(cd "$(dirname "$0")" && pwd)
warn="-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Werror"

rm -rf "$scratch"
mkdir -p "$scratch"

consumers() {  # <prefix> <name>
  local prefix=$1 name=$2
  for std in 17 20; do
    echo "== $name: find_package(ZKflow) consumer, C++$std"
    "$cmake" -S "$here" -B "$scratch/$name-cmake-$std" -G "$generator" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_STANDARD=$std \
      -DCMAKE_CXX_STANDARD_REQUIRED=ON -DCMAKE_CXX_EXTENSIONS=OFF \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
    "$cmake" --build "$scratch/$name-cmake-$std" >/dev/null
    "$scratch/$name-cmake-$std/zkflow_consumer"
  done

  pcfile=$(find "$prefix" -name zkflow.pc -print -quit)
  [ -n "$pcfile" ] || { echo "zkflow.pc not installed" >&2; exit 1; }
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$pcfile")
  # Only the installed prefix may appear: a path from the build machine's
  # configure-time prefix would make the file useless after a --prefix
  # install. And no -std=: that is the program's choice.
  pc=$(pkg-config --cflags --libs zkflow)
  echo "== $name: pkg-config: $pc"
  for word in $pc; do
    case $word in
      -std=*) echo "pkg-config forces a language standard: $word" >&2; exit 1 ;;
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
  for std in 17 20; do
    echo "== $name: pkg-config consumer, C++$std"
    # shellcheck disable=SC2086  # flag lists are meant to split
    "$cxx" -std=c++$std $warn $flags "$here/main.cpp" -o "$scratch/$name-pc-$std" $pc
    LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$scratch/$name-pc-$std"
  done
}

echo "== install the build under test into $scratch/shared"
"$cmake" --install "$build" --prefix "$scratch/shared" >/dev/null
[ -f "$(find "$scratch/shared" -path '*doc/zkflow/LICENSE' -print -quit)" ] ||
  { echo "LICENSE not installed" >&2; exit 1; }
consumers "$scratch/shared" shared

if [ "$static" = "--static" ]; then
  echo "== a static build of the same sources"
  "$cmake" -S "$src" -B "$scratch/static-build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
    -DBUILD_SHARED_LIBS=OFF -DZKFLOW_BUILD_TESTS=OFF -DZKFLOW_BUILD_EXAMPLES=OFF \
    -DZKFLOW_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  "$cmake" --build "$scratch/static-build" >/dev/null
  "$cmake" --install "$scratch/static-build" --prefix "$scratch/static" >/dev/null
  [ -f "$(find "$scratch/static" -name libzkflow.a -print -quit)" ] ||
    { echo "no static archive installed" >&2; exit 1; }
  consumers "$scratch/static" static
fi
