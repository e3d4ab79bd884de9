#!/usr/bin/env bash
# The outputs in sox and ffprobe: every accepted format with the input's encoding, bits, rate,
# channels and frame count; files laid out as recorders, editors and pipes leave them, and files
# made by ffmpeg and sox themselves, levelled to every frame the peers read. Every output opens
# in both without a warning. Skipped (77) where sox or ffmpeg is missing.
# Arguments: sonolift, sonolift-wavegen.
set -uo pipefail
for tool in sox ffprobe ffmpeg; do command -v $tool >/dev/null || { echo "$tool is not installed: skipped"; exit 77; }; done
sonolift=$(realpath -e -- "$1") wavegen=$(realpath -e -- "$2") || exit 1
dir=$(mktemp -d "${TMPDIR:-/tmp}/sonolift-interop.XXXXXX") || exit 1
trap 'rm -rf -- "$dir"' EXIT
cd "$dir" || exit 1
errors=0
fail() { echo "FAIL: $*"; errors=$((errors + 1)); }
channels() { ffprobe -v error -show_entries stream=channels -of csv=p=0 "$1" </dev/null; }
# Frames of FILE as sox and as ffmpeg decode it, "sox ffmpeg"; 0 for a file one cannot read.
peer_frames() {
    local ch=$(($(channels "$1" 2>/dev/null) + 0)) s f
    ((ch > 0)) || ch=1
    s=$(sox -V0 "$1" -t raw -e signed -b 32 - 2>/dev/null </dev/null | wc -c)
    f=$(ffmpeg -nostdin -v quiet -i "$1" -f s32le - 2>/dev/null | wc -c)
    echo "$((s / 4 / ch)) $((f / 4 / ch))"
}
# Levels IN; the output must open in sox and ffprobe without a word and hold FRAMES frames for both.
# sox warns about every extensible float file, whoever wrote it: it looks for a cbSize after
# the extension.
# Samples narrower than their container sox does not read at all ("padded samples"): such an
# output (NOSOX) is checked in ffmpeg alone.
level() { # WHAT IN FRAMES [NOSOX]
    rm -f -- waveout-*.wav
    "$sonolift" "$2" >/dev/null && [[ -f waveout-0-lift.wav ]] || { fail "$1: not levelled"; return 1; }
    local warnings quirk=- frames
    [[ $(od -An -tx2 -j20 -N2 waveout-0-lift.wav) != *fffe* ]] || quirk='wave header missing extended part of fmt chunk'
    warnings=$([[ ${4-} ]] || sox -V2 waveout-0-lift.wav -n 2>&1 | grep -vF -- "$quirk"; ffprobe -v warning waveout-0-lift.wav 2>&1 </dev/null)
    [[ -z $warnings ]] || fail "$1: $warnings"
    frames=$(peer_frames waveout-0-lift.wav)
    [[ ${4-} ]] && frames="$3 ${frames#* }"
    [[ $frames == "$3 $3" ]] || fail "$1: output has $(peer_frames waveout-0-lift.wav) frames, not $3"
}

# recipe | what sox says (channels rate bits encoding frames) | what ffprobe says
while IFS='|' read -r recipe sox ffprobe; do
    "$wavegen" in.wav $recipe && level "$recipe" in.wav "${sox##* }" || continue
    got_sox=$(for f in c r b e s; do sox --i -$f waveout-0-lift.wav 2>/dev/null; done | paste -sd' ')
    got_ffprobe=$(ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bits_per_sample,duration_ts \
        -of csv=p=0 waveout-0-lift.wav)
    [[ $got_sox == "$sox" && $got_ffprobe == "$ffprobe" ]] || fail "$recipe: sox '$got_sox', ffprobe '$got_ffprobe'"
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

# Layouts of real writers | the frames sonolift levels | the peers that read as many (the others
# read none: sox stops at a data size of 0; neither reads past an odd chunk without its pad).
S="(900 -900)x300 (-700 700)x300"
while IFS='|' read -r recipe frames peers; do
    "$wavegen" in.wav $recipe && level "$recipe" in.wav "$frames" || continue
    read -r s f < <(peer_frames in.wav)
    [[ $peers != *sox* || $s == "$frames" ]] || fail "$recipe: sox reads $s frames"
    [[ $peers != *ffmpeg* || $f == "$frames" ]] || fail "$recipe: ffmpeg reads $f frames"
