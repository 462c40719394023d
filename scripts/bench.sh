#!/usr/bin/env bash
# Download benchmark: the tool's own engine (bench/quorvel-bench, a real
# ProductDownloader run offscreen) side by side with aria2c and curl
# --parallel fetching the same files from the same local chart service into a
# fresh folder with the same concurrency, and with sha1sum (same parallelism)
# checking an already complete card. Every workload runs over plain HTTP and
# over HTTPS (the service's own throw-away authority, handed to every client:
# curl --cacert, aria2c --ca-certificate, ours QUORVEL_EXTRA_CA_FILE). Prints
# one "key=value" line per figure; HTTPS figures end in "_https".
# Protocols h1 and h2 go through a TLS front (Debian's nginx, scripts/front.sh)
# that speaks HTTP/2 as a CDN does: h1 holds every client to HTTP/1.1 there,
# h2 lets ours and curl (--http2) use HTTP/2; aria2c speaks HTTP/1.1 only.
# Figures end in "_h1" and "_h2".
#
# Beside each of our runs a process on each core sleeps 5 ms at a time
# (quorvel-sleeper) and notes how late it wakes: the window's worst stall in a
# phase is judged against 16 ms or the worst such lateness in the same phase,
# whichever is larger.
#
#   scripts/bench.sh                 all three workloads, every protocol
#   WORKLOADS="big verify" PROTOCOLS=https scripts/bench.sh
#   WORKLOADS=huge PROTOCOLS=http scripts/bench.sh    ours alone on a 4 GiB product (peak RSS)
#   WORKLOADS="records200k deep" PROTOCOLS=http scripts/bench.sh
#                                    ours alone on 200,000 small files (peak RSS,
#                                    preparation) and on a path 4,000 folders deep
#   CONCURRENCY=3 REPEATS=3 BENCH_DIR=/var/tmp BUILD_DIR=build-bench scripts/bench.sh
#
# Times are the best of REPEATS runs of each tool; peak_rss_mib and the
# stalls (per phase: preparation, transfers, read-back) are the worst seen in any of
# our runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
source scripts/front.sh

build=${BUILD_DIR:-build-bench}
workloads=${WORKLOADS:-big many verify}
protocols=${PROTOCOLS:-http https h1 h2}
concurrency=${CONCURRENCY:-3}
repeats=${REPEATS:-3}

# A build folder that already exists keeps its own settings.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"${JOBS:-2}" --target quorvel-bench quorvel-bare-fetch quorvel-sleeper \
    quorvel-chart-service >/dev/null

bench_bin=$root/$build/bench/quorvel-bench
bare_bin=$root/$build/bench/quorvel-bare-fetch
sleeper_bin=$root/$build/bench/quorvel-sleeper
service_bin=$root/$build/tools/chart-service/quorvel-chart-service

work=$(mktemp -d "${BENCH_DIR:-/tmp}/quorvel-bench.XXXXXX")
# ext4 passes over an inode freed in the last minutes while the block that
# holds it is cached, and looks at every such inode for each file it
# creates: in the first minutes after an earlier run deleted its thousands
# of files, fetching the 2,000 small files cost any tool 0.1-0.6 s more CPU.
# Dropping the clean caches lets those inodes go at once (root only). Within
# the run nothing of many files is deleted: such folders are set aside below.
sync
echo 3 2>/dev/null >/proc/sys/vm/drop_caches || true
service_pid=
cleanup() {
    stop_front
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The tool's own files (config.ini, log) go to a throw-away data folder.
export XDG_DATA_HOME=$work/xdg HOME=$work/home QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_DATA_HOME" "$HOME"

# The service stands in for a remote server, so it must not take CPU from the
# client under test: niced, it yields to every tool alike (ours and the peers).
nice -n 10 "$service_bin" --port 0 --catalogue "$root/tools/chart-service/bench-catalogue.json" \
    --state "$work/state.json" --tls-dir "$work/tls" >"$work/service.out" 2>"$work/service.err" &
service_pid=$!
for _ in $(seq 100); do
    grep -q '^https_wrong_name=' "$work/service.out" 2>/dev/null && break
    sleep 0.1
done
base=$(head -n1 "$work/service.out")
base_https=$(sed -n 's/^https=//p' "$work/service.out")
ca=$(sed -n 's/^ca=//p' "$work/service.out")
[ -n "$base" ] && [ -n "$base_https" ] && [ -s "$ca" ] || { echo "error=chart service did not start" >&2; exit 1; }
base_front=
case " $protocols " in
*" h1 "* | *" h2 "*)
    FRONT_NICE=10 start_front "$base" "$work/tls" "$work" || exit 1
    base_front=$front_base
    ;;
