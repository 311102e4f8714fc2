#!/usr/bin/env bash
# Whole-process speed and memory of zelmor and zelmor-batch, each against a
# baseline measured in the same run, with inputs in /dev/shm (memory, so
# that the disk does not set the pace), and small files on the disk too.
#
#   bench/run.sh [SIZE_MIB] [ROUNDS]
#   bench/run.sh --small-files [ROUNDS]
#   bench/run.sh --shapes [SIZE_MIB] [ROUNDS]
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
#     the largest process, for 200 files and for 2,000;
#   - every input shape (bench/generate.h), or alone with --shapes (ROUNDS
#     then defaults to 9): SIZE_MIB MiB of each in /dev/shm, zelmor's CPU
#     time (user plus system) against the copy floor's, which writes
#     exactly as many bytes as zelmor writes for that input, as the median
#     of the rounds' ratios; then in process, memory to memory, the median
#     of 5 repetitions of bench_filter in GB/s (10^9 bytes a second), for
#     each instruction set by the depth pass, by the scanners, and the
#     depth pass's kernel alone;
#   - the plan's memory, or alone with --plan-memory: zelmor-batch -n -0
#     on a list of 100,000 and of 1,000,000 files of 40-byte names (empty,
#     on tmpfs): the peak resident memory of the whole process per name,
#     and the time per name;
#   - small files, last, or alone with --small-files (ROUNDS then counts
#     its rounds, default 7): the CPU model, then 2,000 realistic inputs of
#     1 to 200 lines, 10 x 10 x 20 in three levels of directories, on tmpfs
#     (/dev/shm) and on the disk (a directory made under $ZELMOR_BENCH_DISK,
#     default /var/tmp, which must not be tmpfs), each with its file system
#     type and device. For each, over the rounds, each converting over the
#     equation files of the last and starting with the next program in
#     turn: the median times of the floor (find -print0 piped to
#     zelmor-small-floor, which for each file only opens, reads, writes a
#     third more to a new file, closes and renames it over the equation
#     file), of zelmor-batch -j 1 and -j 2, and of a process per file
#     (xargs -0 -n1 -P2 zelmor); and the medians of the rounds' ratios of
#     -j 1 to the floor and of -j 2 to xargs. Then, counted once with
#     strace -f -c on a copy of the tree on tmpfs, the system calls a file
#     of zelmor-batch -j 1 and of the floor (find's and the program's), all
#     processes summed, and the most frequent.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: bench/run.sh [SIZE_MIB] [ROUNDS] | --small-files [ROUNDS] | --shapes [SIZE_MIB] [ROUNDS] | --plan-memory" >&2; exit 2; }
small_only=0 small_rounds=7 shapes_only=0 plan_only=0
if [ "${1:-}" = --shapes ]; then
    shapes_only=1
    size_mib=${2:-256}
    rounds=${3:-9}
    [[ $size_mib =~ ^[1-9][0-9]*$ && $rounds =~ ^[1-9][0-9]*$ ]] || usage
elif [ "${1:-}" = --plan-memory ]; then
    plan_only=1
elif [ "${1:-}" = --small-files ]; then
    small_only=1
    small_rounds=${2:-7}
    [[ $small_rounds =~ ^[1-9][0-9]*$ ]] || usage
else
    size_mib=${1:-256}
    rounds=${2:-11}
fi

command -v /usr/bin/time >/dev/null || { echo "needs GNU time: apt-get install time" >&2; exit 1; }
command -v bc >/dev/null || { echo "needs bc: apt-get install bc" >&2; exit 1; }
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
zelmor=$PWD/build-bench/zelmor
batch=$PWD/build-bench/zelmor-batch
floor=$PWD/build-bench/bench/zelmor-copy
gen=$PWD/build-bench/bench/zelmor-gen
small_floor=$PWD/build-bench/bench/zelmor-small-floor
bench_filter=$PWD/build-bench/bench/bench_filter

# Every directory made is removed on the way out, by a signal too.
cleanup=()
trap 'rm -rf "${cleanup[@]}"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
dir=$(mktemp -d /dev/shm/zelmor-bench.XXXXXX)
cleanup+=("$dir")

# The plan's memory and time for N listed names of 40 bytes each: the peak
# resident memory of zelmor-batch -n -0, which starts no worker, divided by
# N, and its time divided by N.
plan_memory() {
    local n=$1 out kib secs
    rm -rf "$dir/plan" && mkdir "$dir/plan"
    (cd "$dir/plan" && seq -f 'f%07.0f-abcdefghijklmnopqrstuvwxyz01.tmp' 0 $((n - 1)) | xargs touch)
    (cd "$dir/plan" && find . -name '*.tmp' -printf '%P\0') > "$dir/list"
    out=$(cd "$dir/plan" && /usr/bin/time -f '%M %e' "$batch" -n -0 < "$dir/list" 2>&1 >/dev/null)
    read -r kib secs <<<"$out"
    printf 'plan of %d names of 40 bytes (zelmor-batch -n -0): peak memory %d bytes a name, %.2f us a name\n' \
        "$n" "$((kib * 1024 / n))" "$(echo "scale=4; $secs * 1000000 / $n" | bc)"
    rm -rf "$dir/plan" "$dir/list"
}
if [ "$plan_only" = 1 ]; then
    plan_memory 100000
    plan_memory 1000000
    exit 0
