#!/usr/bin/env bash
# Every accepted format's output in sox and ffprobe (the interop test), and files of 2 GiB and
# more (the large test), with the release build (.ci/run has installed sox and ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset release
cmake --build --preset release
# A skipped test would pass quietly: require that both ran.
out=$(ctest --test-dir build/release -L 'interop|large' --output-on-failure --no-tests=error) || { echo "$out"; exit 1; }
echo "$out"
if grep -q 'Skipped\|Not Run' <<<"$out"; then
  echo "a format test did not run" >&2
  exit 1
fi
