#!/usr/bin/env bash
# The README's recipes for many machines, run as the README gives them: the
# GNU parallel recipe against parallel itself, with this machine (`:`) as its
# only host, and the Slurm recipe against a single-node cluster of its own,
# each over a tree of inputs whose every equation file is then checked.
#
#   recipes.sh parallel|slurm README ZELMOR-BATCH SKIP-DIR
#
# ZELMOR_TEST_BATCH_PROGRAM replaces the program, ZELMOR_SKIP_DIR the
# directory where a skip leaves its reason.  The cluster runs in PID, mount
# and network namespaces of its own, so that its ports, its /proc and its
# processes are private: munged, slurmctld and slurmd in the foreground,
# stopped by their pids on every way out, and whatever they leave
# (slurmstepd, a job) killed by the kernel when the namespace's first
# process, this script, ends.
set -euo pipefail
engine=${1,,} readme=$(realpath "$2") batch=$(realpath "${ZELMOR_TEST_BATCH_PROGRAM:-$3}")
skip_dir=${ZELMOR_SKIP_DIR-$4}
name=Recipes.${engine^}

skip() {
    if [ -n "$skip_dir" ]; then
        mkdir -p "$skip_dir" && printf '%s: %s' "$name" "$1" >"$skip_dir/$name.txt"
    fi
    echo "skipped: $1"
    exit 0
}
fail() {
    printf 'FAILED: %s\n' "$1" >&2 && shift && printf '%s\n' "$@" >&2
    exit 1
}
needs() { # program, package
    command -v "$1" >/dev/null || skip "needs $1 (apt-get install $2)"
}

# A scratch directory, the current one from here on, with the program under
# test first on PATH by its own name, as the recipes call it.
enter_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/zelmor-recipes-XXXXXX")
    trap "$1" EXIT
    cd "$work"
    mkdir bin && ln -s "$batch" bin/zelmor-batch
    PATH=$work/bin:$PATH
}

# The ```sh block after the README line marked <!-- recipe: $1 -->.
recipe() {
    awk -v mark="<!-- recipe: $1" 'index($0, mark) { f = 1; next }
        f == 1 && /^```sh$/ { f = 2; next } f == 2 && /^```$/ { exit } f == 2' "$readme" |
        grep '' || fail "README.md has no sh block after a line marked <!-- recipe: $1"
}

# Inputs in tree/, and in want/ the equation file each must get: two shards
# of 1,000, the last one short, in directories, each input unlike the
# others, and names with a space, a newline, a quote and a leading dash,
# which a list cut at anything but NUL would break.
make_tree() {
    local i n
    mkdir -p {tree,want}/d{0..6}
    for ((i = 0; i < 1010; ++i)); do
        n=d$((i % 7))/f$i
        printf '((e%d (x + %d) (y)))\n' $i $i >"tree/$n.tmp"
        printf '((e%d ("x" "+" "%d") ("y")))\n' $i $i >"want/$n.eqn-file"
    done
    for n in 'a b' $'new\nline' 'q"uote' -dash; do
        printf '(a b) ((a b)) (((a  b )))\n((((a b))))' >"tree/$n.tmp"
        printf '(a b) ((a b)) ((("a"  "b" )))\n((("(a" "b"))))' >"want/$n.eqn-file"
    done
}

# Every equation file as wanted, and nothing else made but the recipe's own
# files (named in the arguments, removed first); else the first differences.
check_tree() {
    (cd tree && rm -rf -- "$@")
    diff -rq -x '*.tmp' want tree >/dev/null && return 0
    diff -r -x '*.tmp' want tree | head -n 20 >&2 || true
    fail "the equation files are not as wanted (above: want/, below: tree/)"
}

run_parallel() {
    needs parallel parallel
    enter_work 'rm -rf "$work"'
    make_tree
    recipe parallel >recipe.sh
    mkdir home && echo : >tree/hosts
    (cd tree && unset PARALLEL && HOME=$work/home sh -e ../recipe.sh) ||
        fail "the recipe ended with status $?"
    # Each shard a job on host `:` that ended with status 0.
    awk -F '\t' 'NR > 1 && ($2 != ":" || $7 != 0 || $8 != 0) { bad = 1 } END { exit bad || NR != 3 }' \
        tree/zelmor.log || fail "parallel's log is not of two jobs on : that succeeded:" "$(cat tree/zelmor.log)"
    check_tree files hosts zelmor.log
}