fi

# Seconds, with nanoseconds, that one run of "$@" takes.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" || { echo "failed with status $?: $*" >&2; return 1; }
    end=$(date +%s%N)
    echo "scale=6; ($end - $start) / 1000000000" | bc
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { echo "scale=4; $1 / $2" | bc; }
list_median() { printf '%s\n' "$@" | median; }
cat_to() { cat "$1" > "$2"; }
cp_to() { cp "$1" "$2"; }
batch200() { local i; for ((i = 0; i < 200; i++)); do "$@"; done; }

# Small files: the floor under converting many, zelmor-batch and a process
# per file, on tmpfs and on the disk.
small_src=$dir/small-src
small_count=2000
small_floor_run() { find "$1" -type f -name '*.tmp' -print0 | "$small_floor"; }
small_xargs_run() { find "$1" -type f -name '*.tmp' -print0 | xargs -0 -n1 -P2 "$zelmor"; }
# The system calls in strace -c summaries, "NAME COUNT", summed over the
# files given, most first.
strace_calls() {
    awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { n[$NF] += $4 }
         END { for (s in n) print s, n[s] }' "$@" | sort -k2,2nr -k1,1
}
# "N.N calls a file; most: NAME N.N, ..." from strace_calls's lines.
per_file_calls() {
    awk -v files="$small_count" '
        { all += $2; if (NR <= 6) most = most sep sprintf("%s %.2f", $1, $2 / files); sep = ", " }
        END { printf "%.1f calls a file; most: %s", all / files, most }'
}

