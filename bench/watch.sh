#!/usr/bin/env bash
# zelmor-batch -w: latency, throughput and memory, on tmpfs (/dev/shm).
#
#   bench/watch.sh [LATENCY_FILES] [THROUGHPUT_FILES] [MEMORY_FILES]
#
# Builds the bench preset and prints:
#   - latency: LATENCY_FILES (default 1000) files of 1 KiB written one at a
#     time into a watched directory (-j 1); the median and 99th percentile
#     of the time from the writer's close to the published equation file;
#   - throughput: THROUGHPUT_FILES (default 10000) files of 1 KiB moved
#     into a watched directory at once, faster than they convert, with
#     -j 2: the time to the last equation file, against zelmor-batch -j 2
#     over the same files in a directory, and against the same moves into
#     a directory no one watches followed by zelmor-batch -j 2 there,
#     medians of 5 interleaved rounds;
#   - memory: files through a watcher (-j 2) in batches of 1,000, each
#     converted then removed, as a pipeline's reader would: the peak
#     resident memory of the watcher and of its largest worker after
#     10,000 files and after MEMORY_FILES (default 1,000,000).
set -euo pipefail
cd "$(dirname "$0")/.."
latency_files=${1:-1000} throughput_files=${2:-10000} memory_files=${3:-1000000}
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
batch=$PWD/build-bench/zelmor-batch
feed=$PWD/build-bench/bench/zelmor-watch-feed

dir=$(mktemp -d /dev/shm/zelmor-watch-bench.XXXXXX)
watcher=0
trap '[ "$watcher" = 0 ] || kill "$watcher" 2>/dev/null; rm -rf "$dir"' EXIT
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Starts a watcher of $dir/w with "$@", once it has begun to watch.
watch() {
    rm -rf "$dir/w" && mkdir "$dir/w"
    printf '((a))\n' > "$dir/w/ready.tmp"
    "$batch" "$@" -w "$dir/w" 2>>"$dir/log" &
    watcher=$!
    while [ ! -e "$dir/w/ready.eqn-file" ]; do sleep 0.01; done
    rm "$dir/w/ready.tmp" "$dir/w/ready.eqn-file"
}
unwatch() { kill "$watcher"; wait "$watcher" 2>/dev/null || true; watcher=0; }
stage() { # $1 files of 1 KiB in $dir/stage
    rm -rf "$dir/stage" && mkdir "$dir/stage"
    head -c 1024 /dev/zero | tr '\0' 'x' | sed 's/^/((e1 (x + 1) (y)))\n/' > "$dir/one"
    local one
    one=$(<"$dir/one") # ends in x, so nothing is stripped
    # A builtin redirection per file: a cp per file made staging the slow part.
    for ((i = 0; i < $1; ++i)); do printf '%s' "$one" > "$dir/stage/f$i.tmp"; done
}

echo "== latency, -j 1, $latency_files files of 1 KiB"
watch -j 1
"$feed" latency "$dir/w" "$latency_files"
unwatch

echo "== throughput, -j 2, $throughput_files files of 1 KiB arriving at once"
watched=() batched=() arrived=()
for round in 1 2 3 4 5; do
    stage "$throughput_files"
    watch -j 2
    watched+=("$("$feed" arrive "$dir/stage" "$dir/w" "$throughput_files")")
    unwatch
    stage "$throughput_files"
    start=$(date +%s%N)
    "$batch" -j 2 "$dir/stage"
    batched+=("$(echo "scale=3; ($(date +%s%N) - $start) / 1000000000" | bc)")
    # The same files arriving the same way into a directory no one
    # watches, then converted in one batch: a pipeline's round.
    stage "$throughput_files"
    rm -rf "$dir/b" && mkdir "$dir/b"
    moved=$("$feed" move "$dir/stage" "$dir/b" "$throughput_files")
    start=$(date +%s%N)
    "$batch" -j 2 "$dir/b"
    arrived+=("$(echo "scale=3; $moved + ($(date +%s%N) - $start) / 1000000000" | bc)")
done
w=$(printf '%s\n' "${watched[@]}" | median) b=$(printf '%s\n' "${batched[@]}" | median)
a=$(printf '%s\n' "${arrived[@]}" | median)
echo "-w: $w s; zelmor-batch -j 2: $b s; throughput of -w against the batch: $(echo "scale=3; $b / $w" | bc)"
echo "moved in, then zelmor-batch -j 2: $a s; throughput of -w against that: $(echo "scale=3; $a / $w" | bc)"

echo "== memory, -j 2, files through in batches of 1,000"
watch -j 2
"$feed" memory "$dir/w" "$watcher" 10000 "$memory_files"
unwatch
if [ -s "$dir/log" ]; then echo "said on standard error:"; head "$dir/log"; fi
