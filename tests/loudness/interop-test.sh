#!/usr/bin/env bash
# sonoloud against ffmpeg's ebur128 filter on speech-like recordings in every format: integrated
# loudness within 0.1 LU, true peak within 0.3 dB; each normalised output, measured by ffmpeg,
# within 0.1 LU of the target (0.2 where the limiter shaped its peaks), its true peak at most
# -0.9 dBTP against a ceiling of -1; with --static, at the target or with its true peak within
# 0.1 dB of the ceiling; every output opens in sox without a word and in ffprobe with the
# input's codec, rate and channels. Skipped (77) without sox, ffmpeg or ffprobe. Argument:
# sonoloud.
set -uo pipefail
source "$(dirname -- "$0")/test-lib.sh" "$1" sox ffmpeg ffprobe
# a field of a CSV header and row, by column name; of sonoloud's row for a file
column() { awk -F, -v c="$2" 'NR == 1 { for (i = 1; i <= NF; i++) n[$i] = i } NR == 2 { print $n[c] }' <<<"$1"; }
field() { column "$("$sonoloud" --csv "$1")" "$2"; }
probe() { ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$1"; }
near() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(a != "" && b != "" && d <= t && -d <= t) }'; }

# Speech-like sound: voice-band noise in syllables, phrases swelling and falling to near
# silence, at three levels.
speech() { # out channels rate level-dB sox-output-options...
    local out=$1 ch=$2 rate=$3 level=$4
    shift 4
    sox -R -V1 -n -r "$rate" -c "$ch" "$@" "$out" synth 12 pinknoise synth 12 sine amod 0.25 100 \
        band 900 700 tremolo 4.5 85 gain -n "$level"
}
n=0
while read -r ch rate level opts; do
    n=$((n + 1))
    in=in-$n.wav
    speech "$in" "$ch" "$rate" "$level" $opts || { fail "$opts: sox could not make the input"; continue; }
    read -r fi _ ftp < <(figures "$in")
    i=$(field "$in" integrated_lufs) tp=$(field "$in" true_peak_dbtp)
    near "$i" "$fi" 0.1 || fail "$in ($opts): integrated $i, ffmpeg $fi"
    near "$tp" "$ftp" 0.3 || fail "$in ($opts): true peak $tp, ffmpeg $ftp"
    for run in "-16" "-23" "-16 --static"; do
        read -r target how <<<"$run"
        rm -f waveout-*
        rows=$("$sonoloud" --csv -t $run -c -1 "$in")
        out=waveout-0-loud.wav
        [ -f "$out" ] || { fail "$in: no output for $run: $rows"; continue; }
        read -r oi _ otp < <(figures "$out")
        if [[ -n $how && $(column "$rows" ceiling_limited) == yes ]]; then
            near "$otp" -1 0.1 || fail "$in -> $run, limited: true peak $otp"
        else
            near "$oi" "$target" "$([[ -n $(column "$rows" limited_by_db) ]] && echo 0.2 || echo 0.1)" ||
                fail "$in -> $run: integrated $oi ($(column "$rows" status))"
        fi
        awk -v p="$otp" 'BEGIN { exit !(p <= -0.9) }' || fail "$in -> $run: true peak $otp over the ceiling"
        said=$(sox -V2 "$out" -n 2>&1)
        [ -z "$said" ] || fail "$in -> $run: sox says $said"
        [ "$(probe "$out")" == "$(probe "$in")" ] || fail "$in -> $run: ffprobe sees $(probe "$out"), not $(probe "$in")"
    done
done <<'FILES'
1 44100 -3 -b 16
2 48000 -1 -b 16
2 44100 -12 -b 8
1 48000 -6 -b 24
2 96000 -2 -b 24
2 44100 -8 -b 32
1 22050 -4 -e floating-point -b 32
2 48000 -20 -e floating-point -b 64
FILES
((errors == 0)) && echo "all $n recordings agree with ffmpeg" && exit 0
exit 1