# LABEL TREE: copies the inputs to TREE and times the four there.
small_fs() {
    local label=$1 tree=$2 r k f j1 j2 x pair med
    local ft=() j1t=() j2t=() xt=() j1_floor=() j2_xargs=()
    cp -r "$small_src" "$tree"
    printf '%s: %s, stat -f -c %%T: %s; %s\n' "$label" "$tree" "$(stat -f -c %T "$tree")" \
        "$(df --output=source,fstype "$tree" | awk 'NR == 2 { print "device " $1 ", mounted as " $2 }')"
    # Warm up: each makes or replaces every equation file once.
    small_floor_run "$tree"; "$batch" -j 1 "$tree"; "$batch" -j 2 "$tree"; small_xargs_run "$tree"
    sync -f "$tree"
    # Round r starts with the r-th program, so that none always follows the
    # same one (on the disk, the last one's writes may still be going out).
    for ((r = 0; r < small_rounds; r++)); do
        for ((k = 0; k < 4; k++)); do
            case $(((r + k) % 4)) in
            0) f=$(seconds small_floor_run "$tree") ;;
            1) j1=$(seconds "$batch" -j 1 "$tree") ;;
            2) j2=$(seconds "$batch" -j 2 "$tree") ;;
            3) x=$(seconds small_xargs_run "$tree") ;;
            esac
        done
        ft+=("$f") j1t+=("$j1") j2t+=("$j2") xt+=("$x")
        j1_floor+=("$(ratio "$j1" "$f")") j2_xargs+=("$(ratio "$j2" "$x")")
    done
    printf '  medians of %d rounds, each converting the %d files over the last round'"'"'s equation files:\n' \
        "$small_rounds" "$small_count"
    for pair in "floor, find -print0 | zelmor-small-floor:${ft[*]}" "zelmor-batch -j 1:${j1t[*]}" \
                "zelmor-batch -j 2:${j2t[*]}" "xargs -0 -n1 -P2 zelmor:${xt[*]}"; do
        # shellcheck disable=SC2086
        med=$(list_median ${pair#*:})
        printf '    %-42s %.3f s  %4.0f us a file\n' "${pair%%:*}" "$med" \
            "$(echo "$med * 1000000 / $small_count" | bc -l)"
    done
    printf '  zelmor-batch -j 1 / floor: %.2f; zelmor-batch -j 2 / xargs -P2 zelmor: %.3f (medians of the rounds'"'"' ratios)\n' \
        "$(list_median "${j1_floor[@]}")" "$(list_median "${j2_xargs[@]}")"
    rm -rf "$tree"
}

small_files() {
    local disk_root=${ZELMOR_BENCH_DISK:-/var/tmp} disk a b c n lines=0 i=0 calls cpu
    cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    printf 'CPU: %s, %d available\n' "${cpu:-$(uname -m)}" "$(nproc)"
    if [ "$(stat -f -c %T "$disk_root")" = tmpfs ]; then
        echo "$disk_root is on tmpfs: set ZELMOR_BENCH_DISK to a directory on a disk" >&2
        exit 1
    fi
    disk=$(mktemp -d "$disk_root/zelmor-bench.XXXXXX")
    cleanup+=("$disk")
    # Each input n lines long, n from 1 to 200, each length as often: the
    # first n lines of a realistic input of more than enough bytes (a line
    # is 40 to 80 bytes; its last group may stay open, as zelmor allows).
    for ((a = 0; a < 10; a++)); do
        for ((b = 0; b < 10; b++)); do
            mkdir -p "$small_src/d$a/d$b"
            for ((c = 0; c < 20; c++, i++)); do
                n=$((1 + i * 119 % 200))
                "$gen" realistic $((n * 100 + 300)) "$i" | sed -n "1,${n}p" > "$small_src/d$a/d$b/f$c.tmp"
                lines=$((lines + n))
            done
        done
    done
    [ "$(find "$small_src" -type f -name '*.tmp' -exec cat {} + | wc -l)" -eq "$lines" ] ||
        { echo "small files: the inputs are short of lines" >&2; exit 1; }
    printf 'small files: %d realistic inputs of 1 to 200 lines, 10 x 10 x 20 in three levels of directories, %d bytes in all\n' \
        "$small_count" "$(find "$small_src" -type f -name '*.tmp' -exec cat {} + | wc -c)"
    small_fs tmpfs "$dir/small"
    small_fs disk "$disk/small"

    # System calls, counted once on a copy on tmpfs whose equation files
    # exist, as in the rounds above.
    if ! command -v strace >/dev/null; then
        echo 'system calls: not counted, needs strace: apt-get install strace'
        return
    fi
    calls=$dir/strace
    mkdir "$calls"
    cp -r "$small_src" "$calls/tree"
    "$batch" -j 1 "$calls/tree"
    strace -f -c -o "$calls/batch" "$batch" -j 1 "$calls/tree"
    strace -f -c -o "$calls/find" find "$calls/tree" -type f -name '*.tmp' -print0 > "$calls/list"
    strace -f -c -o "$calls/floor" "$small_floor" < "$calls/list"
    echo 'system calls a file, counted once with strace -f -c on a copy on tmpfs, every process summed:'
    printf '  %-29s %s\n' 'zelmor-batch -j 1:' "$(strace_calls "$calls/batch" | per_file_calls)" \
        'floor, find and the program:' "$(strace_calls "$calls/find" "$calls/floor" | per_file_calls)" \
        '  zelmor-small-floor alone:' "$(strace_calls "$calls/floor" | per_file_calls)" \
        '  find alone:' "$(strace_calls "$calls/find" | per_file_calls)"
    rm -rf "$calls"
}
# CPU seconds, user plus system, that one run of "$@" takes.
cpu_seconds() {
    local TIMEFORMAT='%3U %3S' t
    t=$({ time "$@" >/dev/null 2>&1; } 2>&1) || { echo "failed: $*" >&2; return 1; }
    echo "$t" | awk '{ print $1 + $2 }'
}

# Each shape, whole process against the floor, then in process.
shapes() {
    local cpu s r out_bytes f z ratios zs fs
    cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    printf 'shapes: CPU %s; %d MiB a shape in %s (%s); CPU time, user plus system, medians of %d interleaved rounds\n' \
        "${cpu:-$(uname -m)}" "$size_mib" "$dir" "$(stat -f -c %T "$dir")" "$rounds"
    for s in realistic plain tokens parens nested depths; do
        "$gen" "$s" $((size_mib << 20)) > "$dir/$s.tmp"
        "$zelmor" "$dir/$s.tmp" # warm up, and the size the floor writes
        out_bytes=$(stat -c %s "$dir/$s.eqn-file")
        ratios=() zs=() fs=()
        for ((r = 0; r < rounds; r++)); do
            f=$(cpu_seconds "$floor" "$dir/$s.tmp" "$dir/floor.out" "$out_bytes")
            z=$(cpu_seconds "$zelmor" "$dir/$s.tmp")
            [ "$(stat -c %s "$dir/floor.out")" = "$out_bytes" ] || { echo "the floor wrote other than $out_bytes bytes" >&2; exit 1; }
            fs+=("$f") zs+=("$z") ratios+=("$(ratio "$z" "$f")")
        done
        printf '  %-10s out %d bytes: zelmor %.3f s, floor %.3f s, zelmor / floor %.2f\n' "$s" "$out_bytes" \
            "$(list_median "${zs[@]}")" "$(list_median "${fs[@]}")" "$(list_median "${ratios[@]}")"
        rm -f "$dir/$s.tmp" "$dir/$s.eqn-file" "$dir/floor.out"
    done
    echo '  in process, GB/s, medians of 5 repetitions (bench_filter filter/SHAPE/ISA[/scanners|/marks]):'
    "$bench_filter" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_format=csv 2>/dev/null |
        awk -F, '$1 ~ /_median"$/ { gsub(/"/, "", $1); sub(/_median$/, "", $1); printf "    %-34s %6.2f\n", $1, $6 / 1e9 }'
}
if ((shapes_only)); then
    shapes
    exit 0
fi
if ((small_only)); then
    small_files
    exit 0
fi

"$gen" realistic $((size_mib << 20)) > "$dir/big.tmp"
"$gen" realistic $((1 << 20)) > "$dir/small.tmp"
echo '((e1 (x + 1) (y)))' > "$dir/line.tmp"

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
shapes
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

plan_memory 100000
plan_memory 1000000

small_files
