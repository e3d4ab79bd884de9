# The archive rows of bench/run, sourced at its end (in BENCH_DIR, with its helpers):
# sonolift-tree -j 1 over four 5-minute 48 kHz 24-bit stereo files, digests and loudness columns
# included, beside four lone sonolift runs on the same files; the peak memory of one job (each
# job under /usr/bin/time); and sonolift-tree --verify on the result, which digests the four
# results and their sources: the SHA-256's speed. SONOLIFT_TREE names another build's driver
# (its sonolift-meta and sonolift beside it).
tree=${SONOLIFT_TREE:-$root/build/release/bin/sonolift-tree}
if [ -z "${SONOLIFT_TREE:-}" ] && [ ! -x "$tree" ]; then
  echo "== building sonolift-tree (release preset)"
  (cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target sonolift-tree sonolift-meta >/dev/null)
fi
[ -x "$tree" ] || { echo "bench/run: no sonolift-tree at $tree" >&2; exit 2; }
meta=${tree%/*}/sonolift-meta lone=${tree%/*}/sonolift

# Four recordings of pink noise whose level swells and fades, as the levelling rows' input.
mkdir -p tree-in
for i in 1 2 3 4; do
  f=tree-in/talk-$i.wav
  [ -f "$f" ] && [ "$(stat -c %s "$f")" -gt 86400000 ] && continue
  echo "== generating $f (300 s, 48 kHz 24-bit stereo)"
  if have sox; then
    sox -n -r 48000 -c 2 -b 24 "$f.tmp.wav" synth 300 pinknoise vol 0.6 tremolo 0.02 100
  else
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "anoisesrc=color=pink:sample_rate=48000:amplitude=0.6:duration=300" \
      -af "tremolo=f=0.1:d=1.0" -ac 2 -c:a pcm_s24le -fflags +bitexact -map_metadata -1 "$f.tmp.wav"
  fi
  mv "$f.tmp.wav" "$f"
done
tree_bytes=$(cat tree-in/*.wav | wc -c)

# Each job of the driver under /usr/bin/time, its peak memory added to jobs.txt.
printf '#!/bin/sh\n[ "$1" = job ] || exec %q "$@"\nexec /usr/bin/time -f %%M -a -o %q %q "$@"\n' \
  "$meta" "$PWD/jobs.txt" "$meta" >tree-meta
chmod +x tree-meta

t_names=("4 x sonolift" "sonolift-tree -j 1" "sonolift-tree --verify")
t_run() {
  case $1 in
    "4 x sonolift") timed bash -c 'for f in ../tree-in/*.wav; do "$0" "$f" >/dev/null || exit; done' "$lone" ;;
    "sonolift-tree -j 1") SONOLIFT_META=../tree-meta timed "$tree" -j 1 ../tree-in out >/dev/null ;;
    "sonolift-tree --verify") timed "$tree" --verify out ../tree-in >/dev/null ;;
  esac
}
declare -A t_wall t_rss
t_job=
for ((r = 1; r <= runs; r++)); do
  echo "== archive round $r of $runs"
  rm -rf work/* jobs.txt
  for i in "${!t_names[@]}"; do
    cat tree-in/*.wav >/dev/null
    sync
    (cd work && t_run "${t_names[$i]}") || { echo "bench/run: ${t_names[$i]} failed" >&2; exit 1; }
    read -r e u s m < <(tail -n 1 time.txt)
    t_wall[$i]+="$e " t_rss[$i]+="$m "
  done
  t_job+="$(sort -n jobs.txt | tail -n 1) "
done
rm -rf work/* time.txt jobs.txt

declare -A t_W
for i in "${!t_names[@]}"; do t_W[$i]=$(median "${t_wall[$i]}"); done
job_mib=$(awk -v k="$(median "$t_job")" 'BEGIN { printf "%.2f", k / 1024 }')
# nettle says which code its SHA-256 runs on (sha_ni: the processor's SHA extensions)
sha=$(NETTLE_FAT_VERBOSE=1 "$meta" version 2>&1 >/dev/null | sed -n 's/^libnettle: using \(sha[^ ]*\) .*/\1/p')
echo
echo "archive: four 5-minute 48 kHz 24-bit stereo files, $tree_bytes bytes; median of $runs runs;"
echo "x: the figure divided by the four lone runs'"
printf '%-27s %8s %7s %9s\n' command "wall s" x "RSS MiB"
for i in "${!t_names[@]}"; do
  printf '%-27s %8s %7s %9s\n' "${t_names[$i]}" "${t_W[$i]}" "$(ratio "${t_W[$i]}" "${t_W[0]}")" \
    "$(awk -v k="$(median "${t_rss[$i]}")" 'BEGIN { printf "%.2f", k / 1024 }')"
done
echo "one job's peak RSS: $job_mib MiB (the driver's row holds GNU parallel's)"
awk -v b="$tree_bytes" -v w="${t_W[2]}" -v p="${sha:-generic code}" 'BEGIN {
  printf "SHA-256 (nettle on %s): --verify digests %.0f MB in %.2f s, %.0f MB/s\n", p, 2 * b / 1e6, w, 2 * b / 1e6 / w }'
echo
echo "archive targets:"
check "sonolift-tree -j 1 / 4 lone sonolift runs" "$(ratio "${t_W[1]}" "${t_W[0]}")" "<=" 4
check "one job's peak RSS, MiB" "$job_mib" "<=" 16
