#!/usr/bin/env bash
# The archive driver (sonolift-tree) end to end, with GNU parallel installed so the test runs
# rather than skips; against the default build, which is configured and built if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

need=()
command -v parallel >/dev/null || need+=(parallel)
# the test sends jobs over ssh to a server of its own on 127.0.0.1
[ -x /usr/sbin/sshd ] || need+=(openssh-server)
command -v ssh >/dev/null || need+=(openssh-client)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${need[@]}"
fi
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
