#!/usr/bin/env bash
# Split throughput against the input/output floor, and peak memory.
#
#   bench/run.sh                          1 GiB inputs, 2 warm-up and 9 counted rounds
#   SIZE_MIB=16 ROUNDS=1 WARMUP=0 bench/run.sh    a quick smoke run
#   BENCH_DIR=/path bench/run.sh          where the inputs and outputs go (default: a temp folder);
#                                         about 4 GiB free for the default size
#   QUENLOR_BIN=/path bench/run.sh        time another build of the program
#
#   COMPARE_BIN=/path bench/run.sh        time another build too, in the same rounds
#   COLD=1 bench/run.sh                   every part starts with the page cache dropped (root)
#   BATCH=100 bench/run.sh                instead, a day of short takes: that many ten-second
#                                         16-bit takes split in a loop, against sndfile-deinterleave
#                                         in the same loop followed by one sync (COMPARE_BIN too)
#   POLY=8 bench/run.sh                   instead, a take of that many 24-bit channels split with
#                                         --all-channels, against its durable floor (the input read
#                                         once, the N outputs written and flushed, by dd or with
#                                         direct writes in parallel) and sndfile-deinterleave + sync
#   LOWMEM_MIB=1400 bench/run.sh          also each split in a memory cgroup of that size, the
#                                         input read into the cache there first, and outside
#                                         it after the same preparation (root)
#
# Each round times one split (and the other build's), then the floors: "2r2w" reads the input
# twice and writes two fresh files of the outputs' size (dd), as the program does; "1r2w" reads
# it once and writes both, the least any split can do; "cp" copies the input. Each floor is
# timed again with its writes flushed to disk ("+sync": sync -d once all is written), since the
# program flushes its outputs before it says done; "1r2w+direct" writes the two in parallel
# with direct writes, then flushes, the fastest way this disk takes the outputs' bytes. Where
# sndfile-deinterleave is installed (sndfile-programs), it is timed too, then a sync: the
# nearest thing another tool has to a split that ends on disk. Every timed part starts with its
# own outputs removed and after a sync. Inputs are made by the project's own make_wav and read once
# beforehand, so all run from the page cache (unless COLD is set).
#
# Noise on a shared machine only ever adds time, so the figures that count are best over best:
# the split over the durable floor (the better of "1r2w+sync" and "1r2w+direct": the least a
# split that ends on disk can take) and over "2r2w" (the figure of earlier builds); each part's
# best and median are printed too. In a memory cgroup the split's time is given against its
# best unconfined and against its best outside the cgroup after the same preparation, with what
# it read from disk (the input pushed out of the cache is read again).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-9}
warmup=${WARMUP:-2}
# Everything made here goes at the end: the folder itself unless BENCH_DIR named one.
if [ -n "${BENCH_DIR:-}" ]; then
    work=$BENCH_DIR
    mkdir -p "$work"
    trap 'rm -f "$work"/in*.wav "$work"/floor*.out' EXIT
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi

cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DQUENLOR_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j2 >/dev/null
bin=${QUENLOR_BIN:-$root/build-bench/quenlor2}

now() { date +%s%N; }
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
seconds() { awk -v n="$1" 'BEGIN {printf "%.3f", n / 1e9}'; }

# make_input BITS MIB: a stereo file with MIB mebibytes of samples; prints its name.
make_input() {
    local name="$work/in$1_$2.wav"
    "$root/build-bench/make_wav" "$name" "$1" $(($2 * 1048576 / ($1 / 4))) >/dev/null
    echo "$name"
}