esac

# Points every client at one protocol: sets $suffix ("" or "_https") and the
# TLS options of the peers.
curl_tls=()
aria_tls=()
suffix=
use_protocol() {
    unset QUORVEL_HTTP2
    case $1 in
    http)
        export QUORVEL_SERVICE_URL=$base
        unset QUORVEL_EXTRA_CA_FILE
        curl_tls=()
        aria_tls=()
        suffix=
        ;;
    https)
        export QUORVEL_SERVICE_URL=$base_https QUORVEL_EXTRA_CA_FILE=$ca
        curl_tls=(--cacert "$ca")
        aria_tls=(--ca-certificate="$ca")
        suffix=_https
        ;;
    h1 | h2)
        export QUORVEL_SERVICE_URL=$base_front QUORVEL_EXTRA_CA_FILE=$ca
        aria_tls=(--ca-certificate="$ca")
        if [ "$1" = h2 ]; then
            export QUORVEL_HTTP2=1
            curl_tls=(--cacert "$ca" --http2)
        else
            export QUORVEL_HTTP2=0
            curl_tls=(--cacert "$ca" --http1.1)
        fi
        suffix=_$1
        ;;
    *) echo "error=unknown protocol $1" >&2; exit 2 ;;
    esac
}

email=bench@quorvel.test
password=Bench-Pass-2024

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b ? a : b) }'; }
larger() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b ? a : b) }'; }
field() { sed -n "s/^$1=//p" "$2" | tail -n1; }
# The whole machine's busy CPU time in seconds: every process, the service
# and the kernel's own threads (write-back) alike; time the hypervisor stole
# from a core is left out.
busy_now() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
busy_since() {
    awk -v a="$1" -v b="$(busy_now)" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", (b - a) / hz }'
}

# Removing thousands of files makes the next thousands slow to create on a
# file system without a journal (ext4 then skips every inode freed in the
# last minutes, one by one), and the tool that ran after a removal would pay
# for it. A folder of many files is set aside for the end instead; a few
# large files go at once, as they cost nothing here and fill the disk.
#
# Drops the pages of every file below a folder from memory (written out
# first): what is read next comes from the disk.
# The path of every file of a list ("url<TAB>file<TAB>sha1") in a folder.
listed_files() {
    awk -F'\t' -v d="$2" '{ print d "/" $2 }' "$1"
}

drop_pages() {
    sync
    # find, not a walk in Python: a product 4,000 folders deep is deeper
    # than Python's recursion allows.
    find "$1" -type f -print0 | python3 -c '
import os, sys
for path in sys.stdin.buffer.read().split(b"\0"):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError:
        continue  # paths longer than the system takes: left in memory
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
'
}

# A folder set aside keeps its files' pages in memory, and a few runs of many
# files fill the page cache: from then on every run paid for the kernel
# taking pages back (one of ours on the 1 GiB product took 2.0-2.6 s with
# the cache full, 1.55-1.69 s with memory free). The pages of a folder set
# aside are dropped, so that every tool starts where the first one did.
discard() {
    [ -e "$1" ] || return 0
    if [ "$(find "$1" -type f 2>/dev/null | head -n 101 | wc -l)" -gt 100 ]; then
        mkdir -p "$work/set-aside"
        drop_pages "$1"
        mv "$1" "$(mktemp -d "$work/set-aside/XXXXXX")/"
    else
        rm -rf "$1"
    fi
}

make_card() {
    discard "$1"
    "$service_bin" make-card "$1" --kind blank --media-id QBENCH-0001 >/dev/null
}

