#!/usr/bin/env bash
# sonolift-tree end to end on a generated tree of awkward names: every result byte-identical to
# a plain sonolift run on that file alone, failures listed, the log, --resume after an
# interrupted run, refused folders, --dry-run, switches passed through, usage errors.
# Arguments: sonolift-tree (the copy next to sonolift), the wave generator, sonolift.
set -uo pipefail
if ! command -v parallel >/dev/null || ! parallel --version 2>/dev/null | head -n 1 | grep -q '^GNU parallel'; then
    echo "GNU parallel is not installed: skipped"
    exit 77
fi
tree=$(realpath -e -- "$1") wave=$(realpath -e -- "$2") sonolift=$(realpath -e -- "$3") || exit 1
unset SONOLIFT
export LC_ALL=C
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tree-test.XXXXXX") || exit 1
tmp=$(realpath -e -- "$tmp")
# the driver's own lists too, so that a killed run leaves nothing outside
export TMPDIR=$tmp
trap 'rm -rf -- "$tmp"' EXIT
errors=0

fail() {
    printf 'FAIL: %s\n' "$*"
    errors=$((errors + 1))
}
# same WHAT EXPECTED ACTUAL
same() {
    [[ $2 == "$3" ]] && return 0
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -n 30
}
# run ARGS...: the driver, its streams captured in $out and $err, its exit status in $rc
run() {
    "$tree" "$@" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null
    rc=$?
    out=$(cat "$tmp/stdout"; echo x) && out=${out%x}
    err=$(cat "$tmp/stderr"; echo x) && err=${err%x}
}
q() { printf '%q' "$1"; }
# Every name and content of a tree, for before/after comparisons.
snapshot() { (cd "$1" && find . -printf '%y %m %s %P\0' | sort -z && find . -type f -print0 | sort -z | xargs -0r sha256sum); }

# --- the tree: good files under awkward names, a few damaged ones, files to be left alone ---
src=$tmp/src
folders=("" "a" "a/b c" "a/b c/-d" $'line\nbreak' "q'uo\"te" "deep/1/2/3/x.wav")
names=("plain.wav" "with blank.wav" "-dash.wav" "--help.wav" "it's.wav" 'say "hi".wav' $'new\nline.wav'
    "star*.wav" "br[1].wav" "UPPER.WAV" "Mixed.Wav" "{}.wav" " lead.wav" "trail .wav")
rates=(8000 22050 44100)
good=() bad=()
seed=0
for f in "${!folders[@]}"; do
    dir=$src${folders[f]:+/${folders[f]}}
    mkdir -p -- "$dir"
    for n in "${!names[@]}"; do
        (((n + f) % 2 == 0)) || continue
        seed=$((seed + 1))
        rel=${folders[f]:+${folders[f]}/}${names[n]}
        ch=$((1 + seed % 2))
        "$wave" "$src/$rel" pcm16 $ch "${rates[seed % 3]}" data music $((700 + seed * 211 % 5000)) $ch "$seed" 100 || exit 1
        good+=("$rel")
    done
