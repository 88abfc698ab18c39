#!/bin/sh
# Compares the -lh7- encoder of the builder with jlha (jlha-utils) on a corpus of
# text and binaries taken from this machine: archive sizes, wall-clock and CPU
# times, and their ratios.
#
#   bench/encoder_bench.sh [work-dir]
#
# Environment: REPEAT=n runs of each program, the fastest counting (3); LEVEL=n the
# encoder's level (6); THREADS=n the encoder's threads (0: one per processor).
#
# The corpus is the same on the same machine: files are picked from sorted lists.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/lzhsfx-bench}
repeat=${REPEAT:-3}
level=${LEVEL:-6}
threads=${THREADS:-0}
mkdir -p "$work"
work=$(cd "$work" && pwd)

# Builds the benchmark program, optimised, outside the tree's own builds.
cmake -S "$here/tools/lzhsfx" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" --target bench_compress >/dev/null
bench="$work/build/bench_compress"

# Takes every `step`th file of a sorted list, of 2 KiB to 1 MiB (decompressed), until
# `budget` bytes are collected.
pick() { # dir step budget files...
    dir=$1 step=$2 budget=$3
    shift 3
    mkdir -p "$work/corpus/$dir"
    n=0 total=0
    for f in "$@"; do
        n=$((n + 1))
        [ $((n % step)) -eq 0 ] || continue
        [ -f "$f" ] && [ ! -L "$f" ] || continue
        size=$(stat -c %s "$f")
        [ "$size" -ge 2048 ] || continue
        name=$(echo "$f" | tr '/' '_' | sed 's/^_//; s/\.gz$//')
        case "$f" in
        *.gz) gzip -dc "$f" >"$work/corpus/$dir/$name" ;;
        *) cp "$f" "$work/corpus/$dir/$name" ;;
        esac
        size=$(stat -c %s "$work/corpus/$dir/$name")
        if [ "$size" -gt 1048576 ]; then
            rm "$work/corpus/$dir/$name"
            continue
        fi
        total=$((total + size))
        [ "$total" -lt "$budget" ] || break
    done
}

rm -rf "$work/corpus"
pick text 1 1000000 $(ls /usr/share/common-licenses/* | sort)
pick text 3 2500000 $(ls /usr/share/doc/*/copyright | sort)
pick text 9 3500000 $(ls /usr/share/doc/*/*.gz | sort)
pick bin 9 5000000 $(find /usr/bin -maxdepth 1 -type f -size +20k | sort)
pick lib 7 5000000 $(find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -size +20k | sort)

cd "$work/corpus"
files=$(find text bin lib -type f | sort | tr "\n" " ")
count=$(echo $files | wc -w)
bytes=$(cat $files | wc -c)

. "$here/bench/timing.sh"

rm -f "$work/jlha.lzh" "$work/ours.lzh"
jlha_time=$(timed sh -c "rm -f '$work/jlha.lzh'; jlha co7q1 '$work/jlha.lzh' $files")
ours_time=$(timed "$bench" -m 7 -l "$level" -t "$threads" -o "$work/ours.lzh" $files)
lhasa t "$work/ours.lzh" >/dev/null

jlha_size=$(stat -c %s "$work/jlha.lzh")
ours_size=$(stat -c %s "$work/ours.lzh")
echo "corpus: $count files, $bytes bytes (text $(cat $(find text -type f) | wc -c), binaries $(cat $(find bin lib -type f) | wc -c))"
echo "machine: $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
set -- $jlha_time
echo "jlha co7:        $jlha_size bytes, $1 s wall, $2 s CPU"
jw=$1 jc=$2
set -- $ours_time
echo "lzhsfx -lh7- l$level t$threads: $ours_size bytes, $1 s wall, $2 s CPU"
awk -v a="$ours_size" -v b="$jlha_size" -v ow="$1" -v oc="$2" -v jw="$jw" -v jc="$jc" 'BEGIN {
    printf "size ratio (ours / jlha): %.4f\n", a / b
    printf "speed ratio (jlha time / ours), wall: %.2f, CPU: %.2f\n", jw / ow, jc / oc
}'