# Our engine on one card; the figures land in $work/<label>.ours.
run_ours() {
    local label=$1 sku=$2 type=$3 card=$4
    shift 4
    # What an earlier run left for the disk to write must not slow this one.
    sync
    [ -z "$front_dir" ] || front_protocols >/dev/null
    # One sleeper held on each core: the hypervisor holds back one core at a
    # time as often as both, and a thread whose timer lies on the core held
    # wakes late however idle the other is (a sleeper free to move missed
    # such moments: our 10.5 ms stall came with 9.8 ms on one core and none
    # on the other).
    local sleepers=() core
    for core in $(seq 0 $(($(nproc) - 1))); do
        taskset -c "$core" "$sleeper_bin" >"$work/$label.sleeper.$core" &
        sleepers+=($!)
    done
    if ! "$bench_bin" --email "$email" --password "$password" --sku "$sku" --type "$type" \
        --card "$card" --concurrency "$concurrency" "$@" >"$work/$label.ours"; then
        kill "${sleepers[@]}" 2>/dev/null || true
        cat "$work/$label.ours" >&2
        echo "error=our run '$label' failed" >&2
        exit 1
    fi
    kill "${sleepers[@]}" 2>/dev/null || true
    wait "${sleepers[@]}" 2>/dev/null || true
    for core in $(seq 0 $(($(nproc) - 1))); do
        awk -v core="$core" 'NF == 2 { print $1, $2, core }' "$work/$label.sleeper.$core"
    done >"$work/$label.sleeper"
    # Through the front: which protocol our requests came over.
    [ -z "$front_dir" ] || echo "protocols=$(front_protocols)" >>"$work/$label.ours"
    # The sleepers' worst lateness within each of our phases, and how much
    # of our worst stall in each phase one of them was held at the same time
    # (the machine's share of it).
    local ours_file=$work/$label.ours
    local stalls= phase
    for phase in prepare transfer readback; do
        stalls+="$(field ${phase}_max_stall_late_from_mono_ns "$ours_file") "
        stalls+="$(field ${phase}_max_stall_ms "$ours_file") "
    done
    awk -v bounds="$(field phases_mono_ns "$ours_file")" -v stalls="$stalls" '
        BEGIN {
            n = split(bounds, b, " "); worst[1] = worst[2] = worst[3] = 0
            split(stalls, s, " ")
            for (p = 1; p <= 3; p++) {
                from[p] = s[2 * p - 1]; to[p] = from[p] + s[2 * p] * 1e6; shared[p] = 0
            }
        }
        NF == 3 {
            for (p = 1; p <= 3; p++) {
                if (b[p] == 0) continue
                end = 0
                for (q = p + 1; q <= 4; q++) if (b[q] != 0) { end = b[q]; break }
                if ($1 >= b[p] && $1 < end && $2 > worst[p]) worst[p] = $2
                if (from[p] == "") continue
                a = $1 + 5e6; z = a + $2
                lo = (a > from[p] ? a : from[p]); hi = (z < to[p] ? z : to[p])
                if (hi > lo) held[p, $3] += hi - lo
                if (held[p, $3] > shared[p]) shared[p] = held[p, $3]
            }
        }
        END {
            printf "prepare_sleeper_late_ms=%.1f\n", worst[1] / 1e6
            printf "transfer_sleeper_late_ms=%.1f\n", worst[2] / 1e6
            printf "readback_sleeper_late_ms=%.1f\n", worst[3] / 1e6
            printf "prepare_max_stall_shared_ms=%.1f\n", shared[1] / 1e6
            printf "transfer_max_stall_shared_ms=%.1f\n", shared[2] / 1e6
            printf "readback_max_stall_shared_ms=%.1f\n", shared[3] / 1e6
        }' "$work/$label.sleeper" >>"$ours_file"
}

# The peers leave their files in the page cache; the tool syncs every file
# and folder it writes. A peer's time "durable" includes the same for its
# files (fdatasync of each, fsync of each folder), so the two can be compared
# on equal terms as well.
durable() {
    find "$1" -type f -print0 | xargs -0 -r sync --data
    find "$1" -type d -print0 | xargs -0 -r sync
}

# Every file of the list must match its SHA-1 (checked outside the timing).
check_card() {
    local list=$1 dir=$2
    awk -F'\t' -v d="$dir" '{ print $3 "  " d "/" $2 }' "$list" | sha1sum --quiet -c - >/dev/null
}

