#!/usr/bin/env bash
# Files of 2 GiB and more, made cheaply as a header and a hole: an RF64 input of more than 4 GiB
# gives an RF64 output, and sonolift-meta assembles an RF64 result from the two; a RIFF input
# just over 2 GiB gives a plain RIFF output; each holds the input's frames. sox and ffprobe,
# where installed, open them. Skipped (77) where the disk is too small.
# Arguments: sonolift, sonolift-wavegen.
set -uo pipefail
sonolift=$(realpath -e -- "$1") wavegen=$(realpath -e -- "$2") || exit 1
meta=${sonolift%/*}/sonolift-meta
dir=$(mktemp -d "${TMPDIR:-/tmp}/sonolift-large.XXXXXX") || exit 1
trap 'rm -rf -- "$dir"' EXIT
cd "$dir" || exit 1
big=$(((4 << 30) + (64 << 20))) over=$(((2 << 30) + (64 << 20))) # data bytes
free=$(df --output=avail -B1 . | tail -n 1)
((free > 2 * big + over + (256 << 20))) || { echo "only $free bytes free in $dir: skipped"; exit 77; }
errors=0
le64() { local i; for ((i = 0; i < 64; i += 8)); do printf '\\x%02x' $((($1 >> i) & 255)); done; }
check() { # FILE HEAD FRAMES
    local head frames
    head=$(head -c 4 -- "$1")
    [[ $head == "$2" ]] || { echo "FAIL: $1 begins with '$head', not $2"; errors=$((errors + 1)); }
    if command -v sox >/dev/null; then
        frames=$(sox --i -s "$1" 2>/dev/null)
        [[ $frames == "$3" ]] || { echo "FAIL: sox reads $frames frames of $1, not $3"; errors=$((errors + 1)); }
    fi
    if command -v ffprobe >/dev/null; then
        frames=$(ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 "$1")
        [[ $frames == "$3" ]] || { echo "FAIL: ffprobe reads $frames frames of $1, not $3"; errors=$((errors + 1)); }
    fi
}
for case in "rf64 $big RF64" "riff $over RIFF"; do
    read -r form bytes head <<<"$case"
    # the header of the recipe, then a hole of silence up to the size it claims
    if [[ $form == rf64 ]]; then # the ds64 chunk's RIFF size, data size and frames
        "$wavegen" in.wav pcm16 2 44100 data rf64 || exit 1
        printf "$(le64 $((bytes + 72)))$(le64 $bytes)$(le64 $((bytes / 4)))" | dd of=in.wav bs=1 seek=20 conv=notrunc status=none
        truncate -s $((80 + bytes)) in.wav
    else
        "$wavegen" in.wav pcm16 2 44100 data size $bytes riff $((36 + bytes)) || exit 1
        truncate -s $((44 + bytes)) in.wav
    fi
    rm -f waveout-0-lift.wav
    out=$("$sonolift" in.wav)
    [[ $out == "in.wav" ]] || { echo "FAIL: $form: $out"; errors=$((errors + 1)); }
    check waveout-0-lift.wav "$head" $((bytes / 4))
    [[ $form == rf64 ]] || continue
    "$meta" assemble in.wav waveout-0-lift.wav result.wav || { echo "FAIL: sonolift-meta assemble"; errors=$((errors + 1)); }
    check result.wav RF64 $((bytes / 4))
    rm -f result.wav
done
((errors == 0)) && echo "large files: ok" && exit 0
exit 1
