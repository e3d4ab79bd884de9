#!/usr/bin/env bash
# The outputs of every accepted format open in sox and ffprobe with the input's encoding, bits,
# rate, channels and frame count. Skipped (77) where sox or ffprobe is missing.
# Arguments: sonolift, sonolift-wavegen.
set -uo pipefail
for tool in sox ffprobe; do command -v $tool >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }; done
sonolift=$(realpath -e -- "$1") wavegen=$(realpath -e -- "$2") || exit 1
dir=$(mktemp -d "${TMPDIR:-/tmp}/sonolift-interop.XXXXXX") || exit 1
trap 'rm -rf -- "$dir"' EXIT
cd "$dir" || exit 1
errors=0
# recipe | what sox says (channels rate bits encoding frames) | what ffprobe says
while IFS='|' read -r recipe sox ffprobe; do
    rm -f -- *.wav
    "$wavegen" in.wav $recipe && "$sonolift" in.wav >/dev/null || { echo "FAIL: $recipe: not levelled"; errors=$((errors + 1)); continue; }
    got_sox=$(for f in c r b e s; do sox --i -$f waveout-0-lift.wav 2>/dev/null; done | paste -sd' ')
    got_ffprobe=$(ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bits_per_sample,duration_ts \
        -of csv=p=0 waveout-0-lift.wav)
    if [[ $got_sox != "$sox" || $got_ffprobe != "$ffprobe" ]]; then
        echo "FAIL: $recipe: sox '$got_sox', ffprobe '$got_ffprobe'"
        errors=$((errors + 1))
    fi
done <<'CASES'
pcm8 1 8000 data (-50 50)x50 7 raw 00|1 8000 8 Unsigned Integer PCM 101|pcm_u8,8000,1,8,101
pcm8 2 22050 ext data (-50 50)x50|2 22050 8 Unsigned Integer PCM 50|pcm_u8,22050,2,8,50
pcm16 1 44100 data (1000 -1000)x40 5|1 44100 16 Signed Integer PCM 81|pcm_s16le,44100,1,16,81
pcm16 3 48000 ext 16 7 data (1000 -1000 500)x40|3 48000 16 Signed Integer PCM 40|pcm_s16le,48000,3,16,40
pcm24 1 96000 data (300000 -300000)x40 7 raw 00|1 96000 24 Signed Integer PCM 81|pcm_s24le,96000,1,24,81
pcm24 2 48000 ext 24 3 data (300000 -300000)x40|2 48000 24 Signed Integer PCM 40|pcm_s24le,48000,2,24,40
pcm32 2 44100 data (30000000 -30000000)x40|2 44100 32 Signed Integer PCM 40|pcm_s32le,44100,2,32,40
pcm32 1 8000 ext data (30000000 -30000000)x40|1 8000 32 Signed Integer PCM 80|pcm_s32le,8000,1,32,80
float32 1 44100 data (0.25 -0.25)x40 1.5|1 44100 32 Floating Point PCM 81|pcm_f32le,44100,1,32,81
float32 2 48000 ext data (0.25 -0.25)x40|2 48000 32 Floating Point PCM 40|pcm_f32le,48000,2,32,40
float64 2 44100 data (0.25 -0.25)x40|2 44100 64 Floating Point PCM 40|pcm_f64le,44100,2,64,40
float64 1 96000 ext data (0.25 -0.25)x40|1 96000 64 Floating Point PCM 80|pcm_f64le,96000,1,64,80
pcm16 2 8000 data (1000 -1000)x40 rf64|2 8000 16 Signed Integer PCM 40|pcm_s16le,8000,2,16,40
CASES
((errors == 0)) && echo "all formats open" && exit 0
exit 1
