#!/usr/bin/env bash
# Whole-process speed and memory of zelmor and zelmor-batch, each against a
# baseline measured in the same run, with inputs in /dev/shm (memory, so
# that the disk does not set the pace).
#
#   bench/run.sh [SIZE_MIB] [ROUNDS]
#
# Builds the bench preset and prints, as medians over ROUNDS rounds (default
# 11) that interleave the programs compared:
#   - one realistic input of SIZE_MIB MiB (default 256): zelmor's time
#     against the copy floor (zelmor-copy: the same reads and writes, with
#     no work) and against cat IN > OUT;
#   - start-up: a one-line file over an existing equation file, batches of
#     200 runs, against cp;
#   - peak resident memory for 1 MiB and for SIZE_MIB MiB;
#   - many files: zelmor-batch -j 2 against a process per file with
#     xargs -0 -n1 -P2 on 2,000 realistic files of 1 to 10 KiB, and against
#     zelmor on the large input; and the peak memory of a worker, and of
#     the largest process, for 200 files and for 2,000.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-256}
rounds=${2:-11}

command -v /usr/bin/time >/dev/null || { echo "needs GNU time: apt-get install time" >&2; exit 1; }
command -v bc >/dev/null || { echo "needs bc: apt-get install bc" >&2; exit 1; }
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
zelmor=$PWD/build-bench/zelmor
batch=$PWD/build-bench/zelmor-batch
floor=$PWD/build-bench/bench/zelmor-copy
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
ratio() { echo "scale=4; $1 / $2" | bc; }
list_median() { printf '%s\n' "$@" | median; }
cat_to() { cat "$1" > "$2"; }
cp_to() { cp "$1" "$2"; }
batch200() { local i; for ((i = 0; i < 200; i++)); do "$@"; done; }

# One large file.
"$zelmor" "$dir/big.tmp" # warm up, and the size the floor writes
out_bytes=$(stat -c %s "$dir/big.eqn-file")
bytes=$(stat -c %s "$dir/big.tmp")
zt=() ft=() ct=() vs_floor=() vs_cat=()
for ((i = 0; i < rounds; i++)); do
    f=$(seconds "$floor" "$dir/big.tmp" "$dir/floor.out" "$out_bytes")
    c=$(seconds cat_to "$dir/big.tmp" "$dir/cat.out")
    z=$(seconds "$zelmor" "$dir/big.tmp")
    ft+=("$f") ct+=("$c") zt+=("$z")
    vs_floor+=("$(ratio "$z" "$f")") vs_cat+=("$(ratio "$z" "$c")")
done
rm -f "$dir/floor.out" "$dir/cat.out"
printf 'input: %d bytes realistic, output %d bytes; medians of %d rounds\n' "$bytes" "$out_bytes" "$rounds"
for pair in "copy floor:${ft[*]}" "cat IN > OUT:${ct[*]}" "zelmor:${zt[*]}"; do
    # shellcheck disable=SC2086
    med=$(list_median ${pair#*:})
    printf '  %-13s %.3f s  %.2f GB/s\n' "${pair%%:*}" "$med" "$(echo "$bytes / $med / 1000000000" | bc -l)"
done
printf '  zelmor / floor %.2f, zelmor / cat %.2f (medians of the rounds'"'"' ratios)\n' \
    "$(list_median "${vs_floor[@]}")" "$(list_median "${vs_cat[@]}")"

# Start-up: the equation file exists, as when a file is converted again.
echo old > "$dir/line.eqn-file"
startup=()
for ((i = 0; i < 7; i++)); do
    p=$(seconds batch200 cp_to "$dir/line.tmp" "$dir/line.out")
    z=$(seconds batch200 "$zelmor" "$dir/line.tmp")
    startup+=("$(ratio "$z" "$p")")
done
printf 'start-up, one-line file, 7 batches of 200 runs: zelmor / cp %.2f\n' "$(list_median "${startup[@]}")"

for f in small big; do
    kib=$(/usr/bin/time -f %M "$zelmor" "$dir/$f.tmp" 2>&1 >/dev/null)
    printf 'peak resident memory, %s input (%d bytes): %d KiB\n' "$f" "$(stat -c %s "$dir/$f.tmp")" "$kib"
done

# Many files: 2,000 small ones, converted over their equation files each
# round by zelmor-batch and by a process per file, alternately.
mkdir "$dir/tree" "$dir/few"
for ((i = 0; i < 2000; i++)); do
    "$gen" realistic $((1024 + i * 4099 % 9217)) "$i" > "$dir/tree/f$i.tmp"
done
cp "$dir"/tree/f[12]??.tmp "$dir/few/"
per_file() { find "$dir/tree" -type f -name '*.tmp' -print0 | xargs -0 -n1 -P2 "$zelmor"; }
many=() one=()
per_file; "$batch" -j 2 "$dir/tree" # warm up
for ((i = 0; i < 5; i++)); do
    x=$(seconds per_file)
    b=$(seconds "$batch" -j 2 "$dir/tree")
    many+=("$(ratio "$b" "$x")")
done
for ((i = 0; i < rounds; i++)); do
    z=$(seconds "$zelmor" "$dir/big.tmp")
    b=$(seconds "$batch" "$dir/big.tmp")
    one+=("$(ratio "$b" "$z")")
done
printf '2,000 files of 1 to 10 KiB, zelmor-batch -j 2 / xargs -P2 zelmor: median of 5 rounds %.3f\n' \
    "$(list_median "${many[@]}")"
printf 'one %d MiB file, zelmor-batch / zelmor: median of %d rounds %.3f\n' "$size_mib" "$rounds" \
    "$(list_median "${one[@]}")"
# The peak resident memory of each worker, read from /proc while they run,
# and of the whole batch, whose parent holds the plan.
worker_peak() {
    local pid peak=0 kib c
    "$batch" -j 2 "$1" & pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        for c in $(cat "/proc/$pid/task/$pid/children" 2>/dev/null); do
            kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$c/status" 2>/dev/null || true)
            [ -n "$kib" ] && [ "$kib" -gt "$peak" ] && peak=$kib
        done
    done
    wait "$pid"
    echo "$peak"
}
for t in few tree; do
    all=$(/usr/bin/time -f %M "$batch" -j 2 "$dir/$t" 2>&1 >/dev/null)
    printf 'zelmor-batch -j 2, %d files: peak resident memory of a worker %d KiB, of the largest process %d KiB\n' \
        "$(find "$dir/$t" -name '*.tmp' | wc -l)" "$(worker_peak "$dir/$t")" "$all"
done
