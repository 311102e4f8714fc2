#!/usr/bin/env bash
# Whole-process speed and memory of zelmor, side by side with cat in one run.
#
#   bench/run.sh [SIZE_MIB] [PAIRS]
#
# Builds the bench preset, writes inputs to /dev/shm (memory, so the disk
# does not set the pace), and prints:
#   - the median over PAIRS paired runs of time(zelmor) / time(cat IN > OUT)
#     on a realistic input of SIZE_MIB MiB (default 256);
#   - the same ratios against cat and cp for a one-line file, over batches of
#     200 runs (start-up);
#   - zelmor's peak resident memory for a 1 MiB and a SIZE_MIB input.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-256}
pairs=${2:-11}

command -v /usr/bin/time >/dev/null || { echo "needs GNU time: apt-get install time" >&2; exit 1; }
command -v bc >/dev/null || { echo "needs bc: apt-get install bc" >&2; exit 1; }
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
zelmor=$PWD/build-bench/zelmor
gen=$PWD/build-bench/bench/zelmor-gen

dir=$(mktemp -d /dev/shm/zelmor-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
"$gen" realistic $((size_mib << 20)) > "$dir/big.tmp"
"$gen" realistic $((1 << 20)) > "$dir/small.tmp"
echo '((e1 (x + 1) (y)))' > "$dir/line.tmp"

# Seconds, with nanoseconds, that one run of "$@" takes.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@"
    end=$(date +%s%N)
    echo "scale=6; ($end - $start) / 1000000000" | bc
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
cat_to() { cat "$1" > "$2"; }
batch() { local i; for ((i = 0; i < 200; i++)); do "$@"; done; }

ratios=() zt=() ct=()
"$zelmor" "$dir/big.tmp"; cat_to "$dir/big.tmp" "$dir/cat.out" # warm up
for ((i = 0; i < pairs; i++)); do
    c=$(seconds cat_to "$dir/big.tmp" "$dir/cat.out")
    z=$(seconds "$zelmor" "$dir/big.tmp")
    ct+=("$c") zt+=("$z")
    ratios+=("$(echo "scale=4; $z / $c" | bc)")
done
bytes=$(stat -c %s "$dir/big.tmp")
out_bytes=$(stat -c %s "$dir/big.eqn-file")
c_med=$(printf '%s\n' "${ct[@]}" | median)
z_med=$(printf '%s\n' "${zt[@]}" | median)
printf 'input: %d bytes realistic, output %d bytes (+%s%%)\n' "$bytes" "$out_bytes" \
    "$(echo "scale=1; 100 * ($out_bytes - $bytes) / $bytes" | bc)"
printf 'cat:    median %.3f s (%.2f GB/s)\n' "$c_med" "$(echo "$bytes / $c_med / 1000000000" | bc -l)"
printf 'zelmor: median %.3f s (%.2f GB/s)\n' "$z_med" "$(echo "$bytes / $z_med / 1000000000" | bc -l)"
printf 'whole process, zelmor / cat: median of %d paired ratios %.2f\n' "$pairs" \
    "$(printf '%s\n' "${ratios[@]}" | median)"

# Start-up: the equation file exists, as when a file is converted again.
echo old > "$dir/line.eqn-file"
cat_ratios=() cp_ratios=()
cp_to() { cp "$1" "$2"; }
for ((i = 0; i < 7; i++)); do
    c=$(seconds batch cat_to "$dir/line.tmp" "$dir/line.out")
    p=$(seconds batch cp_to "$dir/line.tmp" "$dir/line.out")
    z=$(seconds batch "$zelmor" "$dir/line.tmp")
    cat_ratios+=("$(echo "scale=4; $z / $c" | bc)")
    cp_ratios+=("$(echo "scale=4; $z / $p" | bc)")
done
printf 'start-up on a one-line file, median of 7 batches of 200 runs: zelmor / cat %.2f, zelmor / cp %.2f\n' \
    "$(printf '%s\n' "${cat_ratios[@]}" | median)" "$(printf '%s\n' "${cp_ratios[@]}" | median)"

for f in small big; do
    kib=$(/usr/bin/time -f %M "$zelmor" "$dir/$f.tmp" 2>&1 >/dev/null)
    printf 'peak resident memory, %s input (%d bytes): %d KiB\n' "$f" "$(stat -c %s "$dir/$f.tmp")" "$kib"
done