done
# hold.wav is where the interrupted runs stop.
"$wave" "$src/hold.wav" pcm16 1 22050 data music 4000 1 100 100 || exit 1
# A damaged RIFF size: marked " -- Corrupt" by sonolift and levelled as usual.
"$wave" "$src/a/riff size.wav" pcm16 1 8000 data music 3000 1 101 100 || exit 1
printf '\x00\x00\x00\x7f' | dd of="$src/a/riff size.wav" bs=1 seek=4 conv=notrunc status=none
# Full-scale samples that never cross zero: no segment ends, so the gain of 100 overloads.
"$wave" "$src/loud.wav" pcm16 1 8000 data "(32767)x100" || exit 1
good+=("hold.wav" "a/riff size.wav" "loud.wav" "q'uo\"te/24bit.wav" "-x/8bit.wav")
mkdir -p -- "$src/bad" "$src/-x"
"$wave" "$src/q'uo\"te/24bit.wav" pcm24 2 8000 data music 500 2 103 100 || exit 1
"$wave" "$src/-x/8bit.wav" pcm8 1 8000 data "(0)x500" || exit 1
echo "not audio" >"$src/bad/text.wav"
: >"$src/bad/empty.WAV"
"$wave" "$src/a/b c/cut.wav" pcm16 1 8000 data music 4000 1 102 100 cut 3000
bad=("bad/text.wav" "bad/empty.WAV" "a/b c/cut.wav")
echo "left alone" >"$src/notes.txt"
ln -s plain.wav "$src/link.wav"
sorted() { printf '%s\0' "$@" | sort -z; }
readarray -d '' good < <(sorted "${good[@]}")
readarray -d '' bad < <(sorted "${bad[@]}")
readarray -d '' all < <(sorted "${good[@]}" "${bad[@]}")
declare -A is_bad=()
for rel in "${bad[@]}"; do is_bad[$rel]=1; done
snapshot "$src" >"$tmp/before"

# --- plain sonolift on each file alone: the expected result and overload count ---
declare -A overloads=() reference=()
for i in "${!all[@]}"; do
    rel=${all[i]} ref=$tmp/ref/$i
    mkdir -p "$ref" && cp -- "$src/$rel" "$ref/input.wav"
    (cd "$ref" && "$sonolift" input.wav >stdout 2>&1)
    overloads[$rel]=$(grep -c '^Overload ' "$ref/stdout")
    reference[$rel]=$ref/waveout-0-lift.wav
    refused=no listed=no
    grep -qxF "FileName: input.wav is not a wave file." "$ref/stdout" && refused=yes
    [[ -z ${is_bad[$rel]+x} ]] || listed=yes
    [[ $refused == "$listed" ]] || fail "fixture: $(q "$rel"): refused $refused"
done
((${overloads[loud.wav]} > 0)) || fail "fixture: loud.wav does not overload"

