# The loudness rows of bench/run, sourced at its end (in BENCH_DIR, with its helpers): sonoloud
# measuring the 60-minute 16-bit and 24-bit files beside ffmpeg's ebur128 filter with true peaks,
# and normalising the 16-bit file (-t -16) beside ffmpeg's two loudnorm passes (linear, written
# in the input's format and rate). SONOLOUD names another build.
sonoloud=${SONOLOUD:-$root/build/release/bin/sonoloud}
if [ -z "${SONOLOUD:-}" ] && [ ! -x "$sonoloud" ]; then
  echo "== building sonoloud (release preset)"
  (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target sonoloud >/dev/null)
fi
[ -x "$sonoloud" ] || { echo "bench/run: no sonoloud at $sonoloud" >&2; exit 2; }

# ffmpeg's two passes as its users run them: measure, then normalise with the measured figures.
loudnorm_two_passes() { # in out codec
  local f
  f=$(ffmpeg -nostdin -hide_banner -nostats -i "$1" -af loudnorm=I=-16:TP=-1:print_format=json -f null - 2>&1 |
    awk -F'"' '/"input_i"/ { i = $4 } /"input_tp"/ { tp = $4 } /"input_lra"/ { lra = $4 } /"input_thresh"/ { th = $4 }
      /"target_offset"/ { o = $4 } END { printf "measured_I=%s:measured_TP=%s:measured_LRA=%s:measured_thresh=%s:offset=%s", i, tp, lra, th, o }')
  ffmpeg -nostdin -loglevel error -y -i "$1" -af "loudnorm=I=-16:TP=-1:linear=true:$f" -ar 44100 -c:a "$3" "$2"
}
export -f loudnorm_two_passes

l_names=("sonoloud, 16-bit" "sonoloud, 24-bit" "sonoloud -t -16, 16-bit" "sonoloud --static, 16-bit")
if have ffmpeg; then
  l_names+=("ffmpeg ebur128, 16-bit" "ffmpeg ebur128, 24-bit" "ffmpeg loudnorm x2, 16-bit")
else
  echo "== ffmpeg is missing: its loudness rows are skipped"
fi
l_run() {
  case $1 in
    "sonoloud, 16-bit") timed "$sonoloud" ../long.wav >/dev/null ;;
    "sonoloud, 24-bit") timed "$sonoloud" ../long24.wav >/dev/null ;;
    "sonoloud -t -16, 16-bit") timed "$sonoloud" -t -16 -c -1 ../long.wav >/dev/null ;;
    # one static gain cannot bring this loud noise to -16 LUFS under -1 dBTP: the miss (status 2
    # and its line) is the right answer, and the run still counts
    "sonoloud --static, 16-bit") timed "$sonoloud" --static -t -16 -c -1 ../long.wav >/dev/null 2>static.txt ||
      { (($? == 2)) && grep -q 'missed the target' static.txt; } ;;
    "ffmpeg ebur128, 16-bit") timed ffmpeg -nostdin -nostats -i ../long.wav -af ebur128=peak=true -f null - 2>/dev/null ;;
    "ffmpeg ebur128, 24-bit") timed ffmpeg -nostdin -nostats -i ../long24.wav -af ebur128=peak=true -f null - 2>/dev/null ;;
    "ffmpeg loudnorm x2, 16-bit") timed bash -c 'loudnorm_two_passes "$@"' _ ../long.wav out.wav pcm_s16le ;;
  esac
}
declare -A l_wall l_cpu l_rss l_at
for i in "${!l_names[@]}"; do l_at[${l_names[$i]}]=$i; done
for ((r = 1; r <= runs; r++)); do
  echo "== loudness round $r of $runs"
  for i in "${!l_names[@]}"; do
    rm -f work/*
    sync
    (cd work && l_run "${l_names[$i]}") || { echo "bench/run: ${l_names[$i]} failed" >&2; exit 1; }
    read -r e u s m < <(tail -n 1 time.txt)
    l_wall[$i]+="$e "
    l_cpu[$i]+="$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }') "
    l_rss[$i]+="$m "
  done
done
rm -f work/* time.txt

echo
echo "loudness, the same 60-minute files; median of $runs runs; x: the figure divided by ffmpeg's on the same work"
printf '%-27s %8s %7s %8s %9s\n' command "wall s" x "CPU s" "RSS MiB"
declare -A l_W l_M
for i in "${!l_names[@]}"; do
  l_W[$i]=$(median "${l_wall[$i]}")
  l_M[$i]=$(awk -v k="$(median "${l_rss[$i]}")" 'BEGIN { printf "%.2f", k / 1024 }')
done
for i in "${!l_names[@]}"; do
  case ${l_names[$i]} in
    "sonoloud, 16-bit") peer=${l_at[ffmpeg ebur128, 16-bit]:-} ;;
    "sonoloud, 24-bit") peer=${l_at[ffmpeg ebur128, 24-bit]:-} ;;
    "sonoloud -t"* | "sonoloud --static"*) peer=${l_at[ffmpeg loudnorm x2, 16-bit]:-} ;;
    *) peer=$i ;;
  esac
  printf '%-27s %8s %7s %8s %9s\n' "${l_names[$i]}" "${l_W[$i]}" "$([ -n "$peer" ] && ratio "${l_W[$i]}" "${l_W[$peer]}")" \
    "$(median "${l_cpu[$i]}")" "${l_M[$i]}"
done
echo
echo "loudness targets (sonoloud's figure against ffmpeg's):"
for s in "sonoloud, 16-bit:ffmpeg ebur128, 16-bit:0.1" "sonoloud, 24-bit:ffmpeg ebur128, 24-bit:0.1" \
         "sonoloud -t -16, 16-bit:ffmpeg loudnorm x2, 16-bit:0.1"; do
  IFS=: read -r mine theirs limit <<<"$s"
  [ -n "${l_at[$theirs]:-}" ] && check "$mine / $theirs" "$(ratio "${l_W[${l_at[$mine]}]}" "${l_W[${l_at[$theirs]}]}")" "<=" "$limit"
  check "$mine: peak RSS, MiB" "${l_M[${l_at[$mine]}]}" "<=" 16
done
# The limiter's cost beside one static gain, for the record: the static pass got faster with the
# meter of its own, so this ratio is no measure against the static pass the limiter replaced.
echo "sonoloud -t -16 / sonoloud --static: $(ratio "${l_W[${l_at[sonoloud -t -16, 16-bit]}]}" "${l_W[${l_at[sonoloud --static, 16-bit]}]}")"
