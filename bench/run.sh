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
#
# Each round times one split (and the other build's), then the floors: "2r2w" reads the input
# twice and writes two fresh files of the outputs' size (dd), as the program does; "1r2w" reads
# it once and writes both, the least any split can do; "cp" copies the input. Each floor is
# timed again with its writes flushed to disk ("+sync": sync -d once all is written), since the
# program flushes its outputs before it says done. Every timed part starts with its own outputs
# removed and after a sync. Inputs are made by the project's own make_wav and read once
# beforehand, so all run from the page cache (unless COLD is set).
#
# Noise on a shared machine only ever adds time, so the figures that count are best over best:
# the split over "1r2w+sync" (the physical floor of a split that ends on disk) and over "2r2w"
# (the figure of earlier builds); each part's best and median are printed too.
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
floor_2r2w() { reads "$1" 2 && writes; }
floor_1r2w() { reads "$1" 1 && writes; }
copy() { cp "$1" "$work/floor1.out" && if [ -n "$flush" ]; then sync -d "$work/floor1.out"; fi; }

parts=(split) names=(split)
if [ -n "${COMPARE_BIN:-}" ]; then parts+=(split_other) names+=(other); fi
parts+=(floor_2r2w floor_1r2w copy floor_2r2w floor_1r2w copy)
names+=(2r2w 1r2w cp 2r2w+sync 1r2w+sync cp+sync)
best_of() { printf '%s\n' "$@" | sort -n | head -1; }
median_of() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

summary=()
for bits in 16 24; do
    in=$(make_input $bits "$size_mib")
    left=${in%.wav}L.wav right=${in%.wav}R.wav
    "$bin" "$in" >/dev/null
    out_bytes=$(stat -c %s "$left")
    cat "$in" >/dev/null
    declare -A times=()
    echo "$bits-bit, $size_mib MiB input, seconds: round ${names[*]}"
    for ((r = 1 - warmup; r <= rounds; r++)); do
        line=()
        for k in "${!parts[@]}"; do
            flush='' && [[ ${names[$k]} == *+sync ]] && flush=1
            rm -f "$left" "$right" "$work"/floor*.out
            sync
            if [ -n "${COLD:-}" ]; then echo 3 >/proc/sys/vm/drop_caches; fi
            t0=$(now)
            "${parts[$k]}" "$in"
            t=$(($(now) - t0))
            line+=("$(seconds $t)")
            ((r < 1)) || times[$k]+=" $t"
        done
        echo "  $( ((r < 1)) && echo warm-up || echo $r) ${line[*]}"
    done
    echo "  part: best median"
    declare -A best=()
    for k in "${!parts[@]}"; do
        best[$k]=$(best_of ${times[$k]})
        echo "  ${names[$k]}: $(seconds ${best[$k]}) $(seconds $(median_of ${times[$k]}))"
    done
    # The floors' places in the lists: 2r2w, then 1r2w+sync.
    f2=$((${#parts[@]} - 6)) f1s=$((${#parts[@]} - 2))
    peak=$(peak_kib "$bin" "$in")
    summary+=("$(awk -v b="$bits" -v m="$size_mib" -v s="${best[0]}" -v f="${best[$f2]}" \
        -v d="${best[$f1s]}" -v o="${best[1]:-0}" -v p="$peak" -v c="${COMPARE_BIN:+1}" \
        'BEGIN {printf "%-7s %-8s %10.3f %10s %10.2f %10.2f %10d", b "-bit", m "MiB", s / 1e9,
                c ? sprintf("%.3f", o / 1e9) : "-", s / f, s / d, p}')")
    unset times best
    rm -f "$in" "$left" "$right" "${in%.wav}"L.wav "$work"/floor*.out
done
# Memory must not grow with the input: compare with a 16 MiB input.
small=$(make_input 16 16)
summary+=("$(printf '%-7s %-8s %10s %10s %10s %10s %10d' 16-bit 16MiB - - - - "$(peak_kib "$bin" "$small")")")
rm -f "$small" "${small%.wav}L.wav" "${small%.wav}R.wav"

echo
printf '%-7s %-8s %10s %10s %10s %10s %10s\n' width input split_s other_s /2r2w /1r2w+sync peak_KiB
printf '%s\n' "${summary[@]}"