max_stall=0
peak_rss=0
prepare_stall=0
transfer_stall=0
readback_stall=0
# The same per workload and protocol (w_*): set by reset_workload_stalls,
# called once below and at the start of every workload.
stall_misses=0
own_misses=0
note_ours() {
    local file=$1 phase stall
    # For the worst stall of each phase so far: how much of it the sleeper
    # was held too, how much our thread ran and how much it waited for a core.
    for phase in prepare transfer readback; do
        stall=$(field ${phase}_max_stall_ms "$file")
        eval "[ \"\$(larger \"\$w_${phase}_stall\" \"$stall\")\" = \"\$w_${phase}_stall\" ]" && continue
        eval "w_${phase}_shared=$(field ${phase}_max_stall_shared_ms "$file")"
        eval "w_${phase}_ran=$(field ${phase}_max_stall_ran_ms "$file")"
        eval "w_${phase}_queued=$(field ${phase}_max_stall_queued_ms "$file")"
    done
    max_stall=$(larger "$max_stall" "$(field max_stall_ms "$file")")
    prepare_stall=$(larger "$prepare_stall" "$(field prepare_max_stall_ms "$file")")
    transfer_stall=$(larger "$transfer_stall" "$(field transfer_max_stall_ms "$file")")
    w_prepare_stall=$(larger "$w_prepare_stall" "$(field prepare_max_stall_ms "$file")")
    w_transfer_stall=$(larger "$w_transfer_stall" "$(field transfer_max_stall_ms "$file")")
    readback_stall=$(larger "$readback_stall" "$(field readback_max_stall_ms "$file")")
    w_readback_stall=$(larger "$w_readback_stall" "$(field readback_max_stall_ms "$file")")
    w_prepare_sleeper=$(larger "$w_prepare_sleeper" "$(field prepare_sleeper_late_ms "$file")")
    w_transfer_sleeper=$(larger "$w_transfer_sleeper" "$(field transfer_sleeper_late_ms "$file")")
    w_readback_sleeper=$(larger "$w_readback_sleeper" "$(field readback_sleeper_late_ms "$file")")
    peak_rss=$(larger "$peak_rss" "$(field peak_rss_mib "$file")")
    w_peak_rss=$(larger "$w_peak_rss" "$(field peak_rss_mib "$file")")
}
reset_workload_stalls() {
    local phase
    for phase in prepare transfer readback; do
        eval "w_${phase}_shared=0 w_${phase}_ran=0 w_${phase}_queued=0"
    done
    w_peak_rss=0
    w_prepare_stall=0
    w_transfer_stall=0
    w_readback_stall=0
    w_prepare_sleeper=0
    w_transfer_sleeper=0
    w_readback_sleeper=0
}
reset_workload_stalls
# Per phase: our worst stall, the sleeper's worst lateness, the limit
# (16 ms or that lateness) and whether the stall stayed within it.
print_workload_stalls() {
    local phase stall sleeper limit within shared own
    echo "${1}_peak_rss_mib=$w_peak_rss"
    for phase in prepare transfer readback; do
        eval "stall=\$w_${phase}_stall sleeper=\$w_${phase}_sleeper"
        limit=$(larger 16 "$sleeper")
        within=$(awk -v s="$stall" -v l="$limit" 'BEGIN { print (s <= l ? "yes" : "no") }')
        [ "$within" = yes ] || stall_misses=$((stall_misses + 1))
        echo "${1}_${phase}_max_stall_ms=$stall"
        echo "${1}_${phase}_sleeper_late_ms=$sleeper"
        echo "${1}_${phase}_stall_limit_ms=$limit"
        echo "${1}_${phase}_stall_within_limit=$within"
        eval "shared=\$w_${phase}_shared"
        echo "${1}_${phase}_max_stall_shared_ms=$shared"
        # What is left of the stall once the machine's share is taken out:
        # a core held back delays whatever wakes on it by as much, and then
        # the thread still has to be scheduled and catch up.
        own=$(awk -v s="$stall" -v h="$shared" 'BEGIN { printf "%.1f", s - h }')
        echo "${1}_${phase}_max_stall_own_ms=$own"
        if awk -v o="$own" 'BEGIN { exit !(o <= 16) }'; then
            echo "${1}_${phase}_max_stall_own_within_16=yes"
        else
            echo "${1}_${phase}_max_stall_own_within_16=no"
            own_misses=$((own_misses + 1))
        fi
        eval "echo \"${1}_${phase}_max_stall_ran_ms=\$w_${phase}_ran\""
        eval "echo \"${1}_${phase}_max_stall_queued_ms=\$w_${phase}_queued\""
    done
}

# sku type label
workload_big=(BENCH-1G velmora big)
workload_many=(BENCH-2K talvo many)