done <<CASES
chunk bext 0102030405 raw 00 pcm16 2 44100 chunk iXML 616263 raw 00 data $S chunk LIST 494e464f4e414d45|600|sox ffmpeg
pcm24 1 48000 chunk LIST 494e464f49 raw 00 chunk _PMX 3c783e raw 00 data $S chunk cart 01 raw 00|1200|sox ffmpeg
chunk JUNK *28:00 pcm16 2 8000 chunk fact 58020000 chunk PEAK *24:00 data $S chunk junk 0a0b0c raw 00|600|sox ffmpeg
chunk bext 0102030405 pcm16 2 44100 data $S|600|
pcm16 2 44100 chunk iXML 616263 data $S|600|
pcm8 1 8000 data $S 1 raw 00 chunk LIST 494e464f|1201|sox ffmpeg
pcm16 2 44100 chunk LIST 494e464f data $S size 0xFFFFFFFF riff 0xFFFFFFFF|600|sox ffmpeg
pcm16 2 44100 data $S size 0x7FFFF000 riff 0x7FFFF024|600|sox ffmpeg
pcm16 1 44100 data $S 5 size 0x80000000 riff 0x80000024|1201|sox ffmpeg
float32 2 44100 data $S size 0 riff 0|600|ffmpeg
pcm16 2 44100 data $S size 0 riff 36|600|ffmpeg
pcm24 2 44100 data $S size 7200 cut 2500|409|sox ffmpeg
pcm16 2 44100 data $S chunk LIST 494e464f riff 1236|600|sox ffmpeg
pcm16 2 44100 ext chunk fact 58020000 data $S riff 2436|600|sox ffmpeg
pcm16 2 44100 chunk LIST 494e464f data $S rf64 ds64 0 0 0|600|
pcm24 1 48000 data $S bw64 ds64 0 0 0|1200|
pcm16 2 48000 chunk chna 0100010001000000 chunk axml 3c61646d2f3e data $S bw64|600|ffmpeg
chunk bext 010203 raw 78 chunk Xyz1 01020304 pcm16 2 44100 data (0)x2000|1000|sox ffmpeg
pcm16 2 44100 data $S chunk LIST 494e464f49 raw 00 raw 01020304050607|600|sox ffmpeg
CASES

# Samples narrower than their container: every frame, each sample a multiple of its valid step.
while IFS='|' read -r recipe frames bytes step; do
    "$wavegen" in.wav $recipe && level "$recipe" in.wav "$frames" nosox || continue
    tail -c +69 waveout-0-lift.wav | od -An -v -td$bytes -w$bytes |
        awk -v s="$step" '$1 % s != 0 { bad++ } $1 != 0 { moved++ } END { exit bad > 0 || moved == 0 }' || fail "$recipe: samples off their valid bits"
    [[ $(od -An -tu2 -j38 -N2 waveout-0-lift.wav | xargs) == $(od -An -tu2 -j38 -N2 in.wav | xargs) ]] || fail "$recipe: valid bits not kept"
done <<CASES
pcm32 2 48000 ext 24 3 data (25600000 -25600000)x300 (-19200000 19200000)x300|600|4|256
pcm16 1 44100 ext 12 4 data (1600 -1600)x300 (-1200 1200)x300|1200|2|16
CASES

# Files made by ffmpeg and sox writing into a pipe, a Broadcast Wave file with an odd coding
# history, RF64: every frame the peers read.
tone() { ffmpeg -nostdin -v error -f lavfi -i "sine=f=440:d=0.7:r=48000" -ac "$1" "${@:2}"; }
tone 2 -c:a pcm_s16le -f wav - | cat >pipe16.wav
tone 1 -c:a pcm_s24le -f wav - | cat >pipe24.wav
tone 2 -c:a pcm_f32le -f wav - | cat >pipefloat.wav
sox -n -r 44100 -c 2 -b 16 -t raw - synth 0.6 sine 300 | sox -t raw -r 44100 -c 2 -b 16 -e signed - -t wav - 2>/dev/null | cat >soxpipe.wav
tone 1 -c:a pcm_s16le -write_bext 1 -metadata coding_history="A=PCM,F=48000,W=16,M=mono,T=x1" bext.wav
tone 2 -c:a pcm_s24le -rf64 always rf64.wav
tone 1 -c:a pcm_f64le -rf64 auto rf64auto.wav
for f in pipe16 pipe24 pipefloat soxpipe bext rf64 rf64auto; do
    read -r s ff < <(peer_frames $f.wav)
    [[ $s == "$ff" && $s -gt 20000 ]] || { fail "$f: the peers read $s and $ff frames"; continue; }
    level "$f" $f.wav "$s"
done
# RF64 into a pipe: every ds64 size 0, the data size 0xFFFFFFFF; neither peer reads a frame of
# it, sonolift all 0.7 s.
tone 2 -c:a pcm_s24le -rf64 always -f wav - | cat >rf64pipe.wav
[[ $(od -An -tx1 -j20 -N8 rf64pipe.wav | tr -d ' ') == 0000000000000000 ]] || fail "rf64pipe: ffmpeg wrote a ds64 RIFF size"
level rf64pipe rf64pipe.wav 33600
# 24-bit samples in 32-bit containers, where this ffmpeg writes them.
tone 2 -c:a pcm_s32le -bits_per_raw_sample 24 wide24.wav
if [[ $(od -An -tu2 -j38 -N2 wide24.wav | xargs) == 24 ]]; then
    level wide24 wide24.wav 33600 nosox
else
    echo "ffmpeg writes no 24-bit samples in 32-bit containers: that file not tested"
fi

((errors == 0)) && echo "all formats and layouts open" && exit 0
exit 1
