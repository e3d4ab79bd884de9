#!/usr/bin/env bash
# The archive driver (sonolift-tree) end to end, with GNU parallel installed so the test runs
# rather than skips; against the default build, which is configured and built if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v parallel >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y parallel
fi
parallel --version | head -n 1 | grep -q '^GNU parallel' || { echo "'parallel' is not GNU parallel" >&2; exit 1; }

if [ ! -f build/default/CMakeCache.txt ]; then
  cmake --preset default
fi
cmake --build --preset default --target sonolift sonolift-tree sonolift-wavegen
# A skipped test would pass quietly: require that it ran.
out=$(ctest --test-dir build/default -R '^TreeDriver$' --output-on-failure --no-tests=error) || { echo "$out"; exit 1; }
echo "$out"
if grep -q 'Skipped\|Not Run' <<<"$out"; then
  echo "the tree test did not run" >&2
  exit 1
fi
