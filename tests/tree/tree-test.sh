#!/usr/bin/env bash
# sonolift-tree end to end on a generated tree of awkward names and of files that carry metadata
# (bext with a coding history, iXML, LIST/INFO with odd-sized strings, cue, adtl): every
# result's audio byte for byte what a plain sonolift run on that file alone writes, its other
# chunks the source's, the manifest's digests and loudness, --verify, --no-metadata, the log, --resume after
# an interrupted run, jobs over ssh, --dry-run, switches, --target (checked with ffmpeg). Refusals and usage errors: tree.cases.
# Arguments: sonolift-tree (the copy next to sonolift), the wave generator, sonolift.
set -uo pipefail
if ! command -v parallel >/dev/null || [[ $(parallel --version 2>/dev/null) != 'GNU parallel'* ]]; then
    echo "GNU parallel is not installed: skipped"
    exit 77
fi
tree=$(realpath -e -- "$1") wave=$(realpath -e -- "$2") sonolift=$(realpath -e -- "$3") || exit 1
meta=${sonolift%/*}/sonolift-meta sonoloud=${sonolift%/*}/sonoloud
unset SONOLIFT SONOLIFT_META
export LC_ALL=C
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tree-test.XXXXXX") && tmp=$(realpath -e -- "$tmp") || exit 1
export TMPDIR=$tmp # the driver's own lists too, so that a killed run leaves nothing outside
source "$(dirname -- "$0")/sshd-loopback.sh"
trap 'sshd_stop; rm -rf -- "$tmp"' EXIT
errors=0
fail() { printf 'FAIL: %s\n' "$*"; errors=$((errors + 1)); }
same() { # WHAT EXPECTED ACTUAL
    [[ $2 == "$3" ]] && return 0
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -n 30
}
run() { # the driver: $out, $err, $rc
    "$tree" "$@" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null
    rc=$?
    out=$(cat "$tmp/stdout"; echo x) && out=${out%x} && err=$(cat "$tmp/stderr"; echo x) && err=${err%x}
}
q() { printf '%q' "$1"; }
snapshot() { (cd "$1" && find . -printf '%y %m %s %P\0' | sort -z && find . -type f -print0 | sort -z | xargs -0r sha256sum); }
# The payload of a file's first chunk TAG, and the tags in order.
chunk() { local o t s; read -r o t s < <("$meta" list "$1" | grep -m1 "^[0-9]* $2 "); tail -c +$((o + 9)) -- "$1" | head -c "$s"; }
tags() { "$meta" list "$1" | cut -d' ' -f2 | tr '\n' ' '; }
# A bext payload without its version and loudness fields.
bext_fixed() { head -c 346 "$1"; tail -c +349 "$1" | head -c 64; tail -c +423 "$1"; }
# sonoloud's figures of a file (CSV): integrated loudness, loudness range, true peak.
# (through a link: sonoloud reads wildcards and switches in names, as sonolift does)
loud_csv() { ln -sfn -- "$1" "$tmp/measured.wav" && "$sonoloud" --csv "$tmp/measured.wav"; }
figures() { loud_csv "$1" | awk -F, 'NR == 2 { print $3, $4, $5 }'; }
# The same as a version 2 bext stores them: hundredths, 32767 where a figure is not available.
hundredths() { loud_csv "$1" | awk -F, 'NR == 2 { for (i = 3; i <= 8; i++) if (i != 6)
    printf "%d%s", $i == "" ? 32767 : ($i < 0 ? -int(-$i * 100 + 0.5) : int($i * 100 + 0.5)), i < 8 ? " " : "\n" }'; }

# --- the tree: good files under awkward names, files with metadata, damaged ones, others ---
src=$tmp/src
folders=("" "a" "a/b c" "a/b c/-d" $'line\nbreak' "q'uo\"te" "deep/1/2/3/x.wav")
names=("plain.wav" "with blank.wav" "-dash.wav" "--help.wav" "it's.wav" 'say "hi".wav' $'new\nline.wav'
    "star*.wav" "br[1].wav" "UPPER.WAV" "Mixed.Wav" "{}.wav" " lead.wav" "trail .wav")
good=() seed=0
for f in "${!folders[@]}"; do
    mkdir -p -- "$src${folders[f]:+/${folders[f]}}"
    for n in "${!names[@]}"; do
        (((n + f) % 3 == 0)) || continue
        rel=${folders[f]:+${folders[f]}/}${names[n]} seed=$((seed + 1)) ch=$((1 + seed % 2))
        "$wave" "$src/$rel" pcm16 $ch $((8000 + seed * 7000)) data music $((700 + seed * 211 % 5000)) $ch $seed 100 || exit 1
        good+=("$rel")
    done
done
# bext: description, originator, reference, date, time, time reference, version 2, UMID,
# the loudness of the recording before levelling (never to be carried into a result) and
# reserved fields (602 bytes), then the coding history
{ printf '%-256s%-32s%-32s2026-01-0210:11:12' 'An interview' 'field recorder' 'ref-1'; head -c 8 /dev/zero
  printf '\x02\x00'; head -c 64 /dev/zero; printf '\x34\x12%.0s' 1 2 3 4 5; head -c 180 /dev/zero
  printf 'A=PCM,F=48000,W=24,M=stereo,T=field recorder\r\n'; } >"$tmp/bext"
printf '<BWFXML><NOTE>odd</NOTE></BWFXML>' >"$tmp/ixml" # 33 bytes: a pad byte in the result
printf 'INFOINAM\x05\x00\x00\x00Talk\x00\x00ICMT\x07\x00\x00\x00levels\x00\x00' >"$tmp/info"
printf '\x01\x00\x00\x00\x01\x00\x00\x00\x10\x00\x00\x00data\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00\x00' >"$tmp/cue"
printf 'adtllabl\x07\x00\x00\x00\x01\x00\x00\x00in\x00\x00' >"$tmp/adtl"
meta_chunks="chunk bext @$tmp/bext chunk iXML @$tmp/ixml chunk LIST @$tmp/info chunk cue. @$tmp/cue chunk LIST @$tmp/adtl"
mkdir -p -- "$src/meta" "$src/bad"
"$wave" "$src/meta/stereo24.wav" pcm24 2 48000 $meta_chunks data music 3000 2 77 100 || exit 1
"$wave" "$src/meta/mono16.wav" pcm16 1 44100 $meta_chunks data music 2500 1 78 100 || exit 1
"$wave" "$src/meta/long.wav" pcm24 2 48000 $meta_chunks data music 240000 2 79 100 || exit 1 # 5 s: loudness to measure
"$wave" "$src/hold.wav" pcm16 1 22050 data music 4000 1 100 100 || exit 1 # the interrupted runs stop here
# A damaged RIFF size: marked " -- Corrupt" by sonolift and levelled; samples that never cross
# zero: the gain of 100 overloads.
"$wave" "$src/a/riff size.wav" pcm16 1 8000 data music 3000 1 101 100 riff 0x7f000000 || exit 1
"$wave" "$src/loud.wav" pcm16 1 8000 data "(32767)x100" || exit 1
good+=(meta/stereo24.wav meta/mono16.wav meta/long.wav hold.wav "a/riff size.wav" loud.wav)
# As recorders, editors and pipes leave files: odd chunks with and without their pad byte,
# streamed headers, a header never finished, a file cut short. Each is levelled whole; those
# whose header disagrees with the file say so in the manifest.
mkdir -p -- "$src/real"
{ cat "$tmp/bext"; printf 'A=PCM,F=48000,W=16,M=stereo,T=editors\r\n'; } >"$tmp/bext-odd" # 687 bytes
"$wave" "$src/real/odd bext.wav" chunk bext @$tmp/bext-odd raw 00 pcm16 2 48000 chunk iXML @$tmp/ixml data music 2000 2 103 100 || exit 1
"$wave" "$src/real/odd data.wav" pcm8 1 8000 data music 2001 1 104 100 raw 00 chunk LIST @$tmp/info || exit 1
"$wave" "$src/real/pipe.wav" pcm16 2 48000 chunk LIST @$tmp/info data music 3000 2 105 100 size 0xFFFFFFFF riff 0xFFFFFFFF || exit 1
"$wave" "$src/real/arecord.wav" pcm16 1 8000 data music 2500 1 106 100 size 0x80000000 riff 0x80000024 || exit 1
"$wave" "$src/real/unfinished.wav" pcm24 1 44100 data music 2200 1 107 100 size 0 riff 36 || exit 1
"$wave" "$src/a/b c/cut.wav" pcm16 1 8000 data music 4000 1 102 100 cut 3001 || exit 1
# The second round: a RIFF size that ends inside the data, RF64 into a pipe (every ds64 size 0),
# BW64 with its ADM chunks, a stray byte after an odd chunk, samples narrower than their container.
"$wave" "$src/real/riff short.wav" pcm16 2 44100 chunk LIST @$tmp/info data music 2600 2 108 100 riff 5000 || exit 1
"$wave" "$src/real/rf64 pipe.wav" pcm16 2 48000 data music 2700 2 109 100 rf64 ds64 0 0 0 || exit 1
"$wave" "$src/real/adm.wav" pcm24 2 48000 chunk chna 0100010001000000 chunk axml 3c61646d2f3e data music 2400 2 110 100 bw64 || exit 1
"$wave" "$src/real/stray.wav" chunk bext 010203 raw 78 chunk Xyz1 01020304 pcm16 2 44100 data music 2300 2 111 100 || exit 1
"$wave" "$src/real/24 in 32.wav" pcm32 2 48000 ext 24 3 data tone 2200 2 700 48000 -12 || exit 1
good+=("real/odd bext.wav" "real/odd data.wav" real/pipe.wav real/arecord.wav real/unfinished.wav "a/b c/cut.wav"
    "real/riff short.wav" "real/rf64 pipe.wav" real/adm.wav real/stray.wav "real/24 in 32.wav")
declare -A note=(["a/riff size.wav"]="header sizes disagree with the file" ["real/riff short.wav"]="header sizes disagree with the file")
for rel in real/pipe.wav real/arecord.wav real/unfinished.wav "a/b c/cut.wav" "real/rf64 pipe.wav"; do
    note[$rel]="header sizes disagree with the file; read to its end"
done
echo "not audio" >"$src/bad/text.wav"
: >"$src/bad/empty.WAV"
"$wave" "$src/bad/a-law.wav" fmt 6 1 8000 8000 1 8 data 1 2 3 4 || exit 1
bad=("bad/text.wav" "bad/empty.WAV" "bad/a-law.wav")
declare -A reason=([bad/text.wav]="not a RIFF/WAVE file" [bad/empty.WAV]="an empty file"
    [bad/a-law.wav]="A-law (format 6) is not PCM; convert it to PCM WAVE first, for example: ffmpeg -i INPUT -c:a pcm_s24le OUTPUT.wav")
# Audio of other formats is counted and listed, never levelled.
printf 'fLaC' >"$src/a/take.flac" && printf 'ID3' >"$src/bad/Song.MP3"
others=("a/take.flac" "bad/Song.MP3") O=", 2 other audio files (not WAVE, not levelled)"
echo "left alone" >"$src/notes.txt"
ln -s plain.wav "$src/link.wav"
sorted() { printf '%s\0' "$@" | sort -z; }
readarray -d '' good < <(sorted "${good[@]}") && readarray -d '' bad < <(sorted "${bad[@]}")
readarray -d '' all < <(sorted "${good[@]}" "${bad[@]}")
declare -A is_bad=()
for rel in "${bad[@]}"; do is_bad[$rel]=1; done
snapshot "$src" >"$tmp/before"
G=${#good[@]} B=${#bad[@]}
failure_lines() { local rel; for rel in "${bad[@]}"; do printf 'failed: %s: %s\n' "$(q "$rel")" "${reason[$rel]}"; done; }

# --- plain sonolift on each file alone: the expected audio and overload count ---
declare -A overloads=() reference=()
for i in "${!all[@]}"; do
    rel=${all[i]} ref=$tmp/ref/$i
    mkdir -p "$ref" && cp -- "$src/$rel" "$ref/input.wav" && (cd "$ref" && "$sonolift" input.wav >stdout 2>&1)
    overloads[$rel]=$(grep -c '^Overload ' "$ref/stdout") reference[$rel]=$ref/waveout-0-lift.wav
    grep -qxF "FileName: input.wav is not a wave file." "$ref/stdout"; refused=$?
    [[ -n ${is_bad[$rel]+x} ]]; [[ $refused == "$?" ]] || fail "fixture: $(q "$rel")"
done
((${overloads[loud.wav]} > 0)) || fail "fixture: loud.wav does not overload"

# A finished run: each result's audio the reference's, its other chunks the source's in their
# order (bext with the coding-history line), every file in the manifest once with the digests
# of the data chunks; no other file in DEST_DIR, nothing temporary.
check_results() { # WHAT DEST [--no-metadata]
    local rel listing field line t
    for rel in "${good[@]}"; do
        if [[ ${3-} ]]; then cmp -s -- "${reference[$rel]}" "$2/$rel" || fail "$1: result of $(q "$rel") differs"; continue; fi
        cmp -s <(chunk "${reference[$rel]}" data) <(chunk "$2/$rel" data) || fail "$1: audio of $(q "$rel") differs"
        t=$(tags "$src/$rel") && [[ $(head -c 4 "$2/$rel") == RIFF ]] && t=${t#ds64 } # RF64 under 4 GiB: RIFF
        same "$1: chunks of $(q "$rel")" "$t" "$(tags "$2/$rel")"
    done
    for rel in meta/stereo24.wav meta/mono16.wav meta/long.wav; do
        [[ ${3-} ]] && break
        for t in iXML LIST 'cue '; do cmp -s <(chunk "$src/$rel" "$t") <(chunk "$2/$rel" "$t") || fail "$1: $t of $rel"; done
        line="A=PCM,F=48000,W=24,M=stereo"
        [[ $rel == *16* ]] && line="A=PCM,F=44100,W=16,M=mono"
        chunk "$2/$rel" bext >"$tmp/result-bext"
        cmp -s <(bext_fixed "$tmp/bext"; printf '%s,T=sonolift 0.1.0%s\r\n' "$line" "${4-}") <(bext_fixed "$tmp/result-bext") ||
            fail "$1: bext of $rel"
        same "$1: bext loudness of $rel" "2 $(hundredths "$2/$rel")" "$(od -An -tu2 -j 346 -N 2 "$tmp/result-bext" | xargs) $(od -An -td2 -j 412 -N 10 -v "$tmp/result-bext" | xargs)"
    done
    listing=$(cd "$2" && find . -mindepth 1 \( -type f -o -type l \) ! -name sonolift-manifest.csv -printf '%P\0' | sort -z | tr '\0' '\n')
    same "$1: files in DEST_DIR" "$(printf '%s\n' "${good[@]}")" "$listing"
    same "$1: temporary files left" "" "$(find "$2" -name '.sonolift-tree*' -o -name '*.tmp')"
    listing=$(for rel in "${all[@]}"; do
        [[ -n ${is_bad[$rel]+x} ]] && { echo "$(q "$rel") failed"; continue; }
        read -r frames seconds _ < <("$meta" info "$src/$rel")
        echo "$(q "$rel") levelled $frames $seconds $(chunk "$src/$rel" data | sha256sum | cut -c1-64) $(chunk "$2/$rel" data | sha256sum | cut -c1-64) ${note[$rel]-}"
        echo "$(figures "$src/$rel") $(figures "$2/$rel")"
    done)
    readarray -d '' -t field < <("$meta" rows "$2/sonolift-manifest.csv")
    same "$1: manifest" "$listing" "$(for ((i = 0; i < ${#field[@]}; i += 21)); do
        [[ ${field[i + 1]} == failed ]] && echo "$(q "${field[i]}") failed" && continue
        echo "$(q "${field[i]}") ${field[i + 1]/skipped/levelled} ${field[i + 2]} ${field[i + 3]} ${field[i + 5]} ${field[i + 6]} ${field[i + 10]}"
        echo "${field[*]:i + 13:6}"; done)"
}

# --- a whole run on two cores, with a log ---
dest=$tmp/dest
run -j 2 --log "$tmp/run.log" "$src" "$dest"
same "run: exit status and streams" "1|sonolift-tree: $G done, $B failed, 0 skipped$O"$'\n'"$(failure_lines)"$'\n|' "$rc|$out|$err"
check_results run "$dest"
same "run: log" "$({ for rel in "${all[@]}"; do
    printf '%s\t%s\tS\t%s\n' "$(q "$rel")" "$([[ -n ${is_bad[$rel]+x} ]] && echo failed || echo done)" "${overloads[$rel]}"; done
    printf '%s\tother\tS\t-\n' "${others[@]}"; } | sort)" \
    "$(awk -F'\t' -v OFS='\t' '$3 ~ /^[0-9]+\.[0-9][0-9]$/ { $3 = "S" } 1' "$tmp/run.log" | sort)"
opens_cleanly() { # FILE: sox and ffprobe, where installed, open it without a word
    if command -v sox >/dev/null; then [[ -z $(sox -V2 "$1" -n 2>&1) ]] || fail "sox does not open $1 cleanly"; fi
    if command -v ffprobe >/dev/null; then [[ -z $(ffprobe -v warning "$1" 2>&1 </dev/null) ]] || fail "ffprobe does not open $1 cleanly"; fi
}
for rel in meta/stereo24.wav loud.wav "real/odd bext.wav" real/pipe.wav real/unfinished.wav "real/riff short.wav" "real/rf64 pipe.wav" real/stray.wav; do
    opens_cleanly "$dest/$rel"
done
# A BW64 source gives a BW64 result with its chna and axml; sox reads neither form.
[[ $(head -c 4 "$dest/real/adm.wav") == BW64 && -z $(ffprobe -v warning "$dest/real/adm.wav" 2>&1 </dev/null) ]] || fail "BW64 result"
for t in chna axml; do cmp -s <(chunk "$src/real/adm.wav" $t) <(chunk "$dest/real/adm.wav" $t) || fail "BW64 result: $t"; done
run --no-metadata "$src" "$tmp/plain"
check_results "no metadata" "$tmp/plain" --no-metadata

# --- verify: an untouched tree agrees; a flipped audio byte, a deleted result, an extra file ---
run --verify "$dest" "$src"
same "verify: untouched" "0|sonolift-tree: $G checked, 0 problems"$'\n' "$rc|$out$err"
cp -a -- "$dest" "$tmp/spoilt"
read -r offset _ < <("$meta" list "$tmp/spoilt/meta/mono16.wav" | grep ' data ')
printf '\x55' | dd of="$tmp/spoilt/meta/mono16.wav" bs=1 seek=$((offset + 100)) conv=notrunc status=none
rm -- "$tmp/spoilt/${good[0]}" && cp -- "$src/loud.wav" "$tmp/spoilt/a/extra.wav"
run --verify "$tmp/spoilt"
same "verify: spoilt" "1|missing: $(q "${good[0]}")"$'\nchanged: meta/mono16.wav\nnot listed: a/extra.wav\n'"sonolift-tree: $G checked, 3 problems"$'\n' "$rc|$out$err"

# --- the plan of a resumed run: good files are up to date, damaged ones would be tried again ---
snapshot "$dest" >"$tmp/dest-before"
run --dry-run --resume "$src" "$dest" -- --up 3
same "dry run" "0|$(for rel in "${all[@]}"; do [[ -n ${is_bad[$rel]+x} ]] && echo "level $(q "$rel")" || echo "skip $(q "$rel")"; done)
$(printf 'other %s\n' "${others[@]}")
sonolift-tree: $B to level, $G skipped$O, from $(q "$src") into $(q "$dest") with $(q "$sonolift") --up 3"$'\n' "$rc|$out"
snapshot "$dest" | cmp -s - "$tmp/dest-before" || fail "dry run: DEST_DIR changed"

# --- --resume redoes only results that are missing or older than their source ---
touch -d @0 -- "$dest/${good[0]}" && rm -- "$dest/${good[1]}"
run --resume --log "$tmp/resume.log" "$src" "$dest"
same "resume" "1|sonolift-tree: 2 done, $B failed, $((G - 2)) skipped$O"$'\n'"$(failure_lines)"$'\n' "$rc|$out"
check_results resume "$dest"
same "resume: skipped log lines" "$((G - 2))" "$(grep -c $'\tskipped\t0.00\t-$' "$tmp/resume.log")"

# --- interrupted part-way (TERM to the driver; KILL to everything), then resumed ---
cat >"$tmp/hold-sonolift" <<HOLD
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
HOLD
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
    else
        kill -KILL -- "-$driver" ${job:+"-$job"}
        wait "$driver" 2>/dev/null
    fi
    [[ -z $job ]] || kill -KILL -- "-$job" 2>/dev/null
    [[ ! -e $dest/hold.wav ]] || fail "$signal: half a result under its final name"
    run --resume -j 2 "$src" "$dest"
    same "$signal resumed" "1|sonolift-tree: $((G - before)) done, $B failed, $before skipped$O"$'\n'"$(failure_lines)"$'\n' "$rc|$out"
    check_results "$signal resumed" "$dest"
done

# --- jobs over ssh, through a server of the test's own on 127.0.0.1 ---
if [[ -x /usr/sbin/sshd ]] && mkdir "$tmp/sshd" && sshd_start "$tmp/sshd"; then
    run --sshlogin "2/$SSHD_LOGIN" "$src" "$tmp/ssh"
    same "ssh: streams" "1|sonolift-tree: $G done, $B failed, 0 skipped$O"$'\n'"$(failure_lines)"$'\n' "$rc|$out"
    for rel in "${good[@]}"; do cmp -s -- "$tmp/dest/$rel" "$tmp/ssh/$rel" || fail "ssh: result of $(q "$rel") differs"; done
    (($(grep -c 'Accepted publickey' "$tmp/sshd/sshd.log") > G)) || fail "ssh: the jobs did not go over ssh"
    sshd_stop
    echo "ssh: ok"
else
    echo "ssh: no OpenSSH server to test with, not tested"
fi

# --- switches reach every run ---
mkdir -p "$tmp/two/-sub dir"
cp -- "$src/${good[2]}" "$tmp/two/-sub dir/one.wav" && cp -- "$src/hold.wav" "$tmp/two/it's.wav"
switches=(--rate 0.02s --up 3 --peak 99)
run --no-metadata "$tmp/two" "$tmp/two-out" -- "${switches[@]}"
same "switches" "0|sonolift-tree: 2 done, 0 failed, 0 skipped"$'\n' "$rc|$out"
for rel in "-sub dir/one.wav" "it's.wav"; do
    mkdir -p "$tmp/sw" && cp -- "$tmp/two/$rel" "$tmp/sw/x.wav" && (cd "$tmp/sw" && "$sonolift" "${switches[@]}" x.wav >/dev/null)
    cmp -s -- "$tmp/sw/waveout-0-lift.wav" "$tmp/two-out/$rel" || fail "switches: result of $(q "$rel") differs"
done
[[ $(grep -c ',--rate 0.02s --up 3 --peak 99,' "$tmp/two-out/sonolift-manifest.csv") == 2 ]] || fail "switches: manifest"
# A sonolift that loses the end of its output: no result is moved into place, none is done.
printf '#!/bin/bash\n%q "$@" && truncate -s -6 waveout-0-lift.wav\n' "$sonolift" >"$tmp/short-sonolift"
chmod +x "$tmp/short-sonolift"
SONOLIFT=$tmp/short-sonolift run --no-metadata "$tmp/two" "$tmp/two-short"
read -r frames _ < <("$meta" info "$tmp/two/it's.wav")
[[ $rc == 1 && $out == *$'\nfailed: it\\\'s.wav: result has '$((frames - 3))" frames, source has $frames"$'\n'* ]] ||
    fail "short results: $rc $(q "$out")"
same "short results: nothing in place" "" "$(find "$tmp/two-short" -name '*.wav')"
[[ $(grep -c ',failed,' "$tmp/two-short/sonolift-manifest.csv") == 2 ]] || fail "short results: manifest"
# A sonolift that leaves a folder where its output belongs: no result.
printf '#!/bin/bash\n%q "$@" && rm waveout-0-lift.wav && mkdir waveout-0-lift.wav\n' "$sonolift" >"$tmp/folder-sonolift"
chmod +x "$tmp/folder-sonolift"
SONOLIFT=$tmp/folder-sonolift run --no-metadata "$tmp/two" "$tmp/two-folder"
same "a folder for a result" "1|sonolift-tree: 0 done, 2 failed, 0 skipped
failed: $(q "-sub dir/one.wav"): no result
failed: $(q "it's.wav"): no result"$'\n' "$rc|$out"
# A sonolift that fails with a message: its status and first line are the reason, on no other stream.
printf '#!/bin/bash\necho "cannot level: disk full" >&2\necho more >&2\nexit 3\n' >"$tmp/failing-sonolift"
chmod +x "$tmp/failing-sonolift"
SONOLIFT=$tmp/failing-sonolift run --no-metadata "$tmp/two" "$tmp/two-failing"
same "a failing sonolift" "1|sonolift-tree: 0 done, 2 failed, 0 skipped
failed: $(q "-sub dir/one.wav"): sonolift exit status 3: cannot level: disk full
failed: $(q "it's.wav"): sonolift exit status 3: cannot level: disk full"$'\n|' "$rc|$out|$err"
# A folder where a result goes, newer than its source: not up to date, tried again, and the
# system's reason told.
rm -- "$tmp/two-out/it's.wav" && mkdir -p -- "$tmp/two-out/it's.wav/x"
run --resume --no-metadata "$tmp/two" "$tmp/two-out" -- "${switches[@]}"
same "a folder in the way" "1|sonolift-tree: 0 done, 1 failed, 1 skipped
failed: $(q "it's.wav"): cannot put the result in place: Is a directory"$'\n' "$rc|$out"
awk -F, -v p="it's.wav" '$1 == p && $2 == "failed" && $3 $4 $7 == "" { ok = 1 } END { exit !ok }' "$tmp/two-out/sonolift-manifest.csv" ||
    fail "a folder in the way: the failed row holds a result's figures"
# A manifest that cannot be written (the collector under a file-size limit, its streams through
# a pipe): the system's reason, and the run fails.
printf '#!/bin/bash\n[[ $1 == collect ]] || exec %q "$@"\n(ulimit -f 0; exec %q "$@") 2>&1 | cat\nexit ${PIPESTATUS[0]}\n' \
    "$meta" "$meta" >"$tmp/limited-meta"
chmod +x "$tmp/limited-meta"
SONOLIFT_META=$tmp/limited-meta run --no-metadata "$tmp/two" "$tmp/two-limited"
same "a manifest that cannot be written" "1|sonolift-tree: cannot write $(q "$tmp/two-limited/sonolift-manifest.csv"): File too large
sonolift-tree: 2 done, 0 failed, 0 skipped"$'\n' "$rc|$out$err"
run "$tmp/two" "$tmp/two-bad" -- --up x
[[ $rc == 2 && -z $out && $err == *$'\n'"sonolift-tree: sonolift refuses the switches: --up x"$'\n' && ! -e $tmp/two-bad ]] ||
    fail "refused switches: $rc $(q "$err")"

# --- a loudness target: speech (espeak-ng, where installed) and noise at -16 LUFS, through the
# limiter where the levelled peaks pass the ceiling; true peaks at most the ceiling; the
# manifest's and the bext's figures the result's own, the limiter named in the coding history
# where it ran; all as ffmpeg's ebur128 filter measures them. A steady tone that no gain brings
# to the target is told as such ---
near() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(a != "" && b != "" && d <= t && -d <= t) }'; }
ffmpeg_figures() { # "I LRA TP" as ffmpeg's summary gives them
    ffmpeg -nostdin -hide_banner -nostats -i "$1" -af ebur128=peak=true -f null - 2>&1 |
        awk '/Summary:/ { s = 1 } s && $1 == "I:" { i = $2 } s && $1 == "LRA:" { r = $2 } s && $1 == "Peak:" { p = $2 } END { print i, r, p }'
}
if command -v ffmpeg >/dev/null; then
    mkdir -p "$tmp/loud/in"
    if command -v espeak-ng >/dev/null && command -v sox >/dev/null; then
        source "$(dirname -- "$0")/../loudness/speech-like.sh"
        speech_like "$tmp/s.wav" 2 48000 24 20 5 && sox "$tmp/s.wav" -t raw "$tmp/s.raw" &&
            "$wave" "$tmp/loud/in/talk.wav" pcm24 2 48000 $meta_chunks chunk data @"$tmp/s.raw" &&
            speech_like "$tmp/m.wav" 1 44100 16 20 6 && sox "$tmp/m.wav" -t raw "$tmp/m.raw" &&
            "$wave" "$tmp/loud/in/mono speech.wav" pcm16 1 44100 $meta_chunks chunk data @"$tmp/m.raw" || exit 1
        limited="mono speech.wav" # levelled, its peaks pass the ceiling at -16 LUFS
    else
        echo "target: espeak-ng or sox is not installed, noise stands in for speech"
        "$wave" "$tmp/loud/in/talk.wav" pcm24 2 48000 $meta_chunks data music 480000 2 81 100 || exit 1
        "$wave" "$tmp/loud/in/mono speech.wav" pcm16 1 44100 $meta_chunks data music 480000 1 83 100 || exit 1
        limited=
    fi
    "$wave" "$tmp/loud/in/quiet.wav" pcm16 1 44100 data music 300000 1 82 20 || exit 1
    loud=("mono speech.wav" quiet.wav talk.wav)
    run --target -16 --ceiling -1 "$tmp/loud/in" "$tmp/loud/out"
    same "target: streams" "0|sonolift-tree: 3 done, 0 failed, 0 skipped"$'\n' "$rc|$out"
    readarray -d '' -t field < <("$meta" rows "$tmp/loud/out/sonolift-manifest.csv")
    for ((i = 0; i < ${#field[@]}; i += 21)); do
        rel=${field[i]}
        read -r fi fr ftp < <(ffmpeg_figures "$tmp/loud/out/$rel")
        near "$fi" -16 0.2 || fail "target: $rel at $fi LUFS"
        awk -v p="$ftp" 'BEGIN { exit !(p <= -0.9) }' || fail "target: $rel true peak $ftp over the ceiling"
        opens_cleanly "$tmp/loud/out/$rel"
        [[ ${field[i + 1]} == levelled && ${field[i + 11]}/${field[i + 12]} == -16/-1 && -n ${field[i + 13]} && -n ${field[i + 16]} ]] ||
            fail "target: manifest row of $(q "$rel"): ${field[*]:i + 11:10}"
        near "${field[i + 16]}" "$fi" 0.1 || fail "target: manifest loudness of $rel"
        [[ $rel == "$limited" && -z ${field[i + 19]} ]] && fail "target: no limiter in $rel"
        [[ $rel == quiet.wav ]] && continue
        chunk "$tmp/loud/out/$rel" bext >"$tmp/result-bext"
        read -r bi br btp bm bs < <(od -An -td2 -j 412 -N 10 -v "$tmp/result-bext")
        # (the range as sonoloud measures it: on recordings this short ffmpeg's differs)
        near "$((bi))e-2" "$fi" 0.1 && near "$((btp))e-2" "$ftp" 0.1 && [[ "$bi $br $btp $bm $bs" == "$(hundredths "$tmp/loud/out/$rel")" ]] ||
            fail "target: bext loudness of $rel $bi $br $btp, ffmpeg $fi $fr $ftp"
        step="; sonoloud -t -16 -c -1${field[i + 19]:+ (true-peak limiter: look-ahead 2 ms; release 50 ms)}"
        [[ $(tail -c 120 "$tmp/result-bext" | tr -d '\0') == *",T=sonolift 0.1.0$step"$'\r' ]] || fail "target: coding history of $rel"
    done
    run --resume --target -16 "$tmp/loud/in" "$tmp/loud/out"
    same "target: resumed" "0|sonolift-tree: 0 done, 0 failed, 3 skipped"$'\n' "$rc|$out"
    run --verify "$tmp/loud/out" "$tmp/loud/in"
    same "target: verify" "0|sonolift-tree: 3 checked, 0 problems"$'\n' "$rc|$out"
    mkdir -p "$tmp/tone/in"
    "$wave" "$tmp/tone/in/tone.wav" pcm16 1 8000 data tone 16000 1 1000 8000 -20 || exit 1
    run --no-metadata --target -10 --ceiling -20 "$tmp/tone/in" "$tmp/tone/out"
    [[ $rc == 1 && $out == *$'\nmissed the target: tone.wav: missed the target by '* ]] || fail "missed target: $rc $(q "$out")"
    grep -q '^tone.wav,missed target,.*missed the target by ' "$tmp/tone/out/sonolift-manifest.csv" || fail "missed target: manifest"
    # ffmpeg ends a coding history without CR LF: the line added still starts a line of its own
    # (the shell drops the final line feed).
    mkdir -p "$tmp/hist" && ffmpeg -nostdin -v error -f lavfi -i sine=d=0.5 -c:a pcm_s16le -write_bext 1 \
        -metadata coding_history=T=x1 "$tmp/hist/in.wav" && run "$tmp/hist" "$tmp/hist-out"
    [[ $(chunk "$tmp/hist-out/in.wav" bext | tail -c +603 | tr -d '\0') == $'T=x1\r\nA=PCM,F=44100,W=16,M=mono,T=sonolift 0.1.0\r' ]] ||
        fail "ffmpeg's coding history: $(chunk "$tmp/hist-out/in.wav" bext | tail -c +603 | od -c | head -3)"
else
    echo "target: ffmpeg is not installed, not tested"
fi

snapshot "$src" | cmp -s - "$tmp/before" || fail "a source changed"
((errors)) && echo "$errors failures" && exit 1
echo "all passed"