fetch_workload() {
    local sku=$1 type=$2 label=$3$suffix
    local list=$work/$label.list
    reset_workload_stalls
    make_card "$work/list-card"
    # Activation also warms the service (it hashes the big product once).
    "$bench_bin" --email "$email" --password "$password" --sku "$sku" --type "$type" \
        --card "$work/list-card" --list-only "$list" >/dev/null

    # Each tool runs $repeats times, interleaved, and its best time counts:
    # on a shared machine the slow runs measure the neighbours, not the tool.
    local ours= aria= curlt= aria_durable= curl_durable= nosync= noverify= noproof= noreadback= readback= n= r t0 t1
    local bare= disk_read= disk_copy= disk_proof= unordered= bare_cpu= proven= proven_cpu= proven_floor= mode b0 busy
    local read_ahead=
    for r in $(seq "$repeats"); do
        # The read-back from the card is on by default and can be turned off
        # in config.ini: both figures are printed.
        make_card "$work/card-$label"
        run_ours "$label" "$sku" "$type" "$work/card-$label" --no-readback
        noreadback=$(smaller "${noreadback:-1e9}" "$(field wall_s "$work/$label.ours")")
        # What syncing and verifying cost: the same run with one of them left
        # out (over plain HTTP only; the tool never leaves them out).
        if [ -z "$suffix" ]; then
            make_card "$work/card-$label"
            run_ours "$label" "$sku" "$type" "$work/card-$label" --no-sync
            nosync=$(smaller "${nosync:-1e9}" "$(field wall_s "$work/$label.ours")")
            make_card "$work/card-$label"
            run_ours "$label" "$sku" "$type" "$work/card-$label" --no-verify
            noverify=$(smaller "${noverify:-1e9}" "$(field wall_s "$work/$label.ours")")
            # And with no proof at all: what the engine costs by itself
            # beside the bare fetcher, the part of the proof cost that is
            # not the proof's.
            make_card "$work/card-$label"
            run_ours "$label" "$sku" "$type" "$work/card-$label" --no-readback --no-sync --no-verify
            noproof=$(smaller "${noproof:-1e9}" "$(field wall_s "$work/$label.ours")")
        fi
        make_card "$work/card-$label"
        run_ours "$label" "$sku" "$type" "$work/card-$label"
        check_card "$list" "$work/card-$label" || { echo "error=$label: our files differ" >&2; exit 1; }
        note_ours "$work/$label.ours"
        n=$(field concurrency "$work/$label.ours")
        ours=$(smaller "${ours:-1e9}" "$(field wall_s "$work/$label.ours")")
        readback=$(smaller "${readback:-1e9}" "$(field readback_s "$work/$label.ours")")
        if [ "$3" = big ]; then
            # The least any read-back can take: the product's bytes straight
            # off the disk, past the page cache, in large requests.
            t0=$(now)
            listed_files "$list" "$work/card-$label" |
                while read -r f; do dd if="$f" of=/dev/null bs=4M iflag=direct status=none; done
            disk_read=$(smaller "${disk_read:-1e9}" "$(elapsed "$t0" "$(now)")")
            # The disk's pace for a proof that reads every byte back: each
            # file written and read past the page cache at once, as many at a
            # time as ours transfers, with nothing else to do. A reference,
            # not a strict bound: writing through the page cache while
            # reading can overlap a little better than dd does.
            sync
            t0=$(now)
            listed_files "$list" "$work/card-$label" |
                xargs -d '\n' -P "$n" -I{} \
                    dd if={} of={}.copy bs=4M iflag=direct oflag=direct conv=fdatasync status=none
            disk_copy=$(smaller "${disk_copy:-1e9}" "$(elapsed "$t0" "$(now)")")
            awk -F'\t' -v d="$work/card-$label" '{ print d "/" $2 ".copy" }' "$list" | xargs -d '\n' rm -f
        fi

        # Qt's network stack alone, bytes straight into files.
        discard "$work/bare"
        sync
        b0=$(busy_now)
        "$bare_bin" "$list" "$work/bare" "$n" >"$work/$label.bare" 2>/dev/null ||
            { echo "error=$label: the bare Qt fetcher failed" >&2; exit 1; }
        bare_cpu=$(smaller "${bare_cpu:-1e9}" "$(busy_since "$b0")")
        bare=$(smaller "${bare:-1e9}" "$(field wall_s "$work/$label.bare")")
        check_card "$list" "$work/bare" || { echo "error=$label: the bare Qt fetcher's files differ" >&2; exit 1; }
        # The same stack as the tool uses it for small files over plain HTTP
        # (connections that read ahead), still doing nothing else: how much
        # of the proof's cost that takes back.
        if [ "$3" = many ] && [ -z "$suffix" ]; then
            discard "$work/bare"
            sync
            "$bare_bin" "$list" "$work/bare" "$n" --read-ahead >"$work/$label.read_ahead" 2>/dev/null ||
                { echo "error=$label: the bare Qt fetcher failed to read ahead" >&2; exit 1; }
            read_ahead=$(smaller "${read_ahead:-1e9}" "$(field wall_s "$work/$label.read_ahead")")
            check_card "$list" "$work/bare" || { echo "error=$label: the read-ahead fetcher's files differ" >&2; exit 1; }
        fi
        # The same proof with no network: those files written again from
        # memory and proven, what the proof asks of the disk by itself.
        discard "$work/disk"
        sync
        "$bare_bin" "$list" "$work/disk" "$n" --disk-from "$work/bare" >"$work/$label.disk" 2>/dev/null ||
            { echo "error=$label: the disk's own proof failed" >&2; exit 1; }
        disk_proof=$(smaller "${disk_proof:-1e9}" "$(field wall_s "$work/$label.disk")")
        discard "$work/disk"
        # That disk work and the fetch with its digests at once, neither
        # waiting for the other: the proving fetcher's whole work free of
        # the order the files impose (small files; on the big product the
        # disk alone is already the floor).
        if [ "$3" = many ]; then
            sync
            "$bare_bin" "$list" "$work/disk" "$n" --fetch-beside-disk-from "$work/bare" \
                >"$work/$label.unordered" 2>/dev/null ||
                { echo "error=$label: the proof beside the fetch failed" >&2; exit 1; }
            unordered=$(smaller "${unordered:-1e9}" "$(field wall_s "$work/$label.unordered")")
            discard "$work/disk"
        fi
        discard "$work/bare"

        # The same fetcher proving the small files as the tool does and
        # doing nothing else (the big product's floor is the disk's, above):
        # what any engine of this design needs, in time and in the machine's
        # CPU. It checks its own files and fails on any that differ.
        if [ "$3" = many ]; then
            for mode in --prove --prove-at-end; do
                sync
                b0=$(busy_now)
                "$bare_bin" "$list" "$work/bare" "$n" "$mode" >"$work/$label.proven" 2>/dev/null ||
                    { echo "error=$label: the bare Qt fetcher failed to prove its files" >&2; exit 1; }
                busy=$(busy_since "$b0")
                proven_cpu=$(smaller "${proven_cpu:-1e9}" "$busy")
                proven=$(smaller "${proven:-1e9}" "$(field wall_s "$work/$label.proven")")
                # Everything before the last write shared out over every
                # core, however well it overlaps, then the look after it,
                # which nothing overlaps.
                proven_floor=$(smaller "${proven_floor:-1e9}" "$(awk -v c="$busy" -v n="$(nproc)" \
                    -v s="$(field sample_s "$work/$label.proven")" \
                    -v sc="$(field sample_machine_cpu_s "$work/$label.proven")" \
                    'BEGIN { printf "%.3f", (c - sc) / n + s }')")
                discard "$work/bare"
            done
        fi

        discard "$work/aria2"
        mkdir -p "$work/aria2"
        awk -F'\t' '{ print $1; print "  out=" $2 }' "$list" >"$work/$label.aria2"
        sync
        t0=$(now)
        aria2c -q -d "$work/aria2" -i "$work/$label.aria2" -j "$n" -x 1 --file-allocation=none \
            --allow-overwrite=true --auto-file-renaming=false "${aria_tls[@]}"
        t1=$(now)
        aria=$(smaller "${aria:-1e9}" "$(elapsed "$t0" "$t1")")
        durable "$work/aria2"
        aria_durable=$(smaller "${aria_durable:-1e9}" "$(elapsed "$t0" "$(now)")")
        check_card "$list" "$work/aria2" || { echo "error=$label: aria2c files differ" >&2; exit 1; }
        discard "$work/aria2"

        discard "$work/curl"
        mkdir -p "$work/curl"
        awk -F'\t' -v d="$work/curl" '{ print "url = \"" $1 "\""; print "output = \"" d "/" $2 "\"" }' "$list" \
            >"$work/$label.curl"
        sync
        t0=$(now)
        curl -s -S --no-progress-meter --fail --parallel --parallel-max "$n" --create-dirs "${curl_tls[@]}" \
            -K "$work/$label.curl"
        t1=$(now)
        curlt=$(smaller "${curlt:-1e9}" "$(elapsed "$t0" "$t1")")
        durable "$work/curl"
        curl_durable=$(smaller "${curl_durable:-1e9}" "$(elapsed "$t0" "$(now)")")
        check_card "$list" "$work/curl" || { echo "error=$label: curl files differ" >&2; exit 1; }
        discard "$work/curl"
    done

    local best best_durable
    best=$(smaller "$aria" "$curlt")
    best_durable=$(smaller "$aria_durable" "$curl_durable")
    echo "${label}_concurrency=$n"
    echo "${label}_files=$(field files "$work/$label.ours")"
    echo "${label}_bytes=$(field bytes "$work/$label.ours")"
    echo "${label}_ours_s=$ours"
    case $suffix in _h1 | _h2) echo "${label}_ours_protocols=$(field protocols "$work/$label.ours")" ;; esac
    echo "${label}_ours_mib_s=$(awk -v b="$(field bytes "$work/$label.ours")" -v t="$ours" 'BEGIN { printf "%.1f", b / 1048576 / t }')"
    echo "${label}_aria2c_s=$aria"
    echo "${label}_curl_s=$curlt"
    if [ -n "$nosync" ]; then
        echo "${label}_ours_without_sync_s=$nosync"
        echo "${label}_ours_without_verify_s=$noverify"
        echo "${label}_sync_cost_s=$(awk -v a="$ours" -v b="$nosync" 'BEGIN { printf "%.3f", a - b }')"
        echo "${label}_verify_cost_s=$(awk -v a="$ours" -v b="$noverify" 'BEGIN { printf "%.3f", a - b }')"
    fi
    echo "${label}_ours_without_readback_s=$noreadback"
    echo "${label}_readback_s=$readback"
    echo "${label}_readback_cost_s=$(awk -v a="$ours" -v b="$noreadback" 'BEGIN { printf "%.3f", a - b }')"
    echo "${label}_aria2c_durable_s=$aria_durable"
    echo "${label}_curl_durable_s=$curl_durable"
    echo "ratio_${label}=$(ratio "$ours" "$best")"
    echo "ratio_${label}_without_readback=$(ratio "$noreadback" "$best")"
    echo "ratio_${label}_durable=$(ratio "$ours" "$best_durable")"
    # What Qt's network stack costs by itself, and (big product) what no tool
    # that reads its files back gets below: the best peer's transfer plus the
    # disk's own read of the bytes.
    echo "${label}_qt_bare_s=$bare"
    echo "ratio_${label}_qt_bare=$(ratio "$bare" "$best")"
    # Everything the proof adds to what the stack itself costs.
    echo "ratio_${label}_proof_cost=$(ratio "$ours" "$bare")"
    if [ -n "$noproof" ]; then
        echo "${label}_ours_without_proof_s=$noproof"
        echo "ratio_${label}_without_proof_qt_bare=$(ratio "$noproof" "$bare")"
        echo "ratio_${label}_without_verify_qt_bare=$(ratio "$noverify" "$bare")"
    fi
    echo "${label}_qt_bare_machine_cpu_s=$bare_cpu"
    [ -z "$read_ahead" ] || {
        echo "${label}_qt_read_ahead_s=$read_ahead"
        echo "ratio_${label}_qt_read_ahead_bare=$(ratio "$read_ahead" "$bare")"
        echo "ratio_${label}_proof_cost_read_ahead=$(ratio "$ours" "$read_ahead")"
    }
    echo "ratio_${label}_qt_bare_durable=$(ratio "$bare" "$best_durable")"
    # The least any engine on Qt's stack that proves every file can take
    # here: the bare fetcher's own time, the proof's own disk work with no
    # network, the disk writing and reading every byte at once (big
    # product), and for the small files the proof's whole work beside the
    # fetch with no order between them and the CPU the proving fetcher needed
    # before its last write shared out over every core, plus its look after
    # the last write. A target below floor / peer is out of reach on this
    # machine.
    local floor=$bare
    echo "${label}_disk_proof_s=$disk_proof"
    echo "ratio_${label}_disk_proof_qt_bare=$(ratio "$disk_proof" "$bare")"
    floor=$(larger "$floor" "$disk_proof")
    [ -z "$unordered" ] || {
        echo "${label}_proof_unordered_s=$unordered"
        echo "ratio_${label}_proof_unordered_qt_bare=$(ratio "$unordered" "$bare")"
        floor=$(larger "$floor" "$unordered")
    }
    [ -z "$disk_copy" ] || {
        echo "${label}_disk_write_and_read_s=$disk_copy"
        floor=$(larger "$floor" "$disk_copy")
    }
    if [ -n "$proven" ]; then
        echo "${label}_qt_proven_s=$proven"
        echo "${label}_qt_proven_machine_cpu_s=$proven_cpu"
        echo "${label}_proven_cpu_floor_s=$proven_floor"
        echo "ratio_${label}_engine_cost=$(ratio "$ours" "$proven")"
        floor=$(larger "$floor" "$proven_floor")
    fi
    echo "${label}_floor_s=$floor"
    echo "ratio_${label}_floor_durable=$(ratio "$floor" "$best_durable")"
    echo "ratio_${label}_floor_qt_bare=$(ratio "$floor" "$bare")"
    echo "ratio_${label}_ours_floor=$(ratio "$ours" "$floor")"
    if [ -n "$disk_read" ]; then
        echo "${label}_disk_read_s=$disk_read"
        echo "ratio_${label}_least_with_readback=$(awk -v b="$best" -v d="$disk_read" 'BEGIN { printf "%.3f", (b + d) / b }')"
    fi
    print_workload_stalls "$label"
}

