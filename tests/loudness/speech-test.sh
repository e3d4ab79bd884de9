#!/usr/bin/env bash
# sonoloud -t on speech made here with espeak-ng (phrases at levels that jump, pauses, room
# noise; mono and stereo, 16 and 24 bits, 44.1 and 48 kHz), as ffmpeg's ebur128 filter measures
# the outputs: at -16 and -23 LUFS within 0.2 LU, the true peak (its own oversampling) at most
# -0.9 dBTP against a ceiling of -1, the loudness range within 1.5 LU of the input's. Skipped
# (77) without espeak-ng, sox or ffmpeg. Argument: sonoloud.
set -uo pipefail
source "$(dirname -- "$0")/speech-like.sh"
source "$(dirname -- "$0")/test-lib.sh" "$1" espeak-ng sox soxi ffmpeg
within() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(a != "" && b != "" && d <= t && -d <= t) }'; }
n=0
while read -r channels rate bits seconds seed; do
    n=$((n + 1))
    in=speech-$n.wav
    speech_like "$in" "$channels" "$rate" "$bits" "$seconds" "$seed" || { fail "$in: cannot make it"; continue; }
    read -r _ range _ < <(figures "$in")
    for target in -16 -23; do
        rm -f waveout-*
        line=$("$sonoloud" -t "$target" -c -1 "$in")
        read -r i r tp < <(figures waveout-0-loud.wav)
        echo "$in ($channels ch, $rate Hz, $bits bits) -> $target: $i LUFS, range $r LU (input $range), true peak $tp dBTP; ${line#*; }"
        within "$i" "$target" 0.2 || fail "$in -> $target: integrated $i"
        awk -v p="$tp" 'BEGIN { exit !(p != "" && p <= -0.9) }' || fail "$in -> $target: true peak $tp"
        within "$r" "$range" 1.5 || fail "$in -> $target: range $r, input $range"
    done
done <<'RECORDINGS'
1 44100 16 40 1
2 48000 16 40 2
2 44100 24 30 3
1 48000 24 30 4
RECORDINGS
((errors == 0)) && echo "all $n recordings at their targets" && exit 0
exit 1