# The results of a finished run: every good file identical to its reference, nothing else.
check_results() { # WHAT DEST
    local rel listing=
    for rel in "${good[@]}"; do
        cmp -s -- "${reference[$rel]}" "$2/$rel" || fail "$1: result of $(q "$rel") differs"
    done
    listing=$(cd "$2" && find . -mindepth 1 \( -type f -o -type l \) -printf '%P\0' | sort -z | tr '\0' '\n')
    same "$1: files in DEST_DIR" "$(printf '%s\n' "${good[@]}")" "$listing"
    listing=$(find "$2" -name '.sonolift-tree*')
    same "$1: temporary files left" "" "$listing"
}
failure_lines() {
    local rel
    for rel in "${bad[@]}"; do printf 'failed: %s: not a wave file\n' "$(q "$rel")"; done
}
G=${#good[@]} B=${#bad[@]}

# --- a whole run on two cores, with a log ---
dest=$tmp/dest
run -j 2 --log "$tmp/run.log" "$src" "$dest"
same "run: exit status" 1 "$rc"
same "run: stdout" "sonolift-tree: $G done, $B failed, 0 skipped"$'\n'"$(failure_lines)"$'\n' "$out"
same "run: stderr" "" "$err"
check_results run "$dest"
expected_log=$(for rel in "${all[@]}"; do
    status=done
    [[ -n ${is_bad[$rel]+x} ]] && status=failed
    printf '%s\t%s\tS\t%s\n' "$(q "$rel")" "$status" "${overloads[$rel]}"
done | sort)
actual_log=$(awk -F'\t' -v OFS='\t' '$3 ~ /^[0-9]+\.[0-9][0-9]$/ { $3 = "S" } 1' "$tmp/run.log" | sort)
same "run: log" "$expected_log" "$actual_log"

# --- the plan of a resumed run: good files are up to date, damaged ones would be tried again ---
snapshot "$dest" >"$tmp/dest-before"
run --dry-run --resume "$src" "$dest" -- --up 3
plan=$(for rel in "${all[@]}"; do
    if [[ -n ${is_bad[$rel]+x} ]]; then echo "level $(q "$rel")"; else echo "skip $(q "$rel")"; fi
done)
same "dry run: exit status" 0 "$rc"
same "dry run: stdout" "$plan"$'\n'"sonolift-tree: $B to level, $G skipped, from $(q "$src") into $(q "$dest") with $(q "$(realpath -- "$sonolift")") --up 3"$'\n' "$out"
snapshot "$dest" | cmp -s - "$tmp/dest-before" || fail "dry run: DEST_DIR changed"
run --dry-run "$src" "$tmp/not-made"
[[ $rc == 0 && ! -e $tmp/not-made ]] || fail "dry run: DEST_DIR created or failed ($rc)"

# --- --resume redoes only results that are missing or older than their source ---
touch -d @0 -- "$dest/${good[0]}"
rm -- "$dest/${good[1]}"
run --resume --log "$tmp/resume.log" "$src" "$dest"
same "resume: exit status" 1 "$rc"
same "resume: stdout" "sonolift-tree: 2 done, $B failed, $((G - 2)) skipped"$'\n'"$(failure_lines)"$'\n' "$out"
check_results resume "$dest"
same "resume: skipped log lines" "$((G - 2))" "$(grep -c $'\tskipped\t0.00\t-$' "$tmp/resume.log")"

# --- interrupted part-way (TERM to the driver; KILL to everything), then resumed ---
cat >"$tmp/hold-sonolift" <<EOF
#!/bin/bash
# sonolift, except on hold.wav: leaves half a result, reports its process group, waits to be killed.
if [[ \$(readlink in.wav) == */hold.wav ]]; then
    $(q "$sonolift") "\$@" >/dev/null
    truncate -s 100 waveout-0-lift.wav
    read -r _ _ _ _ pgid _ </proc/\$\$/stat
    echo "\$pgid" >"\$HOLD_FLAG.new" && mv "\$HOLD_FLAG.new" "\$HOLD_FLAG"
    exec sleep 60
fi
exec $(q "$sonolift") "\$@"
EOF
chmod +x "$tmp/hold-sonolift"
before=0
for rel in "${good[@]}"; do [[ $rel < hold.wav ]] && before=$((before + 1)); done
for signal in TERM KILL; do
    dest=$tmp/interrupted-$signal flag=$tmp/held-$signal
    SONOLIFT=$tmp/hold-sonolift HOLD_FLAG=$flag setsid "$tree" -j 1 "$src" "$dest" >/dev/null 2>&1 </dev/null &
    driver=$!
    for ((i = 0; i < 600; i++)); do [[ -e $flag ]] && break; sleep 0.1; done
    job=$(cat "$flag" 2>/dev/null)
    [[ -n $job ]] || fail "$signal: the run never reached hold.wav"
    if [[ $signal == TERM ]]; then
        kill -TERM "$driver"
        wait "$driver" 2>/dev/null
        same "TERM: exit status" 143 "$?"
        same "TERM: temporary files left" "" "$(find "$dest" -name '.sonolift-tree*')"
    else
        kill -KILL -- "-$driver" ${job:+"-$job"}
        wait "$driver" 2>/dev/null
    fi
    [[ -z $job ]] || kill -KILL -- "-$job" 2>/dev/null
    [[ ! -e $dest/hold.wav ]] || fail "$signal: half a result under its final name"
    run --resume -j 2 "$src" "$dest"
    same "$signal resumed: exit status" 1 "$rc"
    same "$signal resumed: stdout" \
        "sonolift-tree: $((G - before)) done, $B failed, $before skipped"$'\n'"$(failure_lines)"$'\n' "$out"
    check_results "$signal resumed" "$dest"
done

# --- switches reach every run ---
mkdir -p "$tmp/two/-sub dir"
cp -- "$src/${good[2]}" "$tmp/two/-sub dir/one.wav" && cp -- "$src/hold.wav" "$tmp/two/it's.wav"
switches=(--rate 0.02s --up 3 --peak 99)
run "$tmp/two" "$tmp/two-out" -- "${switches[@]}"
same "switches: stdout" "sonolift-tree: 2 done, 0 failed, 0 skipped"$'\n' "$out"
same "switches: exit status" 0 "$rc"
for rel in "-sub dir/one.wav" "it's.wav"; do
    mkdir -p "$tmp/sw" && cp -- "$tmp/two/$rel" "$tmp/sw/x.wav" && (cd "$tmp/sw" && "$sonolift" "${switches[@]}" x.wav >/dev/null)
    cmp -s -- "$tmp/sw/waveout-0-lift.wav" "$tmp/two-out/$rel" || fail "switches: result of $(q "$rel") differs"
done
run "$tmp/two" "$tmp/two-bad" -- --up x
[[ $rc == 2 && -z $out && $err == *$'\n'"sonolift-tree: sonolift refuses the switches: --up x"$'\n' ]] ||
    fail "refused switches: $rc $(q "$err")"
[[ ! -e $tmp/two-bad ]] || fail "refused switches: DEST_DIR created"

# --- refused before anything starts ---
ln -s "$src/a" "$tmp/link-into-src"
mkdir "$tmp/linked-dest" && ln -s "$src/a" "$tmp/linked-dest/a"
refusals=(
    "$src" "$src" "refused: DEST_DIR $(q "$src") is SOURCE_DIR"
    "$src/" "$src/./" "refused: DEST_DIR $(q "$src") is SOURCE_DIR"
    "$src" "$src/a/new" "refused: DEST_DIR $(q "$src/a/new") lies inside SOURCE_DIR $(q "$src")"
    "$src" "$tmp/link-into-src/new" "refused: DEST_DIR $(q "$src/a/new") lies inside SOURCE_DIR $(q "$src")"
    "$src/a" "$src" "refused: SOURCE_DIR $(q "$src/a") lies inside DEST_DIR $(q "$src")"
    "$src" "$tmp/linked-dest" "refused: $(q "$src/a") in DEST_DIR lies inside SOURCE_DIR $(q "$src")"
    "$tmp/missing" "$tmp/out" "SOURCE_DIR $(q "$tmp/missing") is not a folder"
)
for ((i = 0; i < ${#refusals[@]}; i += 3)); do
    run "${refusals[i]}" "${refusals[i + 1]}"
    same "refusal $((i / 3)): exit status" 2 "$rc"
    same "refusal $((i / 3)): output" "|sonolift-tree: ${refusals[i + 2]}"$'\n' "$out|$err"
done
run --log "$src/a/LOG.WAV" "$src" "$tmp/out"
same "log over a source" "2|sonolift-tree: refused: the log file $(q "$src/a/LOG.WAV") would replace a source"$'\n' "$rc|$out$err"
[[ ! -e $src/a/new && ! -e $tmp/out ]] || fail "refusal: a folder was created"

# --- usage errors ---
usage_error() { # MESSAGE ARGS...
    local message=$1
    shift
    run "$@"
    same "usage '$*'" "2|sonolift-tree: $message"$'\n'"Try 'sonolift-tree --help' for more information."$'\n' "$rc|$out$err"
}
usage_error "expected SOURCE_DIR and DEST_DIR"
usage_error "expected SOURCE_DIR and DEST_DIR" "$src"
usage_error "invalid number of jobs '0'" -j 0 "$src" "$tmp/out"
usage_error "unrecognized option '--bogus'" --bogus "$src" "$tmp/out"
usage_error "option '--log' requires an argument" "$src" "$tmp/out" --log

snapshot "$src" | cmp -s - "$tmp/before" || fail "a source changed"
if ((errors)); then
    echo "$errors failures"
    exit 1
fi
echo "all passed"