verify_workload() {
    local label=verify$suffix
    local list=$work/big$suffix.list
    local card=$work/card-big$suffix
    if [ ! -s "$list" ] || [ ! -d "$card" ]; then
        fetch_workload "${workload_big[@]}" >/dev/null
    fi
    reset_workload_stalls
    local ours= peer= disk= n= r t0 t1
    for r in $(seq "$repeats"); do
        run_ours "$label" BENCH-1G velmora "$card"
        note_ours "$work/$label.ours"
        n=$(field concurrency "$work/$label.ours")
        ours=$(smaller "${ours:-1e9}" "$(field wall_s "$work/$label.ours")")
        # From the disk, as ours reads: a card just put in is not in memory,
        # and ours reads past the page cache, leaving it as it was.
        drop_pages "$card"
        t0=$(now)
        listed_files "$list" "$card" | xargs -d '\n' -P "$n" -n 1 sha1sum >/dev/null
        t1=$(now)
        peer=$(smaller "${peer:-1e9}" "$(elapsed "$t0" "$t1")")
        # The least any check can take: the card's bytes off the disk past
        # the page cache, four files at a time as ours' check reads them,
        # nothing hashed.
        t0=$(now)
        listed_files "$list" "$card" |
            xargs -d '\n' -P 4 -I{} dd if={} of=/dev/null bs=4M iflag=direct status=none
        disk=$(smaller "${disk:-1e9}" "$(elapsed "$t0" "$(now)")")
    done
    echo "${label}_concurrency=$n"
    echo "${label}_ours_s=$ours"
    echo "${label}_sha1sum_s=$peer"
    echo "${label}_disk_read_s=$disk"
    echo "ratio_${label}=$(ratio "$ours" "$peer")"
    echo "ratio_${label}_floor=$(ratio "$disk" "$peer")"
    echo "ratio_${label}_ours_disk=$(ratio "$ours" "$disk")"
    print_workload_stalls "$label"
}

