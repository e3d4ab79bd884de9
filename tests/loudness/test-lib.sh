# What the loudness shell tests share, sourced after `set -uo pipefail` with sonoloud's path as
# $1 and the tools the test needs as the rest: skipped (77) where one is missing; sonoloud's
# full path in $sonoloud; a temporary folder, removed at the end, as the working folder; fail
# to count a failure; ffmpeg's figures of a file.
for tool in "${@:2}"; do command -v "$tool" >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }; done
sonoloud=$(realpath -e -- "$1") || exit 1
dir=$(mktemp -d "${TMPDIR:-/tmp}/sonoloud-test.XXXXXX") || exit 1
trap 'rm -rf -- "$dir"' EXIT
cd "$dir" || exit 1
errors=0
fail() { echo "FAIL: $*"; errors=$((errors + 1)); }
# "I LRA TP" of a file as ffmpeg's ebur128 summary gives them
figures() {
    ffmpeg -nostdin -hide_banner -nostats -i "$1" -af ebur128=peak=true -f null - 2>&1 |
        awk '/Summary:/ { s = 1 } s && $1 == "I:" { i = $2 } s && $1 == "LRA:" { r = $2 } s && $1 == "Peak:" { p = $2 } END { print i, r, p }'
}