# The parts of a round, each given the input; the floors write to $work/floor*.out.
split() { "$bin" "$1" >/dev/null; }
split_other() { "$COMPARE_BIN" "$1" >/dev/null; }
reads() { local _; for _ in $(seq "$2"); do dd if="$1" of=/dev/null bs=1M status=none; done; }
writes() {
    local k
    for k in 1 2; do
        dd if=/dev/zero of="$work/floor$k.out" bs=1M count="$out_bytes" iflag=count_bytes status=none
    done
    # Flushed once both are written, as the program flushes its two outputs.
    if [ -n "$flush" ]; then sync -d "$work/floor1.out" "$work/floor2.out"; fi
}
# Two writers at once, each straight to disk in large writes, then flushed.
direct_writes() {
    local k
    for k in 1 2; do
        dd if=/dev/zero of="$work/floor$k.out" bs=8M count="$out_bytes" iflag=count_bytes \
            oflag=direct status=none &
    done
    wait
    sync -d "$work/floor1.out" "$work/floor2.out"
}
floor_2r2w() { reads "$1" 2 && writes; }
floor_direct() { reads "$1" 1 && direct_writes; }
deinterleave() { sndfile-deinterleave "$1" >/dev/null && sync; }
floor_1r2w() { reads "$1" 1 && writes; }
copy() { cp "$1" "$work/floor1.out" && if [ -n "$flush" ]; then sync -d "$work/floor1.out"; fi; }

