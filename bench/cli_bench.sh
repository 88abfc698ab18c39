#!/bin/sh
# Times `lzhsfx build` (-lh7-, the default) against jlha co7 on the corpus of
# encoder_bench.sh, and `lzhsfx test` against `lhasa t` on the result: sizes, wall and
# CPU times, ratios.
#
#   bench/cli_bench.sh [work-dir]      (REPEAT=n runs of each, the fastest counts)
#
# The tool is built optimised and without sanitizers in a tree of its own. The corpus
# is made by encoder_bench.sh when the work directory has none yet.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/lzhsfx-bench}
repeat=${REPEAT:-3}
mkdir -p "$work"
work=$(cd "$work" && pwd)

[ -d "$work/corpus" ] || REPEAT=1 "$here/bench/encoder_bench.sh" "$work" >/dev/null

cmake -S "$here" -B "$work/build-cli" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DLZHSFX_SANITIZE=OFF >/dev/null
cmake --build "$work/build-cli" --target lzhsfx >/dev/null
tool="$work/build-cli/lzhsfx"

# The real stub when it is built, else a stand-in with room for the settings record.
stub="$here/build/win32/sfxstub.exe"
if [ ! -f "$stub" ]; then
    stub="$work/stub.exe"
    python3 -c "
import struct, sys
s = bytearray(4096); s[0:2] = b'MZ'; struct.pack_into('<I', s, 0x3C, 0x4D0)
s[0x4D0:0x4D4] = b'PE\0\0'; open(sys.argv[1], 'wb').write(s)" "$stub"
fi
stub_size=$(stat -c %s "$stub")

cd "$work/corpus"
files=$(find text bin lib -type f | sort | tr "\n" " ")
bytes=$(cat $files | wc -c)

. "$here/bench/timing.sh"

jlha_time=$(timed sh -c "rm -f '$work/jlha.lzh'; jlha co7q1 '$work/jlha.lzh' $files")
ours_time=$(timed "$tool" build -q --stub "$stub" -o "$work/setup.exe" text bin lib)
tail -c +$((stub_size + 1)) "$work/setup.exe" >"$work/setup.lzh"
lhasa t "$work/setup.lzh" >/dev/null
test_time=$(timed "$tool" test "$work/setup.exe")
lhasa_time=$(timed lhasa tq "$work/setup.lzh")

jlha_size=$(stat -c %s "$work/jlha.lzh")
ours_size=$(stat -c %s "$work/setup.lzh")
echo "corpus: $(echo $files | wc -w) files, $bytes bytes"
echo "machine: $(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
set -- $jlha_time
echo "jlha co7:       archive $jlha_size bytes, $1 s wall, $2 s CPU"
jw=$1 jc=$2
set -- $ours_time
echo "lzhsfx build:   archive $ours_size bytes (installer $(stat -c %s "$work/setup.exe")), $1 s wall, $2 s CPU"
awk -v a="$ours_size" -v b="$jlha_size" -v ow="$1" -v oc="$2" -v jw="$jw" -v jc="$jc" -v n="$bytes" 'BEGIN {
    printf "size ratio (lzhsfx / jlha): %.4f\n", a / b
    printf "build speed: %.1f MB/s wall; jlha time / lzhsfx time, wall: %.2f, CPU: %.2f\n", n / ow / 1e6, jw / ow, jc / oc
}'
set -- $test_time
tw=$1
set -- $lhasa_time
echo "lzhsfx test: $tw s wall; lhasa t: $1 s wall"
