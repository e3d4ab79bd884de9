#!/usr/bin/env bash
# How often one job of sonolift-tree reads each file, traced with strace: the source once (its
# digest and loudness together, while sonolift runs) and sonolift's output once (copied into the
# result as the result's digest and loudness are taken); with a target the output twice (once
# measured, once brought to the target while the result is written), the result never.
# Arguments: sonolift-tree (the copy next to sonolift and sonolift-meta), the wave generator.
# Skipped (77) without strace, or where it may not trace, or without GNU parallel.
set -uo pipefail
if ! command -v strace >/dev/null || ! strace -o /dev/null true 2>/dev/null; then
    echo "strace is not installed or may not trace here: skipped"
    exit 77
fi
if ! command -v parallel >/dev/null || [[ $(parallel --version 2>/dev/null) != 'GNU parallel'* ]]; then
    echo "GNU parallel is not installed: skipped"
    exit 77
fi
tree=$(realpath -e -- "$1") wave=$(realpath -e -- "$2") || exit 1
meta=${SONOLIFT_META:-${tree%/*}/sonolift-meta}
unset SONOLIFT SONOLIFT_META
tmp=$(mktemp -d "${TMPDIR:-/tmp}/reads-test.XXXXXX") && tmp=$(realpath -e -- "$tmp") || exit 1
trap 'rm -rf -- "$tmp"' EXIT
errors=0

# Every thread and child of a job traced into a file of its own (-ff), appended to (-A) where a
# thread's number comes back as a later child's; each read names its file (-y), so that threads
# opening and closing beside each other cannot be confused by their descriptors' numbers.
# (A sanitizer build's leak check cannot run under a tracer.)
mkdir "$tmp/trace"
cat >"$tmp/traced-meta" <<TRACED
#!/bin/bash
[[ \$1 == job ]] || exec $(printf '%q' "$meta") "\$@"
export ASAN_OPTIONS=\${ASAN_OPTIONS:+\$ASAN_OPTIONS:}detect_leaks=0
exec strace -ff -A -y -q -e trace=read,pread64,execve,clone,clone3 -o $(printf '%q' "$tmp/trace/job") $(printf '%q' "$meta") "\$@"
TRACED
chmod +x "$tmp/traced-meta"

# How often the traced job read the source (strace names it, not the link in.wav to it) and the
# scratch files: bytes read over the file's size, rounded (a header walk reads less than a window
# of 128 KiB, a small part of these files).
# A process that runs another program (sonolift), and its threads, are not the job until they exit.
read_counts() { # SOURCE_SIZE LEVELLED_SIZE
    awk -v src="$1" -v lev="$2" -v source="$tmp/src/talk.wav" '
        FNR == 1 { n = split(FILENAME, part, "."); job = !(pass == 2 && part[n] in other) }
        /^\+\+\+ (exited|killed)/ { job = 1; next }
        /^execve\(/ { if ($0 !~ /^execve\("[^"]*\/sonolift-meta"/) job = 0; next }
        # the threads of another program, found on the first pass, are not the job either
        pass == 1 { if (!job && /^clone3?\(/ && $NF ~ /^[0-9]+$/) other[$NF]; next }
        job && /^p?read(64)?\([0-9]+</ && $(NF - 1) == "=" && $NF ~ /^[0-9]+$/ {
            split($0, q, /[<>]/); n = split(q[2], part, "/"); bytes[q[2] == source ? "source" : part[n]] += $NF }
        END { printf "source %.0f, levelled %.0f, result %.0f\n", bytes["source"] / src, bytes["waveout-0-lift.wav"] / lev,
              (bytes["result.wav"] + 0) / lev }' pass=1 "$tmp"/trace/job.* pass=2 "$tmp"/trace/job.*
}

# A 10-second 48 kHz 24-bit stereo recording with a bext chunk: 2.9 MB of audio.
mkdir "$tmp/src"
{ printf '%-602s' 'A recording'; printf 'A=PCM,F=48000,W=24,M=stereo,T=recorder\r\n'; } | tr ' ' '\0' >"$tmp/bext"
"$wave" "$tmp/src/talk.wav" pcm24 2 48000 chunk bext @"$tmp/bext" data music 480000 2 5 100 || exit 1
size=$(stat -c %s "$tmp/src/talk.wav")

check() { # WHAT EXPECTED [OPTION...]
    local what=$1 expected=$2 dest=$tmp/out-$RANDOM
    shift 2
    rm -f -- "$tmp"/trace/*
    SONOLIFT_META=$tmp/traced-meta "$tree" -j 1 "$@" "$tmp/src" "$dest" >"$tmp/stdout" 2>&1
    [[ $? == 0 && -f $dest/talk.wav ]] || { echo "FAIL: $what: the run failed"; cat "$tmp/stdout"; errors=$((errors + 1)); return; }
    # sonolift's output has the source's size less its bext
    local counts
    counts=$(read_counts "$size" $((size - $(stat -c %s "$tmp/bext") - 8)))
    echo "$what: $counts"
    [[ $counts == "$expected" ]] || { echo "FAIL: $what: expected $expected"; errors=$((errors + 1)); }
}
check "with metadata" "source 1, levelled 1, result 0"
check "without metadata" "source 1, levelled 1, result 0" --no-metadata
check "to a target, with metadata" "source 1, levelled 2, result 0" --target -20
check "to a target, without metadata" "source 1, levelled 2, result 0" --target -20 --no-metadata

((errors)) && echo "$errors failures" && exit 1
echo "all passed"
