#!/usr/bin/env bash
# The builds a packager runs, without presets: a plain Release build with GCC, and a build type
# None with Debian's own flags (dpkg-buildflags) with Clang; each passes the whole suite.
# Warnings are errors here, as in the presets, to keep both compilers clean.
set -euo pipefail
cd "$(dirname "$0")/../.."

build() { # folder, then configure arguments
  local dir=$1
  shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -DSONOLIFT_WERROR=ON "$@"
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" -j2 --output-on-failure
}

build build/packager-release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  build build/packager-none -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=clang++
echo "packager builds: ok"