run_slurm() {
    [ "$(id -u)" = 0 ] || skip "needs root, to run slurmd"
    needs munged munge
    for p in slurmctld slurmd sbatch scontrol; do needs $p slurm-wlm; done
    needs ip iproute2
    unshare --pid --fork --kill-child --mount-proc --net true 2>/dev/null ||
        skip "cannot make PID, mount and network namespaces with unshare"
    exec unshare --pid --fork --kill-child --mount-proc --net \
        "$BASH" "${BASH_SOURCE[0]}" cluster "$readme" "$batch" ""
}

# In the namespaces, as their first process.
run_cluster() {
    local host job states ended
    enter_work 'stop_cluster $?'
    unset $(compgen -e | grep -E '^(SLURM|SBATCH|SQUEUE|SCONTROL)_') PARALLEL
    # Slurm resolves with AI_ADDRCONFIG, which finds no IPv4 address in a
    # namespace with nothing but 127.0.0.1: glibc counts any other address.
    ip link set lo up && ip address add 127.0.0.2/8 dev lo
    # munged's socket must be reachable by everyone, as for any user's client.
    chmod 711 . && mkdir -m 711 munge && mkdir state spool
    head -c 1024 /dev/urandom >munge/key && chmod 400 munge/key
    munged -F --socket="$work/munge/socket" --key-file="$work/munge/key" \
        --pid-file="$work/munge/pid" --seed-file="$work/munge/seed" 2>munged.log &
    pids+=($!)
    host=$(hostname -s)
    cat >slurm.conf <<EOF
ClusterName=zelmor
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=6817
SlurmdPort=6818
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
PlugStackConfig=$work/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
$(slurmd -C | head -n 1) NodeAddr=127.0.0.1
PartitionName=all Nodes=$host Default=YES State=UP
EOF
    : >plugstack.conf
    export SLURM_CONF=$work/slurm.conf
    until [ -S munge/socket ]; do poll "munged to listen"; done
    slurmctld -D -c -f "$SLURM_CONF" 2>slurmctld.log &
    pids+=($!)
    slurmd -D -c -f "$SLURM_CONF" 2>slurmd.log &
    pids+=($!)
    make_tree
    recipe sbatch >recipe.sh
    recipe convert.sh >tree/convert.sh
    until scontrol -o show node "$host" 2>/dev/null | grep -q 'State=IDLE'; do poll "the node to be idle"; done
    job=$(cd tree && sh -e ../recipe.sh) || fail "the recipe ended with status $?"
    [[ $job =~ ^Submitted\ batch\ job\ ([0-9]+)$ ]] || fail "sbatch said: $job"
    job=${BASH_REMATCH[1]}
    # Every task of the array ended; then two, each completed with status 0.
    ended='COMPLETED|FAILED|CANCELLED|TIMEOUT|NODE_FAIL|OUT_OF_MEMORY|BOOT_FAIL|DEADLINE|PREEMPTED'
    while :; do
        states=$(scontrol -o show job "$job" | grep -o 'JobState=[A-Z_]* .* ExitCode=[0-9:]*' |
            sed 's/ .* / /') || true
        [ -n "$states" ] && ! grep -qvE "^JobState=($ended) " <<<"$states" && break
        poll "array job $job to end"
    done
    [ "$states" = "$(printf 'JobState=COMPLETED ExitCode=0:0\n%.0s' 1 2)" ] ||
        fail "the array's tasks ended so:" "$states" "$(scontrol -o show job "$job")"
    for out in tree/slurm-"$job"_{0..1}.out; do
        [ -f "$out" ] && [ ! -s "$out" ] || fail "$out, which should be empty:" "$(cat "$out")"
    done
    check_tree files shards convert.sh slurm-"$job"_{0..1}.out
}

# Waits a tenth of a second more for what it names, as long as every daemon
# runs, up to a minute from the start.
pids=()
poll() {
    local p
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null || fail "a daemon ended while waiting for $1"; done
    ((SECONDS < 60)) || fail "waited a minute for $1"
    sleep 0.1
}

# Stops each daemon by its pid, with SIGKILL after ten seconds; on failure,
# shows what they said.
stop_cluster() {
    local p i
    set +e
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do
        for ((i = 0; i < 100; ++i)); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$p" 2>/dev/null
    done
    wait
    if [ "$1" != 0 ]; then
        for log in munged slurmctld slurmd; do
            echo "--- $log" && tail -n 30 "$work/$log.log"
        done >&2
    fi
    rm -rf "$work"
}

case $engine in
parallel) run_parallel ;;
slurm) run_slurm ;;
cluster) run_cluster ;;
*) fail "no recipe for $engine" ;;
esac