# Memory must not grow with product size: ours alone on a 4 GiB product (not in
# the default set: it writes 4 GiB to the bench folder).
huge_workload() {
    local label=huge$suffix
    make_card "$work/card-$label"
    run_ours "$label" BENCH-4G velmora "$work/card-$label"
    echo "${label}_bytes=$(field bytes "$work/$label.ours")"
    echo "${label}_ours_s=$(field wall_s "$work/$label.ours")"
    echo "${label}_peak_rss_mib=$(field peak_rss_mib "$work/$label.ours")"
    discard "$work/card-$label"
}

# Ours alone on one product, its files checked against the list afterwards
# unless the fourth argument is "unchecked" (paths longer than sha1sum can
# open). The list is fetched once first, so that the service's own hashing
# of the files is not counted.
ours_alone_workload() {
    local label=$1$suffix sku=$2 type=$3 check=${4:-checked}
    make_card "$work/list-card"
    "$bench_bin" --email "$email" --password "$password" --sku "$sku" --type "$type" \
        --card "$work/list-card" --list-only "$work/$label.list" >/dev/null
    make_card "$work/card-$label"
    run_ours "$label" "$sku" "$type" "$work/card-$label"
    if [ "$check" = checked ]; then
        check_card "$work/$label.list" "$work/card-$label" || { echo "error=$label: our files differ" >&2; exit 1; }
    fi
    local f
    for f in files prepare_s prepared_peak_rss_mib readback_s wall_s; do
        echo "${label}_$f=$(field "$f" "$work/$label.ours")"
    done
    # Each stall judged as the fetch workloads' are.
    reset_workload_stalls
    note_ours "$work/$label.ours"
    print_workload_stalls "$label"
    discard "$work/card-$label"
}