# Before each part: its outputs removed, all synced, the cache dropped if asked.
ready() {
    flush='' && [[ ${names[$1]} == *+sync ]] && flush=1
    rm -f "$left" "$right" "$work"/floor*.out "${in%.wav}"_0*.wav
    sync
    if [ -n "${COLD:-}" ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}
best_of() { printf '%s\n' "$@" | sort -n | head -1; }
median_of() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# timed_rounds ARG: each of parts (named names) timed on ARG, ROUNDS times in turn after WARMUP,
# each after "ready K"; adds each counted time to times[K] and prints a line a round.
timed_rounds() {
    local r k t0 t line
    for ((r = 1 - warmup; r <= rounds; r++)); do
        line=()
        for k in "${!parts[@]}"; do
            ready "$k"
            t0=$(now)
            "${parts[$k]}" "$1"
            t=$(($(now) - t0))
            line+=("$(seconds $t)")
            ((r < 1)) || times[$k]+=" $t"
        done
        echo "  $( ((r < 1)) && echo warm-up || echo $r) ${line[*]}"
    done
}

# Each part's best and median, a line each after a heading; fills the caller's best[K] with part
# K's best.
report_parts() {
    local k
    echo "  part: best median"
    for k in "${!parts[@]}"; do
        best[$k]=$(best_of ${times[$k]})
        echo "  ${names[$k]}: $(seconds ${best[$k]}) $(seconds $(median_of ${times[$k]}))"
    done
}

# batch COUNT: the loops, each from a synced folder without outputs; then each loop's median and
# best, and the ratio of its median to the other tool's.
loop_split() { for f in "$1"/t*[0-9].wav; do "$bin" "$f" >/dev/null; done; }
loop_other() { for f in "$1"/t*[0-9].wav; do "$COMPARE_BIN" "$f" >/dev/null; done; }
loop_deinterleave() {
    for f in "$1"/t*.wav; do sndfile-deinterleave "$f" >/dev/null; done
    sync -f "$1"
}
batch() {
    local dir=$work/batch k
    parts=(loop_split) names=(split)
    mkdir -p "$dir"
    for k in $(seq -w 1 "$1"); do "$root/build-bench/make_wav" "$dir/t$k.wav" 16 441000 >/dev/null; done
    cat "$dir"/t*.wav >/dev/null
    [ -z "${COMPARE_BIN:-}" ] || { parts+=(loop_other) && names+=(other); }
    command -v sndfile-deinterleave >/dev/null && parts+=(loop_deinterleave) names+=(deinterleave)
    ready() { rm -f "$dir"/t*[LR].wav "$dir"/t*_0?.wav && sync; }
    declare -A times=()
    echo "batch of $1 ten-second 16-bit takes, seconds: round ${names[*]}"
    timed_rounds "$dir"
    local last=$((${#parts[@]} - 1))
    for k in "${!parts[@]}"; do
        local m=$(median_of ${times[$k]})
        echo "  ${names[$k]}: median $(seconds $m) best $(seconds $(best_of ${times[$k]}))" \
            "$([ "${names[$last]}" = deinterleave ] && awk -v a="$m" \
                -v b="$(median_of ${times[$last]})" 'BEGIN {printf "(%.2f of deinterleave)", a / b}')"
    done
    rm -rf "$dir"
}
if [ -n "${BATCH:-}" ]; then
    batch "$BATCH"
    exit 0
fi

# poly N: a take of N 24-bit channels of SIZE_MIB, split into N files, against its floors.
poly_split() { "$bin" --all-channels "$1" >/dev/null; }
poly_writes() {
    local k files=()
    for k in $(seq "$channels"); do
        files+=("$work/floor$k.out")
        dd if=/dev/zero of="$work/floor$k.out" bs=1M count="$out_bytes" iflag=count_bytes status=none
    done
    sync -d "${files[@]}"
}
poly_direct() {
    local k files=()
    for k in $(seq "$channels"); do
        files+=("$work/floor$k.out")
        dd if=/dev/zero of="$work/floor$k.out" bs=8M count="$out_bytes" iflag=count_bytes \
            oflag=direct status=none &
    done
    wait
    sync -d "${files[@]}"
}
poly_floor() { reads "$1" 1 && poly_writes; }
poly_floor_direct() { reads "$1" 1 && poly_direct; }
poly() {
    channels=$1
    local in=$work/poly.wav k
    "$root/build-bench/make_wav" --channels "$1" "$in" 24 $((size_mib * 1048576 / (3 * $1))) >/dev/null
    parts=(poly_split poly_floor poly_floor_direct) names=(split 1rNw+sync 1rNw+direct)
    command -v sndfile-deinterleave >/dev/null && parts+=(deinterleave) names+=(deinterleave)
    ready() { rm -f "$work"/poly_*.wav "$work"/floor*.out && sync; }
    "$bin" --all-channels "$in" >/dev/null
    out_bytes=$(stat -c %s "$work/poly_1.wav")
    cat "$in" >/dev/null
    declare -A times=()
    echo "$1 channels of 24 bits, $size_mib MiB input, seconds: round ${names[*]}"
    timed_rounds "$in"
    declare -A best=()
    report_parts
    local durable
    durable=$(best_of "${best[1]}" "${best[2]}")
    echo "  split over the durable floor: $(awk -v s="${best[0]}" -v d="$durable" 'BEGIN {printf "%.2f", s / d}')" \
        "$([ -n "${best[3]:-}" ] && awk -v s="${best[0]}" -v t="${best[3]}" 'BEGIN {printf "; deinterleave over split: %.2f", t / s}')"
    echo "  peak memory: $(peak_kib "$bin" --all-channels "$in") KiB"
    rm -f "$in" "$work"/poly_*.wav "$work"/floor*.out
}
if [ -n "${POLY:-}" ]; then
    poly "$POLY"
    exit 0
fi

parts=(split) names=(split)
if [ -n "${COMPARE_BIN:-}" ]; then parts+=(split_other) names+=(other); fi
parts+=(floor_2r2w floor_1r2w copy floor_2r2w floor_1r2w copy floor_direct)
names+=(2r2w 1r2w cp 2r2w+sync 1r2w+sync cp+sync 1r2w+direct)
if command -v sndfile-deinterleave >/dev/null; then parts+=(deinterleave) names+=(deinterleave); fi

# lowmem INPUT BEST_NS: in a memory cgroup of LOWMEM_MIB (v2 memory.max, or v1
# memory.limit_in_bytes), the input read into the cache, then split; ROUNDS times, the best
# time and the most read from disk (the process's file system inputs, in 512-byte blocks). In
# the same rounds the split runs outside the cgroup after the same preparation (the cache
# dropped, the input read), so that the cgroup's own cost shows apart from the disk's state
# after a read of the whole input.
lowmem_lines=()
lowmem() {
    local cg limit=$((LOWMEM_MIB * 1048576)) r where out t read_mib most=0
    local -A best_t=()
    if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
        cg=/sys/fs/cgroup/quenlor-bench && mkdir -p $cg && echo $limit >$cg/memory.max
    else
        cg=/sys/fs/cgroup/memory/quenlor-bench && mkdir -p $cg && echo $limit >$cg/memory.limit_in_bytes
    fi
    for r in $(seq "$rounds"); do
        for where in $cg /; do
            # Dropped first, so that the input's pages are read, and counted, in the cgroup.
            rm -f "$left" "$right" && sync && echo 3 >/proc/sys/vm/drop_caches
            out=$(sh -c '[ "$1" = / ] || echo $$ >"$1/cgroup.procs"; cat "$2" >/dev/null &&
                exec /usr/bin/time -f "%e %I" "$3" "$2" 2>&1 >/dev/null' sh $where "$1" "$bin")
            t=${out% *} read_mib=$((${out#* } / 2048))
            best_t[$where]=$(awk -v a="$t" -v b="${best_t[$where]:-$t}" 'BEGIN {print a < b ? a : b}')
            [ $where = / ] || [ $read_mib -le $most ] || most=$read_mib
        done
    done
    rmdir $cg
    lowmem_lines+=("$(awk -v b="$bits" -v t="${best_t[$cg]}" -v u="$2" -v o="${best_t[/]}" \
        -v m="$most" 'BEGIN {printf "%-7s %10.3f %10.3f %10.2f %10.2f %12d", b "-bit", t, o,
                             t / (u / 1e9), t / o, m}')")
}
summary=()
for bits in 16 24; do
    in=$(make_input $bits "$size_mib")
    left=${in%.wav}L.wav right=${in%.wav}R.wav
    "$bin" "$in" >/dev/null
    out_bytes=$(stat -c %s "$left")
    cat "$in" >/dev/null
    declare -A times=()
    echo "$bits-bit, $size_mib MiB input, seconds: round ${names[*]}"
    timed_rounds "$in"
    declare -A best=()
    report_parts
    # The floors by name: 2r2w (the first), the durable floor (the better of 1r2w+sync and
    # 1r2w+direct), and the other tool with its sync (0 when not installed).
    declare -A at=()
    for k in "${!parts[@]}"; do [ -n "${at[${names[$k]}]:-}" ] || at[${names[$k]}]=$k; done
    durable=$(best_of "${best[${at[1r2w+sync]}]}" "${best[${at[1r2w+direct]}]}")
    peak=$(peak_kib "$bin" "$in")
    summary+=("$(awk -v b="$bits" -v m="$size_mib" -v s="${best[0]}" -v f="${best[${at[2r2w]}]}" \
        -v d="$durable" -v o="${best[1]:-0}" -v p="$peak" -v c="${COMPARE_BIN:+1}" \
        -v t="${best[${at[deinterleave]:-x}]:-0}" \
        'BEGIN {printf "%-7s %-8s %10.3f %10s %10.2f %10.2f %10s %10d", b "-bit", m "MiB", s / 1e9,
                c ? sprintf("%.3f", o / 1e9) : "-", s / f, s / d,
                t ? sprintf("%.2f", t / s) : "-", p}')")
    if [ -n "${LOWMEM_MIB:-}" ]; then lowmem "$in" "${best[0]}"; fi
    unset at
    unset times best
    rm -f "$in" "$left" "$right" "${in%.wav}"L.wav "$work"/floor*.out
done
# Memory must not grow with the input: compare with a 16 MiB input.
small=$(make_input 16 16)
summary+=("$(printf '%-7s %-8s %10s %10s %10s %10s %10s %10d' 16-bit 16MiB - - - - - "$(peak_kib "$bin" "$small")")")
rm -f "$small" "${small%.wav}L.wav" "${small%.wav}R.wav"

echo
printf '%-7s %-8s %10s %10s %10s %10s %10s %10s\n' width input split_s other_s /2r2w /durable \
    deint/split peak_KiB
printf '%s\n' "${summary[@]}"
[ ${#lowmem_lines[@]} -eq 0 ] || printf '%s\n' "" "in a ${LOWMEM_MIB} MiB memory cgroup:" \
    "$(printf '%-7s %10s %10s %10s %10s %12s' width split_s outside_s /unconfined /outside \
        read_MiB)" "${lowmem_lines[@]}"
