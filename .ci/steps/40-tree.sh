#!/usr/bin/env bash
# The archive driver (sonolift-tree) end to end, its jobs over ssh included (.ci/run has installed
# GNU parallel and an OpenSSH server); against the default build, configured and built if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

[[ $(parallel --version) == 'GNU parallel'* ]] || { echo "'parallel' is not GNU parallel" >&2; exit 1; }

if [ ! -f build/default/CMakeCache.txt ]; then
  cmake --preset default
fi
cmake --build --preset default --target sonolift sonolift-tree sonolift-meta sonolift-wavegen
# A skipped test would pass quietly: require that it ran.
out=$(ctest --test-dir build/default -R '^TreeDriver$' -V --no-tests=error) || { echo "$out"; exit 1; }
echo "$out"
if grep -q 'Skipped\|Not Run' <<<"$out" || ! grep -Eq '^([0-9]+: )?ssh: ok' <<<"$out"; then
  echo "the tree test, or its part over ssh, did not run" >&2
  exit 1
fi