echo "machine=$(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -sr)"
echo "date=$(date -u +%Y-%m-%dT%H:%MZ)"
echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
echo "service=$base"
echo "service_https=$base_https"
[ -z "$base_front" ] || echo "service_front=$base_front"
for w in $workloads; do
    for p in $protocols; do
        use_protocol "$p"
        case $w in
        big) fetch_workload "${workload_big[@]}" ;;
        many) fetch_workload "${workload_many[@]}" ;;
        verify) verify_workload ;;
        huge) huge_workload ;;
        # Memory must not grow with the number of files: 200,000 small files
        # in 200 folders (not in the default set: they take minutes).
        records200k) ours_alone_workload records200k BENCH-200K talvo ;;
        # Every folder of a deep path is opened once, not once per file
        # below it: 4,000 files, one in each folder of a chain 4,000 deep.
        deep) ours_alone_workload deep BENCH-DEEP velmora unchecked ;;
        *) echo "error=unknown workload $w" >&2; exit 2 ;;
        esac
    done
done
echo "prepare_max_stall_ms=$prepare_stall"
echo "transfer_max_stall_ms=$transfer_stall"
echo "readback_max_stall_ms=$readback_stall"
echo "peak_rss_mib=$peak_rss"
echo "max_stall_ms=$max_stall"
echo "stall_phases_over_limit=$stall_misses"
echo "stall_phases_own_part_over_16=$own_misses"
